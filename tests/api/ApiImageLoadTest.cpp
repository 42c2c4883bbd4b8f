// Loading the shipped x64 RailwatchApi.dll as the API library: its four functions are found
// by ordinal and by name, and the two must lead to the same code; a DLL that lacks one, or
// whose name and ordinal disagree, is refused with the file and the reason. The broken
// DLLs are copies of the shipped one with a few bytes of its export directory changed.
#include "ApiLibrary.h"
#include "PeBytes.h"
#include "PlatformFixture.h"
#include "ShippedBinaries.h"
#include "SimulatedBoard.h"
#include "host/Win32.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pebytes;

class ApiImageLoadTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        const auto image = simboard::FindShipped(simboard::kShippedApiImage);
        if (!image) {
            GTEST_SKIP() << simboard::MissingShipped(simboard::kShippedApiImage);
        }
        path_ = *image;
        shipped_ = Load(path_);
        directory_ = fs::path(::testing::TempDir()) / ("api-image-" + std::to_string(::getpid()));
        fs::create_directories(directory_);
    }

    void TearDown() override {
        if (!directory_.empty()) fs::remove_all(directory_);
        PlatformTest::TearDown();
    }

    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string path = (directory_ / name).string();
        Save(path, bytes);
        return path;
    }

    std::string path_;
    Bytes shipped_;

  private:
    fs::path directory_;
};

TEST_F(ApiImageLoadTest, AFunctionMissingOrWhoseNameAndOrdinalDisagreeIsRefused) {
    struct Case {
        const char* name;
        std::function<void(Bytes&)> breakIt;
        std::string reason;
    };
    const Case cases[] = {
        {"no Railwatch_Get by name",
         [](Bytes& file) { RenameExport(file, "Railwatch_Get", "Railwatch_Gex"); },
         "does not export Railwatch_Get (ordinal 3) by name"},
        {"ordinals start at 11, not 1",
         [](Bytes& file) { Write32(file, FindExports(file).directory + 16, 11); },
         "does not export Railwatch_DeviceOpen (ordinal 2) by ordinal"},
        {"the name Railwatch_Get leads to Railwatch_DeviceOpen's code",
         [](Bytes& file) {
             const ExportDirectory exports = FindExports(file);
             const std::size_t get = NameIndex(file, exports, "Railwatch_Get");
             const std::size_t open = NameIndex(file, exports, "Railwatch_DeviceOpen");
             std::memcpy(file.data() + exports.nameOrdinals + 2 * get,
                         file.data() + exports.nameOrdinals + 2 * open, 2);
         },
         "Railwatch_Get (ordinal 3): the name leads to RVA "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes broken = shipped_;
        c.breakIt(broken);
        const std::string path = Write("broken.dll", broken);
        std::string error;
        EXPECT_EQ(simboard::ApiLibrary::LoadImage(path, error), nullptr);
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }

    // The shipped DLL itself loads.
    std::string error;
    EXPECT_NE(simboard::ApiLibrary::LoadImage(path_, error), nullptr) << error;
}

// DllMain runs at load: a library that refuses DLL_PROCESS_ATTACH, or faults in it, is not
// loaded (the fault is also the verifier's report).
TEST_F(ApiImageLoadTest, ADllMainThatRefusesTheAttachOrFaultsFailsTheLoad) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> code;  // DllMain's new first instructions
        std::string reason;
    };
    const Case cases[] = {
        {"xor eax,eax; ret", {0x31, 0xC0, 0xC3}, "DllMain returned FALSE for DLL_PROCESS_ATTACH"},
        {"cli; ret", {0xFA, 0xC3}, "DllMain faulted at DLL_PROCESS_ATTACH"},
    };
    ExpectReports(host::ReportKind::ImageFault);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes broken = shipped_;
        const std::size_t entry = FileOffset(broken, Read32(broken, OptionalHeader(broken) + 16));
        std::copy(c.code.begin(), c.code.end(), broken.begin() + std::ptrdiff_t(entry));
        const std::string path = Write("dllmain.dll", broken);
        std::string error;
        EXPECT_EQ(simboard::ApiLibrary::LoadImage(path, error), nullptr);
        EXPECT_EQ(error.rfind(path + ": " + c.reason, 0), 0u) << error;
    }
    EXPECT_TRUE(HasReport(host::ReportKind::ImageFault));
}

// Each load maps a fresh copy of the file, as a new process would get: the library's one
// device record starts empty even though the last copy was unloaded with its device open.
TEST_F(ApiImageLoadTest, EachLoadStartsWithoutAnOpenDevice) {
    simboard::SimulatedBoard board;
    ASSERT_TRUE(board.Boot());
    DEVICE_HANDLE* handles[2] = {nullptr, nullptr};
    for (DEVICE_HANDLE*& handle : handles) {
        std::string error;
        const auto library = simboard::ApiLibrary::LoadImage(path_, error);
        ASSERT_NE(library, nullptr) << error;
        EXPECT_EQ(library->DeviceOpen(&handle), Railwatch_SUCCESS);
        EXPECT_EQ(library->DeviceOpen(&handle), Railwatch_SUCCESS);  // the same record again
    }
    EXPECT_EQ(host::CallCount("GlobalAlloc"), 2u);
    EXPECT_EQ(host::CallCount("CreateFileA"), 2u);
    EXPECT_EQ(host::OpenHandleCount(), 2u);
    // Both copies left their device open; the machine closes what they held.
    board.Remove();
    board.Unload();
}

}  // namespace

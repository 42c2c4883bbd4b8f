// The image loader: refusals of broken files (each naming the file and the reason, each
// leaving nothing mapped), relocation, fresh copies, images without relocations, exports
// and the discarding of INIT.
#include "PlatformFixture.h"
#include "TestDrivers.h"
#include "host/Image.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t Get32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}
void Put16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
    std::memcpy(bytes.data() + offset, &value, 2);
}
void Put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, 4);
}

// Where the fields that the cases change lie in a PE32+ file.
struct Layout {
    std::size_t pe;
    std::size_t optional() const { return pe + 24; }
    std::size_t checksum() const { return optional() + 64; }
    std::size_t subsystem() const { return optional() + 68; }
    std::size_t relocationDirectory() const { return optional() + 112 + 5 * 8; }
};

// The file offset of an RVA, through the section table.
std::size_t FileOffset(const std::vector<std::uint8_t>& bytes, const Layout& layout,
                       std::uint32_t rva) {
    const std::uint16_t sections = bytes[layout.pe + 6] | bytes[layout.pe + 7] << 8;
    const std::uint16_t optionalSize = bytes[layout.pe + 20] | bytes[layout.pe + 21] << 8;
    for (std::size_t index = 0; index < sections; ++index) {
        const std::size_t header = layout.optional() + optionalSize + index * 40;
        const std::uint32_t start = Get32(bytes, header + 12);
        if (rva >= start && rva < start + Get32(bytes, header + 16))
            return Get32(bytes, header + 20) + (rva - start);
    }
    ADD_FAILURE() << "RVA " << rva << " lies in no section";
    return 0;
}

void ReplaceText(std::vector<std::uint8_t>& bytes, const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    const auto found = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(found, bytes.end()) << from;
    std::copy(to.begin(), to.end(), found);
}

// The protection ("r-x", "---", ...) of the mapping that holds `address`; "" when unmapped.
std::string ProtectionAt(std::uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, permissions;
        fields >> range >> permissions;
        const auto begin = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        const auto end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        if (begin <= address && address < end) return permissions.substr(0, 3);
    }
    return "";
}

class ImageLoaderTest : public PlatformTest {
  protected:
    std::string Scratch(const std::string& name) {
        return (std::filesystem::path(::testing::TempDir()) / name).string();
    }
};

struct RefusalCase {
    const char* name;
    // Breaks a copy of good.sys; the checksum is zeroed afterwards unless `keepChecksum`.
    void (*breakIt)(std::vector<std::uint8_t>& bytes, const Layout& layout);
    const char* reason;  // the part of the message after "<file>: "
    host::ImageKind kind = host::ImageKind::Driver;
    bool keepChecksum = false;
};

const RefusalCase kRefusals[] = {
    {"empty", [](auto& bytes, const Layout&) { bytes.clear(); }, "not a PE image (no MZ header)"},
    {"no_mz", [](auto& bytes, const Layout&) { bytes[0] = 'X'; }, "not a PE image (no MZ header)"},
    {"no_pe_signature", [](auto& bytes, const Layout& layout) { bytes[layout.pe + 1] = 'X'; },
     "not a PE image (no PE signature)"},
    {"cut_in_optional_header",
     [](auto& bytes, const Layout& layout) { bytes.resize(layout.optional() + 100); },
     "truncated: the file ends inside the optional header"},
    {"cut_in_section", [](auto& bytes, const Layout&) { bytes.resize(bytes.size() - 0x100); },
     "truncated: section "},
    {"i386", [](auto& bytes, const Layout& layout) { Put16(bytes, layout.pe + 4, 0x14C); },
     "machine 0x14C is not AMD64 (0x8664): wrong architecture"},
    {"console_subsystem",
     [](auto& bytes, const Layout& layout) { Put16(bytes, layout.subsystem(), 3); },
     "subsystem 3 is not native (1): not a kernel-mode driver"},
    {"driver_as_library", [](auto&, const Layout&) {}, "not a Windows DLL",
     host::ImageKind::Library},
    {"unknown_dll",
     [](auto& bytes, const Layout&) {
         ReplaceText(bytes, "ntoskrnl.exe", std::string("hal.dll\0\0\0\0\0", 12));
     },
     "imports from hal.dll, which the platform does not provide (only ntoskrnl.exe)"},
    {"unknown_routine",
     [](auto& bytes, const Layout&) { ReplaceText(bytes, "DbgPrint", "DbgPrinX"); },
     "imports DbgPrinX from ntoskrnl.exe, a routine the platform does not provide"},
    {"relocation_block_size",
     [](auto& bytes, const Layout& layout) {
         const auto block = FileOffset(bytes, layout, Get32(bytes, layout.relocationDirectory()));
         Put32(bytes, block + 4, 3);
     },
     "malformed relocation block at RVA 0x"},
    {"relocation_type",
     [](auto& bytes, const Layout& layout) {
         const auto block = FileOffset(bytes, layout, Get32(bytes, layout.relocationDirectory()));
         Put16(bytes, block + 8, 0x3000);  // HIGHLOW: a PE32 relocation
     },
     "relocation type 3 is not one a PE32+ image uses"},
    {"relocation_target",
     [](auto& bytes, const Layout& layout) {
         const auto block = FileOffset(bytes, layout, Get32(bytes, layout.relocationDirectory()));
         Put32(bytes, block, 0x7FFFF000);
     },
     "lies beyond the image"},
    {"checksum",
     [](auto& bytes, const Layout& layout) {
         Put32(bytes, layout.checksum(), Get32(bytes, layout.checksum()) + 1);
     },
     "does not match its contents", host::ImageKind::Driver, true},
};

TEST_F(ImageLoaderTest, RefusesBrokenImagesNamingFileAndReasonAndLeavesNothingMapped) {
    REQUIRE_TEST_DRIVER(good, "good");
    const std::vector<std::uint8_t> original = ReadBytes(good);
    const Layout layout{Get32(original, 60)};
    for (const RefusalCase& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        std::vector<std::uint8_t> bytes = original;
        refusal.breakIt(bytes, layout);
        if (!refusal.keepChecksum && bytes.size() >= layout.checksum() + 4)
            Put32(bytes, layout.checksum(), 0);
        const std::string path = Scratch(std::string(refusal.name) + ".sys");
        WriteBytes(path, bytes);
        const std::size_t before = host::ImageMappedBytes();
        try {
            host::LoadImage(path, refusal.kind);
            ADD_FAILURE() << "loaded";
        } catch (const host::ImageError& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(refusal.reason), std::string::npos) << message;
        }
        EXPECT_EQ(host::ImageMappedBytes(), before);
    }
}

TEST_F(ImageLoaderTest, RefusesAFileThatCannotBeRead) {
    EXPECT_THROW(
        {
            try {
                host::LoadImage(Scratch("missing.sys"), host::ImageKind::Driver);
            } catch (const host::ImageError& error) {
                EXPECT_EQ(std::string(error.what()), Scratch("missing.sys") + ": cannot be read");
                throw;
            }
        },
        host::ImageError);
}

TEST_F(ImageLoaderTest, MapsEachSectionWithItsOwnProtection) {
    REQUIRE_TEST_DRIVER(good, "good");
    const auto image = host::LoadImage(good, host::ImageKind::Driver);
    std::map<std::string, std::string> expected = {
        {".text", "r-x"}, {"INIT", "r-x"}, {".data", "rw-"}, {".rdata", "r--"}, {".idata", "rw-"}};
    EXPECT_EQ(ProtectionAt(image->Base()), "r--");  // the headers
    for (const host::ImageSection& section : image->Sections()) {
        const auto want = expected.find(section.name);
        if (want == expected.end()) continue;
        EXPECT_EQ(ProtectionAt(image->Base() + section.rva), want->second) << section.name;
        expected.erase(want);
    }
    EXPECT_TRUE(expected.empty()) << "sections missing from the image: " << expected.size();
}

TEST_F(ImageLoaderTest, RelocatesAndEveryLoadIsAFreshCopyOfTheFile) {
    REQUIRE_TEST_DRIVER(good, "good");
    for (int load = 0; load < 2; ++load) {
        const auto image = host::LoadImage(good, host::ImageKind::Driver);
        EXPECT_NE(image->Base(), 0x140000000u);  // never the preferred base: relocations run
        NTSTATUS status = 0;
        ASSERT_TRUE(host::CallImageCode(
            &status, reinterpret_cast<TestDriverEntry>(image->EntryPoint()), nullptr, nullptr));
        EXPECT_EQ(status, 7) << "load " << load;
        const auto runs =
            reinterpret_cast<int(__attribute__((ms_abi))*)()>(image->Export("GoodRuns"));
        ASSERT_NE(runs, nullptr);
        EXPECT_EQ(runs(), 1);
    }
}

TEST_F(ImageLoaderTest, ExportsByNameAndOrdinal) {
    REQUIRE_TEST_DRIVER(good, "good");
    const auto image = host::LoadImage(good, host::ImageKind::Driver);
    void* const byName = image->Export("GoodRuns");
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(image->Export(1u), byName);  // the only export, at the ordinal base 1
    EXPECT_EQ(image->Export(2u), nullptr);
    EXPECT_EQ(image->Export(0u), nullptr);
    EXPECT_EQ(image->Export("DriverEntry"), nullptr);
}

TEST_F(ImageLoaderTest, AcceptsPositionIndependentCodeWithoutRelocationSection) {
    REQUIRE_TEST_DRIVER(norelocs, "norelocs");
    const auto image = host::LoadImage(norelocs, host::ImageKind::Driver);
    for (const auto& section : image->Sections()) EXPECT_NE(section.name, ".reloc");
    NTSTATUS status = 0;
    ASSERT_TRUE(host::CallImageCode(&status, reinterpret_cast<TestDriverEntry>(image->EntryPoint()),
                                    nullptr, nullptr));
    EXPECT_EQ(status, 5);
}

TEST_F(ImageLoaderTest, DiscardingInitTakesAllAccessFromItAlone) {
    REQUIRE_TEST_DRIVER(good, "good");
    const auto image = host::LoadImage(good, host::ImageKind::Driver);
    image->DiscardInit();
    for (const host::ImageSection& section : image->Sections()) {
        EXPECT_EQ(section.discarded, section.name == "INIT") << section.name;
        if (section.name == "INIT" || section.name == ".text") {
            EXPECT_EQ(ProtectionAt(image->Base() + section.rva), section.discarded ? "---" : "r-x");
        }
    }
}

TEST_F(ImageLoaderTest, UnloadLeavesTheRangeInaccessibleUntilTheNextMachine) {
    REQUIRE_TEST_DRIVER(good, "good");
    const std::size_t mappedBefore = host::ImageMappedBytes();
    auto image = host::LoadImage(good, host::ImageKind::Driver);
    const std::uintptr_t base = image->Base();
    image.reset();
    EXPECT_EQ(ProtectionAt(base), "---");
    host::ResetPlatform();
    EXPECT_EQ(ProtectionAt(base), "");
    EXPECT_EQ(host::ImageMappedBytes(), mappedBefore);
}

}  // namespace

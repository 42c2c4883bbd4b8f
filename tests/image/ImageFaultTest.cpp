// Faults in image code: port instructions reach the simulated bus and execution goes on;
// every other fault stops the machine with one report naming the fault, the image, the
// section and the RVA, and the platform's call returns instead of the process dying.
// Faults in host code still end the process as before.
#include "PlatformFixture.h"
#include "TestDrivers.h"
#include "host/Image.h"

#include <regex>

namespace {

class ImageFaultTest : public PlatformTest {
  protected:
    // Loads drivers/NAME and calls its entry; false when the call faulted.
    bool RunEntry(const std::string& path, NTSTATUS* status, void* driverObject = nullptr) {
        image_ = host::LoadImage(path, host::ImageKind::Driver);
        return host::CallImageCode(status, reinterpret_cast<TestDriverEntry>(image_->EntryPoint()),
                                   driverObject, nullptr);
    }

    // The one report of the stopped machine.
    std::string FaultReport() {
        std::string text;
        int count = 0;
        for (const auto& report : host::Reports()) {
            if (report.kind != host::ReportKind::ImageFault) continue;
            text = report.text;
            ++count;
        }
        EXPECT_EQ(count, 1) << host::FormatReports();
        return text;
    }

    std::unique_ptr<host::LoadedImage> image_;
};

TEST_F(ImageFaultTest, PortInstructionsOfEveryFormReachTheBusAndExecutionGoesOn) {
    REQUIRE_TEST_DRIVER(ports, "ports");
    NTSTATUS status = 0;
    ASSERT_TRUE(RunEntry(ports, &status));
    EXPECT_EQ(status, 0x52);  // the chip ID register, read twice
    std::vector<std::string> trace;
    for (const auto& access : host::PortTrace()) trace.push_back(host::FormatPortAccess(access));
    EXPECT_EQ(trace, (std::vector<std::string>{"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x20",
                                               "in 0x2F 0x52", "in 0x2F 0x52", "out 0x2E 0xAA"}));
    EXPECT_FALSE(host::MachineStopped());
}

struct FaultCase {
    const char* driver;
    const char* report;  // a regular expression for the whole report text
};

const FaultCase kFaults[] = {
    {"cli",
     R"(privileged instruction cli \(0xFA( 0x[0-9A-F]{2})*\) in cli\.sys section \.text at RVA 0x1[0-9A-F]{3})"},
    {"nullread",
     R"(access violation reading address 0x0000000000000000 in nullread\.sys section \.text at RVA 0x1[0-9A-F]{3})"},
    {"wildjump",
     R"(jump to unmapped memory at 0x0000000000000010 from wildjump\.sys section \.text at RVA 0x1[0-9A-F]{3})"},
};

TEST_F(ImageFaultTest, AFaultInImageCodeStopsTheMachineWithOneReport) {
    ExpectReports(host::ReportKind::ImageFault);
    for (const FaultCase& fault : kFaults) {
        SCOPED_TRACE(fault.driver);
        const std::string path = TestDriverPath(fault.driver);
        if (path.empty()) GTEST_SKIP() << "test drivers not built (no x86_64-w64-mingw32-gcc)";
        NTSTATUS status = 12345;
        EXPECT_FALSE(RunEntry(path, &status));
        EXPECT_EQ(status, 12345);
        EXPECT_TRUE(host::MachineStopped());
        EXPECT_TRUE(std::regex_match(FaultReport(), std::regex(fault.report))) << FaultReport();
        image_.reset();
        host::ResetPlatform();
        EXPECT_FALSE(host::MachineStopped());
    }
}

TEST_F(ImageFaultTest, ThePlatformDiscardsInitOnceDriverEntryReturned) {
    REQUIRE_TEST_DRIVER(initunload, "initunload");
    ExpectReports(host::ReportKind::ImageFault);
    image_ = host::LoadImage(initunload, host::ImageKind::Driver);
    DRIVER_OBJECT* const driver = host::CreateDriverObject(u"\\Driver\\InitUnload");
    EXPECT_EQ(
        host::CallDriverEntry(driver, reinterpret_cast<PDRIVER_INITIALIZE>(image_->EntryPoint()),
                              u"\\REGISTRY\\MACHINE\\SYSTEM\\InitUnload"),
        STATUS_SUCCESS);
    EXPECT_FALSE(host::MachineStopped());
    host::CallDriverUnload(driver);  // its unload routine lies in the discarded INIT
    EXPECT_TRUE(host::MachineStopped());
    EXPECT_TRUE(std::regex_match(FaultReport(),
                                 std::regex(R"(call into discarded INIT code in initunload\.sys )"
                                            R"(section INIT at RVA 0x2[0-9A-F]{3})")))
        << FaultReport();
    driver->DriverUnload = nullptr;
    host::DeleteDriverObject(driver);
}

TEST_F(ImageFaultTest, AStoppedMachineRunsNoImageCodeUntilReset) {
    REQUIRE_TEST_DRIVER(cli, "cli");
    REQUIRE_TEST_DRIVER(good, "good");
    ExpectReports(host::ReportKind::ImageFault);
    const auto healthy = host::LoadImage(good, host::ImageKind::Driver);
    const auto entry = reinterpret_cast<TestDriverEntry>(healthy->EntryPoint());
    NTSTATUS status = 0;
    ASSERT_FALSE(RunEntry(cli, &status));
    status = -1;
    EXPECT_FALSE(host::CallImageCode(&status, entry, nullptr, nullptr));
    EXPECT_EQ(status, -1);
    FaultReport();  // still the one report

    host::ResetPlatform();
    ASSERT_TRUE(host::CallImageCode(&status, entry, nullptr, nullptr));
    EXPECT_EQ(status, 7);
}

int HostNullRead(int* volatile* pointer) { return **pointer; }

TEST_F(ImageFaultTest, AFaultInHostCodeStillEndsTheProcess) {
    REQUIRE_TEST_DRIVER(good, "good");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Inside a guarded call as well as outside one: host code is not the image's.
    EXPECT_DEATH(
        {
            const auto image = host::LoadImage(good, host::ImageKind::Driver);
            int* volatile nothing = nullptr;
            int value = 0;
            host::CallImageCode(&value, HostNullRead, &nothing);
        },
        "");
    EXPECT_DEATH(
        {
            const auto image = host::LoadImage(good, host::ImageKind::Driver);
            int* volatile nothing = nullptr;
            std::printf("%d\n", HostNullRead(&nothing));
        },
        "");
}

}  // namespace

// --api-image FILE in railwatch and railwatch-sim: the tools read through the shipped x64
// RailwatchApi.dll exactly as through the library built into them, and a file that cannot
// be loaded as the library is refused before anything runs.
#include "PeBytes.h"
#include "ShippedBinaries.h"
#include "ToolRun.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace railwatch_test;

#if defined(RAILWATCH_TOOL_PATH) && defined(RAILWATCH_SIM_PATH)

// Watch lines carry the time of the reading.
std::string MaskTimes(const std::string& text) {
    return std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})"),
                              "<time>");
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(ApiImageOption, RailwatchAnswersAlikeThroughTheShippedLibrary) {
    const auto image = simboard::FindShipped(simboard::kShippedApiImage);
    if (!image) {
        GTEST_SKIP() << simboard::MissingShipped(simboard::kShippedApiImage);
    }
    const std::vector<std::vector<std::string>> commands = {
        {"status"},
        {"status", "--json", "--pwr2", "0"},
        {"check"},
        {"check", "--pwr1", "0", "--superio", "4e"},
        {"check", "--bios-kind", "none"},
        {"status", "--superio", "none"},
        {"watch", "--count", "3", "--interval", "1", "--sim-flip", "2:1:0", "--sim-flip", "3:1:1"},
        {"watch", "--json", "--count", "2", "--interval", "1", "--sim-flip", "2:2:0"},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(Describe(command));
        const Outcome builtIn = RunTool(command);
        const Outcome shipped = RunTool(With(command, {"--api-image", *image}));
        EXPECT_EQ(shipped.exitCode, builtIn.exitCode);
        EXPECT_EQ(MaskTimes(shipped.out), MaskTimes(builtIn.out));
        EXPECT_EQ(shipped.err, builtIn.err);
    }
}

// Files that are no x64 DLL: each tool refuses the option, naming the file and the reason,
// and runs nothing. railwatch check answers UNKNOWN, as for any other refusal.
TEST(ApiImageOption, AFileThatIsNoLibraryIsRefusedBeforeAnythingRuns) {
    namespace fs = std::filesystem;
    const fs::path directory =
        fs::path(::testing::TempDir()) / ("api-image-option-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    struct Case {
        std::string path;
        std::string reason;
    };
    std::vector<Case> cases = {
        {(directory / "missing.dll").string(), "cannot be read"},
        {(directory / "text.dll").string(), "not a PE image"},
    };
    std::ofstream(cases[1].path) << "RailwatchApi\n";
    // The shipped driver is a PE32+ image, but no DLL.
    if (const auto driver = simboard::FindShipped("RailwatchDrv.sys")) {
        cases.push_back({*driver, "subsystem"});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Outcome sim = RunTool({"--api-image", c.path, "api-open"}, RAILWATCH_SIM_PATH);
        EXPECT_EQ(sim.exitCode, 2);
        EXPECT_EQ(sim.out, "");
        EXPECT_EQ(sim.err.rfind("railwatch-sim: " + c.path + ": ", 0), 0u) << sim.err;
        EXPECT_NE(sim.err.find(c.reason), std::string::npos) << sim.err;

        const Outcome status = RunTool({"status", "--api-image", c.path});
        EXPECT_EQ(status.exitCode, 2);
        EXPECT_EQ(status.out, "");
        EXPECT_EQ(status.err.rfind("railwatch: " + c.path + ": ", 0), 0u) << status.err;
        EXPECT_NE(status.err.find(c.reason), std::string::npos) << status.err;

        const Outcome check = RunTool({"check", "--api-image", c.path});
        EXPECT_EQ(check.exitCode, 3);
        EXPECT_EQ(check.out.rfind("RAILWATCH UNKNOWN - " + c.path + ": ", 0), 0u) << check.out;
    }
    fs::remove_all(directory);
}

// A library that faults while a tool calls it stops the machine: the verifier's report
// names the fault and where it happened, railwatch-sim runs no further step and exits 1,
// and railwatch reports nothing it did not read.
TEST(ApiImageOption, AFaultInTheLibraryIsReportedAndNothingIsRead) {
    const auto image = simboard::FindShipped(simboard::kShippedApiImage);
    if (!image) {
        GTEST_SKIP() << simboard::MissingShipped(simboard::kShippedApiImage);
    }
    // Railwatch_Get begins with a read through a null pointer: mov eax, [0].
    pebytes::Bytes faulty = pebytes::Load(*image);
    const std::size_t get = pebytes::ExportedCode(faulty, "Railwatch_Get");
    const std::uint8_t nullRead[] = {0x8B, 0x04, 0x25, 0x00, 0x00, 0x00, 0x00};
    std::copy(std::begin(nullRead), std::end(nullRead), faulty.begin() + std::ptrdiff_t(get));
    const std::string path =
        ::testing::TempDir() + "faulty-get-" + std::to_string(::getpid()) + ".dll";
    pebytes::Save(path, faulty);
    const std::string report =
        "ImageFault: access violation reading address 0x0000000000000000 in " +
        std::filesystem::path(path).filename().string() + " section .text";

    const Outcome sim = RunTool({"--api-image", path, "load", "add", "start", "api-open",
                                 "api-get:1", "api-get:2", "unload"},
                                RAILWATCH_SIM_PATH);
    EXPECT_EQ(sim.exitCode, 1);
    EXPECT_EQ(sim.out,
              "load: status=0x00000000\n"
              "add: status=0x00000000\n"
              "start: status=0x00000000\n"
              "api-open: result=0 handle=set\n"
              "api-get:1: result=-1 state=238\n");
    EXPECT_EQ(sim.err.rfind("verifier: " + report, 0), 0u) << sim.err;

    const Outcome check = RunTool({"check", "--api-image", path});
    EXPECT_EQ(check.exitCode, 3);
    EXPECT_EQ(check.out.rfind("RAILWATCH UNKNOWN - ", 0), 0u) << check.out;
    EXPECT_NE(check.err.find(report), std::string::npos) << check.err;

    const Outcome status = RunTool({"status", "--json", "--api-image", path});
    EXPECT_EQ(status.exitCode, 3);
    EXPECT_EQ(status.out.rfind("{\"pwr1\": null, \"pwr2\": null", 0), 0u) << status.out;
    std::remove(path.c_str());
}

#endif

}  // namespace

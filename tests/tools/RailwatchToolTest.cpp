// The `railwatch` tool as people run it: the host build boots RailwatchDrv on a simulated
// board described by its options, then reads the supplies through the API library.
#include "BiosImages.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace railwatch_test;

#ifdef RAILWATCH_TOOL_PATH

constexpr const char* kOpenFailed = "Railwatch_OpenDevice_Failed: Open Railwatch Device Failed";

struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;
};

void ExpectOutcomes(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        const Outcome outcome = RunTool(c.args);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(outcome.out, c.out);
        // The board is said to be simulated; the platform's verifier found nothing, and
        // nothing failed.
        EXPECT_EQ(outcome.err, kSimulatedNote);
    }
}

TEST(RailwatchTool, StatusPrintsBothSuppliesAsTextOrJson) {
    ExpectOutcomes({
        {{}, 0, "PWR1: good\nPWR2: good\n"},
        {{"status", "--pwr2", "0"}, 0, "PWR1: good\nPWR2: FAILED\n"},
        {{"--pwr1", "0", "status"}, 0, "PWR1: FAILED\nPWR2: good\n"},
        {{"--superio", "4e", "--pwr1", "0", "--pwr2", "0"}, 0, "PWR1: FAILED\nPWR2: FAILED\n"},
        {{"--bios-kind", "award", "--pwr2=0"}, 0, "PWR1: good\nPWR2: FAILED\n"},
        {{"--bios-kind", "ami-family"}, 0, "PWR1: good\nPWR2: good\n"},
        {{"--json"}, 0, "{\"pwr1\": 1, \"pwr2\": 1, \"simulated\": true}\n"},
        {{"status", "--json", "--pwr2", "0"},
         0,
         "{\"pwr1\": 1, \"pwr2\": 0, \"simulated\": true}\n"},
    });
}

// One status line with performance data (each supply, critical below 1, range 0 to 1),
// none when the supplies are unknown.
TEST(RailwatchTool, CheckFollowsTheMonitoringPluginConvention) {
    const std::string unknown = std::string("RAILWATCH UNKNOWN - ") + kOpenFailed + "\n";
    ExpectOutcomes({
        {{"check"}, 0, "RAILWATCH OK - PWR1 good, PWR2 good | pwr1=1;;1:;0;1 pwr2=1;;1:;0;1\n"},
        {{"check", "--pwr2", "0"},
         2,
         "RAILWATCH CRITICAL - PWR2 FAILED | pwr1=1;;1:;0;1 pwr2=0;;1:;0;1\n"},
        {{"--pwr1", "0", "check", "--superio", "4e"},
         2,
         "RAILWATCH CRITICAL - PWR1 FAILED | pwr1=0;;1:;0;1 pwr2=1;;1:;0;1\n"},
        {{"check", "--pwr1", "0", "--pwr2", "0"},
         2,
         "RAILWATCH CRITICAL - PWR1 FAILED, PWR2 FAILED | pwr1=0;;1:;0;1 pwr2=0;;1:;0;1\n"},
        {{"check", "--bios-kind", "none"}, 3, unknown},
        {{"check", "--superio", "none"}, 3, unknown},
        {{"check", "--chip-id", "0x53"}, 3, unknown},
    });
}

// Every refusal of check is UNKNOWN, wherever the fault stands on the line: a plugin
// runner must not read a typo as CRITICAL. The status line goes to stdout, the usage to
// stderr, and nothing is read.
TEST(RailwatchTool, EveryRefusalOfCheckIsUnknown) {
    TempFile shortImage;
    std::ofstream(shortImage.Path(), std::ios::binary) << "too short for a BIOS image";
    struct Row {
        std::vector<std::string> args;
        std::string error;
    };
    const Row rows[] = {
        {{"check", "--bogus"}, "unknown option '--bogus'"},
        {{"--bogus", "check"}, "unknown option '--bogus'"},
        {{"--pwr1", "2", "check"}, "--pwr1 takes 0 or 1, not '2'"},
        {{"check", "--pwr2"}, "--pwr2 needs a value"},
        {{"check", "--json"}, "--json applies to 'status' and 'watch' only"},
        {{"--count", "3", "check"}, "--count applies to 'watch' only"},
        {{"check", "--sim-flip", "1:2:0"}, "--sim-flip applies to 'watch' only"},
        {{"check", "--help=1"}, "--help takes no value"},
        {{"check", "status"}, "more than one command: 'check' and 'status'"},
        {{"--bogus", "5", "check"}, "unknown option '--bogus'"},
        {{"check", "--bios", "/nonexistent/bios.bin"}, ""},
        {{"check", "--bios", shortImage.Path()}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Describe(row.args));
        const Outcome outcome = RunTool(row.args);
        EXPECT_EQ(outcome.exitCode, 3);
        if (!row.error.empty()) {
            EXPECT_EQ(outcome.out, "RAILWATCH UNKNOWN - " + row.error + "\n");
        } else {
            EXPECT_EQ(outcome.out.rfind("RAILWATCH UNKNOWN - ", 0), 0u) << outcome.out;
            EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 1);
        }
        EXPECT_EQ(outcome.err,
                  "Usage: railwatch [OPTIONS] [status|check|watch] [OPTIONS]\n"
                  "Try 'railwatch --help' for more information.\n");
    }
}

// A board the driver refuses, or on which its start fails, has no device: every command
// says the state is unknown, with the library's message, and never reports the pins.
TEST(RailwatchTool, WithoutADeviceTheStateIsUnknown) {
    for (const std::vector<std::string>& board :
         {std::vector<std::string>{"--bios-kind", "none"}, {"--superio", "none", "--pwr1", "0"}}) {
        struct Command {
            std::vector<std::string> args;
            std::string out;
        };
        for (const Command& command :
             {Command{{"status"}, "PWR1: unknown\nPWR2: unknown\n"},
              Command{{"status", "--json"},
                      std::string("{\"pwr1\": null, \"pwr2\": null, \"error\": \"") + kOpenFailed +
                          "\", \"simulated\": true}\n"},
              Command{{"watch", "--count", "2", "--interval", "1"}, ""}}) {
            std::vector<std::string> args = command.args;
            args.insert(args.end(), board.begin(), board.end());
            SCOPED_TRACE(Describe(args));
            const Outcome outcome = RunTool(args);
            EXPECT_EQ(outcome.exitCode, 3);
            if (!command.out.empty()) {
                EXPECT_EQ(outcome.out, command.out);
            } else {
                EXPECT_NE(outcome.out.find("PWR1: unknown, PWR2: unknown"), std::string::npos)
                    << outcome.out;
            }
            EXPECT_EQ(outcome.err, kSimulatedNote + "railwatch: " + kOpenFailed + "\n");
        }
    }
}

TEST(RailwatchTool, BoardsFromABiosImageFile) {
    for (const auto& [kind, exitCode] :
         {std::pair{simboard::BiosKind::Award, 0}, std::pair{simboard::BiosKind::None, 3}}) {
        TempFile image;
        const auto bytes = simboard::BuiltInBiosImage(kind);
        std::ofstream(image.Path(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        const Outcome outcome = RunTool({"check", "--bios", image.Path()});
        EXPECT_EQ(outcome.exitCode, exitCode) << outcome.out << outcome.err;
    }
}

// The first reading is printed, then a line for each change and none for a poll that
// changes nothing.
TEST(RailwatchTool, WatchPrintsTheFirstReadingAndEveryChange) {
    const Outcome text = RunTool({"watch", "--interval", "1", "--count", "6", "--sim-flip", "3:2:0",
                                  "--sim-flip", "5:2:1", "--sim-flip", "6:2:1"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.err, kSimulatedNote);
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
    EXPECT_TRUE(std::regex_match(text.out, std::regex(stamp + "PWR1: good, PWR2: good\n" +    //
                                                      stamp + "PWR1: good, PWR2: FAILED\n" +  //
                                                      stamp + "PWR1: good, PWR2: good\n")))
        << text.out;

    const Outcome json = RunTool(
        {"--json", "--sim-flip", "2:1:0", "watch", "--count=3", "--interval=1", "--pwr2", "0"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.err, kSimulatedNote);
    const std::string time = R"(\{"time": "[-0-9: .]+", )";
    EXPECT_TRUE(
        std::regex_match(json.out, std::regex(time + R"("pwr1": 1, "pwr2": 0, "simulated": true\}
)" + time + R"("pwr1": 0, "pwr2": 0, "simulated": true\}
)"))) << json.out;
}

// Ctrl-C ends a watch after the poll in progress; the device is closed and the board torn
// down as usual (the simulated platform reports nothing left behind).
TEST(RailwatchTool, WatchEndsCleanlyWhenInterrupted) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    TempFile err;
    const int errFd = open(err.Path().c_str(), O_WRONLY | O_TRUNC);
    const pid_t pid = Spawn({"watch", "--interval", "20"}, pipeFds[1], errFd);
    close(pipeFds[1]);
    close(errFd);
    ASSERT_GT(pid, 0);

    std::string firstLine;
    char c = 0;
    while (read(pipeFds[0], &c, 1) == 1 && c != '\n') {
        firstLine += c;
    }
    EXPECT_NE(firstLine.find("PWR1: good, PWR2: good"), std::string::npos) << firstLine;
    kill(pid, SIGINT);
    EXPECT_EQ(WaitForExit(pid), 0);
    close(pipeFds[0]);
    EXPECT_EQ(ReadFile(err.Path()), kSimulatedNote);
}

TEST(RailwatchTool, HelpPrintsUsageToStdout) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                                 {"-h"},
                                                 {"check", "--help"},
                                                 {"watch", "-h"},
                                                 {"--help", "status"}}) {
        SCOPED_TRACE(Describe(args));
        const Outcome outcome = RunTool(args);
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(outcome.out.rfind("Usage: railwatch", 0), 0u) << outcome.out;
        for (const char* mention : {"status", "check", "watch", "--json", "--interval", "--count",
                                    "--bios-kind", "--superio", "--chip-id", "--sim-flip"}) {
            EXPECT_NE(outcome.out.find(mention), std::string::npos) << mention;
        }
        EXPECT_EQ(outcome.err, "");
    }
}

TEST(RailwatchTool, BadCommandLinesAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"frobnicate"},
        {"status", "watch"},
        {"--pwr1", "2"},
        {"--pwr2"},
        {"--superio", "3e"},
        {"--chip-id", "0x100"},
        {"--bios-kind", "phoenix"},
        {"--bios", "/nonexistent/bios.bin"},
        {"--bios-kind", "ami", "--bios", "/nonexistent/bios.bin"},
        {"--json=1"},
        {"status", "--count", "3"},
        {"status", "--sim-flip", "1:2:0"},
        {"watch", "--count", "0"},
        {"watch", "--interval", "soon"},
        {"watch", "--sim-flip", "1:3:0"},
        {"watch", "--sim-flip", "0:1:0"},
        {"watch", "--sim-flip", "1:1"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(Describe(args));
        const Outcome outcome = RunTool(args);
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err.rfind("railwatch: ", 0), 0u) << outcome.err;
        EXPECT_NE(outcome.err.find("Usage: railwatch"), std::string::npos) << outcome.err;
    }
}

// The service is a Windows service: the Linux build says so instead of taking `service` for
// an unknown command.
TEST(RailwatchTool, ServiceExistsOnWindowsOnly) {
    const std::vector<std::vector<std::string>> cases = {
        {"service"},
        {"service", "install"},
        {"service", "run", "--interval", "500"},
        {"--pwr2", "0", "service", "uninstall"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(Describe(args));
        const Outcome outcome = RunTool(args);
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("'service' exists only in the Windows build"), std::string::npos)
            << outcome.err;
    }
}

#else

TEST(RailwatchTool, NotBuilt) { GTEST_SKIP() << "the railwatch tool is not part of this build"; }

#endif

}  // namespace

// railwatch-sim end to end: the built tool is run with a scenario and its whole standard
// output, exit code, error text and output files are checked. The output files are
// compared with the same scenario run in this process on a simulated board. Every scenario
// runs on the library built into railwatch-sim and with --api-image on the shipped x64
// RailwatchApi.dll (a test parameter), and on the built-in driver and the shipped driver
// image (Run() runs both): all must give the same output.
#include "ApiBuilds.h"
#include "DriverImageRun.h"
#include "PlatformFixture.h"
#include "ShippedBinaries.h"
#include "SimulatedBoard.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#ifndef RAILWATCH_SIM_PATH
#error "RAILWATCH_SIM_PATH must name the built railwatch-sim"
#endif

namespace {

namespace fs = std::filesystem;

struct SimRun {
    int exitCode;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Addresses (16 hex digits) differ from run to run and between the built-in driver and
// the image; the rest of a text does not.
std::string MaskAddresses(const std::string& text) {
    return std::regex_replace(text, std::regex("0x[0-9A-Fa-f]{12,16}"), "0x<address>");
}

// The DriverObject address differs from run to run; the rest of the debug text does not.
std::string MaskAddress(const std::string& debugText) {
    return std::regex_replace(debugText, std::regex("DriverObject=0x[0-9A-F]{16}"),
                              "DriverObject=0x<address>");
}

class RailwatchSimFixture : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        directory_ = fs::path(::testing::TempDir()) /
                     ("railwatch-sim-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory_);
        fs::create_directories(directory_);
    }

    void TearDown() override {
        fs::remove_all(directory_);
        PlatformTest::TearDown();
    }

    fs::path File(const std::string& name) const { return directory_ / name; }

    // Runs railwatch-sim (`options_` first) with the built-in driver and, when the shipped image is
    // there, once more with --driver-image: both runs must give the same output lines, error text,
    // exit code, debug text (addresses aside), port trace and registry.
    SimRun Run(const std::vector<std::string>& arguments) const {
        const SimRun builtIn = RunOnce(arguments);
        const std::string image = ShippedDriverImage();
        const bool given =
            std::find(arguments.begin(), arguments.end(), "--driver-image") != arguments.end();
        if (given || !fs::is_regular_file(image)) return builtIn;
        std::vector<std::string> onImage = {"--driver-image", image};
        std::vector<std::pair<fs::path, fs::path>> outputs;  // built-in's file, image's file
        for (std::size_t index = 0; index < arguments.size(); ++index) {
            const std::string& word = arguments[index];
            const bool output =
                word == "--dbg-out" || word == "--trace-out" || word == "--registry-out";
            if (output && index + 1 < arguments.size()) {
                const std::string moved = arguments[index + 1] + ".image";
                outputs.emplace_back(arguments[index + 1], moved);
                onImage.insert(onImage.end(), {word, moved});
                ++index;
                continue;
            }
            onImage.push_back(word);
        }
        const SimRun imageRun = RunOnce(onImage);
        EXPECT_EQ(imageRun.exitCode, builtIn.exitCode) << "on " << image;
        EXPECT_EQ(imageRun.out, builtIn.out) << "on " << image;
        EXPECT_EQ(MaskAddresses(imageRun.err), MaskAddresses(builtIn.err)) << "on " << image;
        for (const auto& [mine, theirs] : outputs) {
            EXPECT_EQ(MaskAddresses(ReadFile(theirs)), MaskAddresses(ReadFile(mine)))
                << mine << " on " << image;
        }
        return builtIn;
    }

    SimRun RunOnce(const std::vector<std::string>& arguments) const {
        std::string command = Quote(RAILWATCH_SIM_PATH);
        for (const auto& argument : options_) {
            command += " " + Quote(argument);
        }
        for (const auto& argument : arguments) {
            command += " " + Quote(argument);
        }
        command += " >" + Quote(File("stdout").string()) + " 2>" + Quote(File("stderr").string());
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status)) << command;
        return SimRun{WEXITSTATUS(status), ReadFile(File("stdout")), ReadFile(File("stderr"))};
    }

    // A 65,536-byte image file: the built-in image of `kind` with `bytes` written at
    // `physical` (when given).
    fs::path ImageFile(const std::string& name, simboard::BiosKind kind, std::uint32_t physical = 0,
                       const std::string& bytes = "") const {
        auto image = simboard::BuiltInBiosImage(kind);
        if (!bytes.empty()) simboard::PutBytes(image, physical, bytes);
        std::ofstream(File(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        return File(name);
    }

    std::vector<std::string> options_;  // given to every run first

  private:
    fs::path directory_;
};

// A scenario on either build of the API library.
class RailwatchSimTest : public RailwatchSimFixture,
                         public ::testing::WithParamInterface<ApiBuild> {
  protected:
    void SetUp() override {
        RailwatchSimFixture::SetUp();
        if (GetParam() == ApiBuild::Image) {
            const auto image = simboard::FindShipped(simboard::kShippedApiImage);
            if (!image) {
                GTEST_SKIP() << simboard::MissingShipped(simboard::kShippedApiImage);
            }
            options_ = {"--api-image", *image};
        }
    }
};

TEST_P(RailwatchSimTest, RequiredScenariosRunClean) {
    const SimRun first = Run({"--bios-kind", "ami", "load", "add", "ioctl1", "ioctl2", "unload"});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out,
              "load: status=0x00000000\n"
              "add: status=0x00000000\n"
              "ioctl1: status=0xC00000A3 info=0 byte0=0xA5 byte1=0\n"
              "ioctl2: status=0xC00000A3 info=0 byte0=0xA5 byte1=0\n"
              "unload: status=0x00000000\n");
    EXPECT_EQ(first.err, "");

    const SimRun second = Run({"load", "add", "start", "ioctl1", "sleep:S3", "wake", "hibernate",
                               "ioctl2", "stop", "start", "remove", "unload"});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.err, "");
}

TEST_P(RailwatchSimTest, WholeOutputOfADeviceLife) {
    const SimRun run = Run({"--pwr2",
                            "0",
                            "load",
                            "add",
                            "start",
                            "ioctl1",
                            "ioctl2",
                            "sleep:S3",
                            "set-pwr2=1",
                            "wake",
                            "hibernate:S0",
                            "ioctl2",
                            "query-stop",
                            "stop",
                            "cancel-stop",
                            "query-remove",
                            "cancel-remove",
                            "pnp:0x07",
                            "query-power",
                            "device-power:D3",
                            "power:4:6",
                            "ioctl:0x22244C:2:2",
                            "ioctl:0x222444:1:2",
                            "ioctl:0x222448:2:2:nobuf",
                            "ioctl:0x222448:16:16",
                            "remove",
                            "ioctl1",
                            "start",
                            "unload"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "load: status=0x00000000\n"
              "add: status=0x00000000\n"
              "start: status=0x00000000\n"
              "ioctl1: status=0x00000000 info=2 byte0=0xA5 byte1=1\n"
              "ioctl2: status=0x00000000 info=2 byte0=0xA5 byte1=0\n"
              "sleep:S3: status=0x00000000\n"
              "set-pwr2=1: ok\n"
              "wake: status=0x00000000\n"
              "hibernate:S0: status=0x00000000\n"
              "ioctl2: status=0x00000000 info=2 byte0=0xA5 byte1=1\n"
              "query-stop: status=0x00000000\n"
              "stop: status=0x00000000\n"
              "cancel-stop: status=0x00000000\n"
              "query-remove: status=0x00000000\n"
              "cancel-remove: status=0x00000000\n"
              "pnp:0x07: status=0xC00000BB\n"
              "query-power: status=0x00000000\n"
              "device-power:D3: status=0x00000000\n"
              "power:4:6: status=0x00000000\n"
              "ioctl:0x22244C:2:2: status=0xC000000D info=0 byte0=0xA5 byte1=0\n"
              "ioctl:0x222444:1:2: status=0xC0000023 info=2 byte0=0xA5 byte1=0\n"
              "ioctl:0x222448:2:2:nobuf: status=0xC000000D info=0 byte0=0xA5 byte1=0\n"
              "ioctl:0x222448:16:16: status=0x00000000 info=2 byte0=0xA5 byte1=1\n"
              "remove: status=0x00000000\n"
              "ioctl1: status=0xC000000E info=0 byte0=0xA5 byte1=0\n"
              "start: status=0x00000000\n"
              "unload: status=0x00000000\n");
}

TEST_P(RailwatchSimTest, ApiStepsGoThroughTheLibrary) {
    const SimRun run = Run({"--pwr1",        "0",
                            "api-open",      "api-close-null",
                            "load",          "add",
                            "start",         "api-open",
                            "api-get:1",     "api-get:2",
                            "api-get:0",     "api-get:255",
                            "api-close",     "api-get:1",
                            "api-close",     "api-close-null",
                            "api-message:0", "api-message:2",
                            "api-message:4", "api-message:4294967295",
                            "unload"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "api-open: result=2 handle=null\n"
              "api-close-null: result=3\n"
              "load: status=0x00000000\n"
              "add: status=0x00000000\n"
              "start: status=0x00000000\n"
              "api-open: result=0 handle=set\n"
              "api-get:1: result=0 state=0\n"
              "api-get:2: result=0 state=1\n"
              "api-get:0: result=4 state=238\n"
              "api-get:255: result=4 state=238\n"
              "api-close: result=0\n"
              "api-get:1: result=3 state=238\n"
              "api-close: result=0\n"
              "api-close-null: result=3\n"
              "api-message:0: result=0 text=\"Railwatch_SUCCESS: Railwatch Operation Succeed\"\n"
              "api-message:2: result=0 text=\"Railwatch_OpenDevice_Failed: Open Railwatch Device "
              "Failed\"\n"
              "api-message:4: result=0 text=untouched\n"
              "api-message:4294967295: result=0 text=untouched\n"
              "unload: status=0x00000000\n");

    // A handle whose device went away: the request fails and the byte stays untouched.
    const SimRun gone = Run({"load", "add", "start", "api-open", "remove", "api-get:1", "api-close",
                             "api-open", "unload"});
    EXPECT_EQ(gone.exitCode, 0) << gone.err;
    EXPECT_EQ(gone.out,
              "load: status=0x00000000\n"
              "add: status=0x00000000\n"
              "start: status=0x00000000\n"
              "api-open: result=0 handle=set\n"
              "remove: status=0x00000000\n"
              "api-get:1: result=3 state=238\n"
              "api-close: result=0\n"
              "api-open: result=2 handle=null\n"
              "unload: status=0x00000000\n");
}

// set-superio moves the chip between steps: a request before any probe has found the chip
// is refused as not ready; a wake whose probe misses the chip changes neither where the
// supplies are read nor where the next start looks first.
TEST_P(RailwatchSimTest, SetSuperIoMovesTheChipBetweenSteps) {
    const SimRun run = Run({"--superio",
                            "none",
                            "--pwr2",
                            "0",
                            "--trace-out",
                            File("trace").string(),
                            "load",
                            "add",
                            "start",
                            "ioctl1",
                            "set-superio=2e",
                            "start",
                            "ioctl2",
                            "sleep:S3",
                            "set-superio=none",
                            "wake",
                            "set-superio=2e",
                            "stop",
                            "start",
                            "ioctl1",
                            "remove",
                            "unload"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "load: status=0x00000000\n"
              "add: status=0x00000000\n"
              "start: status=0xC0000001\n"
              "ioctl1: status=0xC00000A3 info=0 byte0=0xA5 byte1=0\n"
              "set-superio=2e: ok\n"
              "start: status=0x00000000\n"
              "ioctl2: status=0x00000000 info=2 byte0=0xA5 byte1=0\n"
              "sleep:S3: status=0x00000000\n"
              "set-superio=none: ok\n"
              "wake: status=0x00000000\n"
              "set-superio=2e: ok\n"
              "stop: status=0x00000000\n"
              "start: status=0x40000000\n"  // the interface is still enabled
              "ioctl1: status=0x00000000 info=2 byte0=0xA5 byte1=1\n"
              "remove: status=0x00000000\n"
              "unload: status=0x00000000\n");
    // Two probes of both pairs (the failed start, the wake), two that find the chip at
    // 0x2E at once (the starts), the sleep's two reads and the two requests.
    const std::string trace = ReadFile(File("trace"));
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 2 * 14 + 2 * 7 + 4 * 23) << trace;

    const SimRun bad = Run({"load", "set-superio=3e"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("set-superio=3e"), std::string::npos) << bad.err;
}

TEST_P(RailwatchSimTest, OpenCloseAndNoDevice) {
    const SimRun run = Run({"open", "close", "start", "load", "add", "open", "open", "close",
                            "close", "close", "unload"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "open: status=0xC0000034\n"
              "close: status=0xC0000008\n"
              "start: status=0xC000000E\n"
              "load: status=0x00000000\n"
              "add: status=0x00000000\n"
              "open: status=0x00000000\n"
              "open: status=0x00000000\n"
              "close: status=0x00000000\n"
              "close: status=0x00000000\n"
              "close: status=0xC0000008\n"
              "unload: status=0x00000000\n");
}

TEST_P(RailwatchSimTest, BoardOptionsReachTheDriver) {
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
    };
    const Case cases[] = {
        {{"--bios-kind", "none", "load"}, "load: status=0xC0000001\n"},
        {{"--bios-kind", "award", "load"}, "load: status=0x00000000\n"},
        {{"--bios-kind", "ami-family", "load"}, "load: status=0x00000000\n"},
        {{"--superio", "none", "load", "add", "start"},
         "load: status=0x00000000\nadd: status=0x00000000\nstart: status=0xC0000001\n"},
        {{"--superio", "4e", "load", "add", "start"},
         "load: status=0x00000000\nadd: status=0x00000000\nstart: status=0x00000000\n"},
        {{"--chip-id", "0x53", "load", "add", "start"},
         "load: status=0x00000000\nadd: status=0x00000000\nstart: status=0xC0000001\n"},
        {{"--fail", "IoCreateDevice", "load", "add", "unload"},
         "load: status=0x00000000\nadd: status=0xC000009A\nunload: status=0x00000000\n"},
        {{"--fail", "ExAllocatePoolWithTag:1", "load"}, "load: status=0xC000009A\n"},
        {{"--fail", "IoAttachDeviceToDeviceStack:1", "load", "add", "unload"},
         "load: status=0x00000000\nadd: status=0xC000000E\nunload: status=0x00000000\n"},
        {{"--fail", "CreateFileA", "load", "add", "api-open"},
         "load: status=0x00000000\nadd: status=0x00000000\napi-open: result=2 handle=null\n"},
        {{"--lower-status", "0xC0000001", "load", "add", "start", "cancel-stop", "stop"},
         "load: status=0x00000000\nadd: status=0x00000000\nstart: status=0x00000000\n"
         "cancel-stop: status=0x00000000\nstop: status=0xC0000001\n"},
        {{"--lower-pending", "load", "add", "start", "stop", "sleep:S1"},
         "load: status=0x00000000\nadd: status=0x00000000\nstart: status=0x00000000\n"
         "stop: status=0x00000103\nsleep:S1: status=0x00000103\n"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.arguments.front() + " " + test.arguments[1]);
        const SimRun run = Run(test.arguments);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, test.out);
    }
}

TEST_P(RailwatchSimTest, ExitCodeOneWhenTheVerifierReports) {
    // A second load overwrites the first path copy: the leak shows at unload.
    const SimRun leak = Run({"load", "load", "unload"});
    EXPECT_EQ(leak.exitCode, 1);
    EXPECT_EQ(leak.out,
              "load: status=0x00000000\nload: status=0x00000000\nunload: status=0x00000000\n");
    EXPECT_TRUE(leak.err.starts_with("verifier: Pool: ")) << leak.err;

    // Ending with the driver loaded and its device present is no leak.
    const SimRun loaded = Run({"load", "add", "start", "open"});
    EXPECT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_EQ(loaded.err, "");
}

TEST_P(RailwatchSimTest, UsageErrorsNameTheWordAndRunNothing) {
    struct Case {
        std::vector<std::string> arguments;
        std::string named;
    };
    const Case cases[] = {
        {{"load", "bogus"}, "'bogus'"},
        {{"--bogus", "load"}, "'--bogus'"},
        {{"load", "ioctl:0x222444:2"}, "'ioctl:0x222444:2'"},
        {{"load", "ioctl:222444:2:2"}, "'ioctl:222444:2:2'"},
        {{"load", "ioctl:0x222444:65537:2"}, "'ioctl:0x222444:65537:2'"},
        {{"load", "ioctl:0x222444:2:2:buf"}, "'ioctl:0x222444:2:2:buf'"},
        {{"load", "api-get:256"}, "'api-get:256'"},
        {{"load", "api-message:4294967296"}, "'api-message:4294967296'"},
        {{"load", "sleep:S4"}, "'sleep:S4'"},
        {{"load", "sleep:S0"}, "'sleep:S0'"},
        {{"load", "hibernate:S6"}, "'hibernate:S6'"},
        {{"load", "device-power:D4"}, "'device-power:D4'"},
        {{"load", "power:8:1"}, "'power:8:1'"},
        {{"load", "pnp:7"}, "'pnp:7'"},
        {{"load", "set-pwr1=2"}, "'set-pwr1=2'"},
        {{"--fail", "Nope", "load"}, "'Nope'"},
        {{"--fail", "IoCreateDevice:0", "load"}, "'IoCreateDevice:0'"},
        {{"--superio", "3e", "load"}, "'3e'"},
        {{"--bios-kind", "phoenix", "load"}, "'phoenix'"},
        {{"--chip-id", "52", "load"}, "'52'"},
        {{"--pwr1", "2", "load"}, "'2'"},
        {{"--lower-status", "1", "load"}, "'1'"},
        {{"load", "--pwr1"}, "'--pwr1'"},
        {{}, "no step"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.named);
        std::vector<std::string> arguments = {"--dbg-out", File("debug.txt").string()};
        arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
        const SimRun run = Run(arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "") << "nothing runs";
        EXPECT_TRUE(run.err.starts_with("railwatch-sim: ")) << run.err;
        EXPECT_NE(FirstLine(run.err).find(test.named), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("\nusage: railwatch-sim"), std::string::npos);
        EXPECT_FALSE(fs::exists(File("debug.txt")));
    }

    const SimRun help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.starts_with("usage: railwatch-sim")) << help.out;
    EXPECT_EQ(help.err, "");
}

TEST_P(RailwatchSimTest, BiosImageFiles) {
    {
        std::ofstream(File("short.bin"), std::ios::binary) << std::string(65535, '\0');
        const SimRun run = Run({"--bios", File("short.bin").string(), "load"});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(FirstLine(run.err).find(File("short.bin").string()), std::string::npos);
        EXPECT_NE(FirstLine(run.err).find("65535"), std::string::npos) << run.err;
    }
    {
        const SimRun run = Run({"--bios", File("missing.bin").string(), "load"});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(FirstLine(run.err).find(File("missing.bin").string()), std::string::npos);
    }
    {
        const SimRun run = Run({"--bios", ImageFile("none.bin", simboard::BiosKind::None).string(),
                                "--bios-kind", "ami", "load"});
        EXPECT_EQ(run.exitCode, 2) << "one image source only";
    }
    // A crafted image: the AMI signature without marker or family name, then with "OLMI".
    const SimRun refused =
        Run({"--bios", ImageFile("bare.bin", simboard::BiosKind::None, 0xFF400, "AMIBIOS").string(),
             "load"});
    EXPECT_EQ(refused.exitCode, 0) << refused.err;
    EXPECT_EQ(refused.out, "load: status=0xC0000001\n");
    auto image = simboard::BuiltInBiosImage(simboard::BiosKind::None);
    simboard::PutBytes(image, 0xFF400, "AMIBIOS");
    simboard::PutBytes(image, 0xF3000, "OLMI-2");
    std::ofstream(File("olmi.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    const SimRun accepted = Run({"--bios", File("olmi.bin").string(), "load", "unload"});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
    EXPECT_EQ(accepted.out, "load: status=0x00000000\nunload: status=0x00000000\n");
}

// The three output files hold what the same scenario leaves on a board in this process.
TEST_P(RailwatchSimTest, OutputFilesMatchAnInProcessRun) {
    const SimRun run =
        Run({"--pwr1", "0", "--dbg-out", File("debug.txt").string(), "--trace-out",
             File("trace.txt").string(), "--registry-out", File("registry.txt").string(), "load",
             "add", "start", "ioctl1", "sleep:S3", "wake", "unload"});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    std::string debugText;
    std::string trace;
    std::string registry;
    {
        simboard::BoardOptions options;
        options.pwr1 = false;
        simboard::SimulatedBoard board(options);
        ASSERT_EQ(board.Load(), STATUS_SUCCESS);
        ASSERT_EQ(board.Add(), STATUS_SUCCESS);
        ASSERT_EQ(board.Start().status, STATUS_SUCCESS);
        std::uint8_t buffer[2] = {0xA5, 0};
        host::DeviceControlTo(board.Device(), 0x222444, buffer, 2, buffer, 2);
        board.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);
        board.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionSleep);
        board.Unload();
        debugText = host::DebugText();
        for (const auto& access : host::PortTrace()) trace += host::FormatPortAccess(access) + "\n";
        registry = host::DumpRegistry();
    }

    const std::string debugFile = ReadFile(File("debug.txt"));
    EXPECT_EQ(MaskAddress(debugFile), MaskAddress(debugText));
    EXPECT_NE(debugFile.find("System Stand by:\n m_PWR1Status = 0x0 \n m_PWR2Status = 0x1 \n\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(File("trace.txt")), trace);
    EXPECT_TRUE(trace.starts_with("out 0x2E 0x87\nout 0x2E 0x87\n")) << trace.substr(0, 80);
    EXPECT_EQ(ReadFile(File("registry.txt")), registry);
    EXPECT_EQ(
        registry,
        "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RailwatchDrv\\InterfaceName "
        "REG_SZ 120 \"\\\\.\\ROOT#SYSTEM#0000#{3cab894e-068a-4a17-b784-008a72a7cb30}\"\n"
        "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RailwatchDrv\\ChipsetType "
        "REG_DWORD 0x00000001\n");
}

TEST_P(RailwatchSimTest, RegistryPathAndMissingServiceKey) {
    const std::string other = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Other";
    const SimRun run = Run({"--registry-path", other, "--no-service-key", "--registry-out",
                            File("registry.txt").string(), "load", "add", "start", "unload"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(File("registry.txt")), other + "\\ChipsetType REG_DWORD 0x00000001\n");

    const SimRun missing = Run({"--no-service-key", "--registry-out", File("registry.txt").string(),
                                "load", "add", "start", "unload"});
    EXPECT_EQ(missing.exitCode, 0) << missing.err;
    EXPECT_EQ(ReadFile(File("registry.txt")), "");
}

RAILWATCH_ON_BOTH_API_BUILDS(RailwatchSimTest);

}  // namespace

namespace {

class RailwatchSimImageTest : public RailwatchSimFixture {};

TEST_F(RailwatchSimImageTest, ABrokenDriverImageIsRefusedBeforeAnyStep) {
    const fs::path broken = File("broken.sys");
    std::ofstream(broken) << "not a driver";
    const SimRun run = RunOnce({"--driver-image", broken.string(), "load", "add"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(FirstLine(run.err),
              "railwatch-sim: " + broken.string() + ": not a PE image (no MZ header)");
}

TEST_F(RailwatchSimImageTest, AFaultingDriverImageEndsItsScenarioWithAReport) {
#ifdef RAILWATCH_TEST_DRIVERS_DIR
    const fs::path faulting = fs::path(RAILWATCH_TEST_DRIVERS_DIR) / "cli.sys";
#else
    const fs::path faulting;
#endif
    if (faulting.empty() || !fs::exists(faulting)) {
        GTEST_SKIP() << "test drivers not built (no x86_64-w64-mingw32-gcc)";
    }
    const SimRun run = RunOnce({"--driver-image", faulting.string(), "load", "add", "start"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "load: status=0xC0000001\n");
    EXPECT_TRUE(std::regex_match(
        run.err, std::regex("verifier: ImageFault: privileged instruction cli \\(0xFA[^)]*\\) in "
                            "cli\\.sys section \\.text at RVA 0x1[0-9A-F]{3}\n"
                            "railwatch-sim: the driver image faulted during 'load': the "
                            "machine stopped, 2 steps not run\n")))
        << run.err;
}

}  // namespace

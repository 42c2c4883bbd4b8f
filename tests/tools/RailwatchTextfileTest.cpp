// railwatch --textfile: the readings for the textfile collectors of Prometheus exporters,
// read back with a real parser of the text exposition format, replaced atomically while a
// reader polls, and refused up front when the file cannot be written.
#include "Textfile.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace railwatch_test;
namespace fs = std::filesystem;

#ifdef RAILWATCH_TOOL_PATH

// A fresh directory that lives as long as the object.
class TempDir {
  public:
    TempDir() {
        std::string pattern = ::testing::TempDir() + "railwatch-textfile-XXXXXX";
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

// What the Prometheus client's parser reads in the file, one line per family and sample;
// a file it refuses fails the test.
std::string Parse(const std::string& path) {
    TempDir scratch;
    const std::string out = scratch.File("parsed");
    const std::string err = scratch.File("errors");
    const std::string command = std::string(RAILWATCH_PYTHON) + " " + RAILWATCH_PROMETHEUS_PARSER +
                                " '" + path + "' >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << "the parser refused " << path << ":\n"
                         << ReadFile(err) << "\nThe file:\n"
                         << ReadFile(path);
    return ReadFile(out);
}

const std::string kUp =
    "railwatch_up gauge help=yes\n"
    "  railwatch_up{} 1\n"
    "railwatch_supply_good gauge help=yes\n";
const std::string kDown =
    "railwatch_up gauge help=yes\n"
    "  railwatch_up{} 0\n"
    "railwatch_supply_good gauge help=yes\n";

std::string Supplies(int pwr1, int pwr2) {
    return "  railwatch_supply_good{supply=\"PWR1\"} " + std::to_string(pwr1) +
           "\n  railwatch_supply_good{supply=\"PWR2\"} " + std::to_string(pwr2) + "\n";
}

// The rows run in order on one file: a board that cannot be read replaces the good readings
// of the row before it with railwatch_up 0 and no supply samples, never leaving them stand.
TEST(RailwatchTextfile, EveryCommandWritesWhatTheParserReads) {
    TempDir dir;
    const std::string file = dir.File("railwatch.prom");
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::string parsed;
    };
    const Row rows[] = {
        {{"status", "--pwr2", "0"}, 0, kUp + Supplies(1, 0)},
        {{"status", "--superio", "none"}, 3, kDown},
        {{"check"}, 0, kUp + Supplies(1, 1)},
        {{"check", "--bios-kind", "none"}, 3, kDown},
        {{"check", "--pwr1", "0"}, 2, kUp + Supplies(0, 1)},
        {{"--json", "status", "--superio", "4e"}, 0, kUp + Supplies(1, 1)},
        // The file holds the latest poll, not the latest change.
        {{"watch", "--interval", "1", "--count", "3", "--sim-flip", "2:1:0"},
         0,
         kUp + Supplies(0, 1)},
        {{"watch", "--interval", "1", "--count", "2", "--chip-id", "0x53"}, 3, kDown},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--textfile", file});
        SCOPED_TRACE(Describe(args));
        const Outcome outcome = RunTool(args);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << outcome.err;
        EXPECT_EQ(Parse(file), row.parsed);
        EXPECT_EQ(dir.Names(), std::set<std::string>{"railwatch.prom"});
    }
}

// A collector that reads the file at any moment finds a whole file: the old one or the new
// one, never a truncated or half-written one.
TEST(RailwatchTextfile, AReaderPollingDuringAWatchOnlySeesWholeFiles) {
    TempDir dir;
    const std::string file = dir.File("railwatch.prom");
    railwatch::Reading good;
    good.good[0] = good.good[1] = true;
    railwatch::Reading failed = good;
    failed.good[1] = false;
    const std::set<std::string> wholeFiles = {railwatch::PrometheusText(good),
                                              railwatch::PrometheusText(failed)};

    // PWR2 changes at every poll.
    constexpr int kPolls = 300;
    std::vector<std::string> args = {
        "watch", "--interval", "1", "--count", std::to_string(kPolls), "--textfile", file};
    for (int poll = 2; poll <= kPolls; ++poll) {
        args.insert(args.end(),
                    {"--sim-flip", std::to_string(poll) + ":2:" + std::to_string(poll % 2)});
    }
    std::atomic<bool> done{false};
    std::set<std::string> seen;
    int reads = 0;
    std::thread reader([&] {
        while (!done) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                continue;  // not written yet
            }
            std::ostringstream text;
            text << in.rdbuf();
            seen.insert(text.str());
            ++reads;
        }
    });
    const Outcome outcome = RunTool(args);
    done = true;
    reader.join();

    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.err, kSimulatedNote);
    EXPECT_GT(reads, 0);
    for (const std::string& text : seen) {
        EXPECT_EQ(wholeFiles.count(text), 1u) << "a reader saw:\n" << text;
    }
    EXPECT_EQ(dir.Names(), std::set<std::string>{"railwatch.prom"});
}

// Found out before anything is read: status and watch exit 2 with the reason on stderr,
// check says UNKNOWN on stdout and exits 3; nothing is created.
TEST(RailwatchTextfile, AFileThatCannotBeWrittenIsRefusedUpFront) {
    TempDir dir;
    std::ofstream(dir.File("plain")) << "not a directory\n";
    fs::create_directory(dir.File("locked"));
    fs::permissions(dir.File("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    // Permissions do not stop root; a directory of sysfs stops everyone.
    const std::string readOnly =
        geteuid() == 0 ? std::string("/sys/railwatch.prom") : dir.File("locked/railwatch.prom");

    const std::vector<std::pair<std::string, std::string>> paths = {
        {dir.File("missing/railwatch.prom"), "No such file or directory"},
        {dir.File("plain/railwatch.prom"), "Not a directory"},
        {readOnly, "Permission denied"},
        {dir.File(""), "is a directory"},
    };
    for (const auto& [path, reason] : paths) {
        for (const std::string command : {"status", "watch", "check"}) {
            const std::vector<std::string> args = {command, "--textfile", path, "--count=1"};
            const std::vector<std::string> usedArgs =
                command == "watch" ? args : std::vector<std::string>(args.begin(), args.end() - 1);
            SCOPED_TRACE(Describe(usedArgs));
            const Outcome outcome = RunTool(usedArgs);
            if (command == "check") {
                EXPECT_EQ(outcome.exitCode, 3);
                EXPECT_EQ(outcome.out.rfind("RAILWATCH UNKNOWN - textfile " + path + ": ", 0), 0u)
                    << outcome.out;
                EXPECT_NE(outcome.out.find(reason), std::string::npos) << outcome.out;
                EXPECT_EQ(outcome.err, "");
            } else {
                EXPECT_EQ(outcome.exitCode, 2);
                EXPECT_EQ(outcome.out, "");
                EXPECT_EQ(outcome.err.rfind("railwatch: textfile " + path + ": ", 0), 0u)
                    << outcome.err;
                EXPECT_NE(outcome.err.find(reason), std::string::npos) << outcome.err;
            }
        }
    }
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"locked", "plain"}));
}

// A replacement that fails (here the target has become a directory that is not empty)
// leaves the target as it was and no temporary file; the next try, once the way is clear,
// succeeds.
TEST(RailwatchTextfile, AFailedReplacementLeavesTheOldFileAndNoTemporary) {
    TempDir dir;
    const std::string file = dir.File("railwatch.prom");
    fs::create_directories(file + "/held");
    const std::string error = railwatch::ReplaceFileAtomically(file, "railwatch_up 1\n");
    EXPECT_EQ(error.rfind("textfile " + file + ": cannot write: ", 0), 0u) << error;
    EXPECT_TRUE(fs::is_directory(file + "/held"));
    EXPECT_EQ(dir.Names(), std::set<std::string>{"railwatch.prom"});

    fs::remove_all(file);
    EXPECT_EQ(railwatch::ReplaceFileAtomically(file, "railwatch_up 1\n"), "");
    EXPECT_EQ(ReadFile(file), "railwatch_up 1\n");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::others_read, fs::perms::others_read)
        << "a collector running as another user must be able to read the file";
}

#else

TEST(RailwatchTextfile, NotBuilt) {
    GTEST_SKIP() << "the railwatch tool is not part of this build";
}

#endif

}  // namespace

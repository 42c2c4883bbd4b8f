// Runs the built `railwatch` tool as people do, for the tool's tests: arguments in, exit
// status, standard output and standard error out.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace railwatch_test {

#ifdef RAILWATCH_TOOL_PATH

// The line with which every command of the host build says its board is simulated.
inline const std::string kSimulatedNote =
    "railwatch: simulated board: these readings come from RailwatchDrv on a simulated board, "
    "not from hardware\n";

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A file that lives as long as the object.
class TempFile {
  public:
    TempFile() {
        std::string pattern = ::testing::TempDir() + "railwatch-XXXXXX";
        const int fd = mkstemp(pattern.data());
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = pattern;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Starts `program` (by default the tool) with the arguments; its stdout goes to
// `stdoutFd`, its stderr to `stderrFd`.
inline pid_t Spawn(const std::vector<std::string>& args, int stdoutFd, int stderrFd,
                   const char* program = RAILWATCH_TOOL_PATH) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << "cannot start " << program;
    return pid;
}

inline int WaitForExit(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "the tool did not exit normally: status " << status;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline Outcome RunTool(const std::vector<std::string>& args,
                       const char* program = RAILWATCH_TOOL_PATH) {
    TempFile out;
    TempFile err;
    const int outFd = open(out.Path().c_str(), O_WRONLY | O_TRUNC);
    const int errFd = open(err.Path().c_str(), O_WRONLY | O_TRUNC);
    const pid_t pid = Spawn(args, outFd, errFd, program);
    close(outFd);
    close(errFd);
    Outcome outcome;
    outcome.exitCode = pid > 0 ? WaitForExit(pid) : -1;
    outcome.out = ReadFile(out.Path());
    outcome.err = ReadFile(err.Path());
    return outcome;
}

inline std::string Describe(const std::vector<std::string>& args) {
    std::string text = "railwatch";
    for (const auto& arg : args) {
        text += " " + arg;
    }
    return text;
}

#endif

}  // namespace railwatch_test

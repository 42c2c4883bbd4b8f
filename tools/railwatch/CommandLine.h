// railwatch's command line: the commands, the options and their values, and the usage text.
// Options may stand before or after the command. The host build adds the options that
// describe its simulated board.
#pragma once

#ifndef _WIN32
#include "BoardCommandLine.h"
#endif

#include <optional>
#include <string>
#include <vector>

namespace railwatch {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;     // `check`: every refusal is UNKNOWN, 3
inline constexpr int kExitCritical = 2;  // `check` only
inline constexpr int kExitUnavailable = 3;
inline constexpr int kExitCannotWrite = 2;    // the textfile (for `check`: UNKNOWN, 3)
inline constexpr int kExitServiceFailed = 1;  // `service`: Windows refused (not elevation)

inline constexpr unsigned kDefaultIntervalMs = 1000;

enum class Command { Status, Check, Watch, Service };

// `service ACTION` (the Windows build only).
enum class ServiceAction { Install, Uninstall, Run };

// A supply level that the host sets just before the given poll (counted from 1).
struct SupplyFlip {
    unsigned long poll;
    int supply;
    bool level;
};

struct Options {
    Command command = Command::Status;
    bool help = false;
    bool json = false;
    std::string textfile;  // --textfile: where to write the readings for Prometheus; empty: nowhere
    unsigned long intervalMs = kDefaultIntervalMs;
    bool intervalGiven = false;  // --interval was on the command line
    ServiceAction serviceAction = ServiceAction::Run;
    std::optional<unsigned long> count;  // watch: polls to make; unset: until interrupted
    std::vector<SupplyFlip> flips;
    std::string watchOption;  // the first watch-only option given, for the usage check
#ifndef _WIN32
    simboard::BoardOptions board;
    simboard::BoardCommandLine boardLine;
#endif
};

struct ParsedCommandLine {
    Options options;    // when the line is refused, options.command is Check if it named check
    std::string error;  // empty when the command line is good
};

ParsedCommandLine ParseCommandLine(int argc, char** argv);

// The full usage, on stdout (--help).
void PrintHelp();

// Refuses to run the command: a bad command line (withUsage: a short usage follows on
// stderr), or a board, image or file that cannot be set up. `check` answers as a check
// does: "RAILWATCH UNKNOWN - error" on stdout and exit 3; the others put the error on
// stderr and exit 2. Returns the exit status.
int Refuse(Command command, const std::string& error, bool withUsage);

}  // namespace railwatch

// railwatch: tells whether the board's power supplies PWR1 and PWR2 are good.
//
// One source for two builds. On Windows the tool talks to the installed RailwatchDrv
// through RailwatchApi.dll and nothing else. On the host it first boots RailwatchDrv on a
// simulated board (the board options describe it) and then talks to that driver through
// the same library calls. Only the machine differs between the builds (Machine.h): how it
// is brought up and, on the host, the supply flips that tests schedule between polls.
// Parsing, the commands and their output are shared.
//
// Exit status: 0 success; 2 usage error (and, for `check`, CRITICAL); 3 the driver cannot
// be opened or read (for `check`, UNKNOWN, as is every refusal of `check`).
#include "CommandLine.h"
#include "Commands.h"
#include "Library.h"
#include "Machine.h"
#include "Textfile.h"

#ifdef _WIN32
#include "windows/Service.h"
#endif

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace railwatch;
    const ParsedCommandLine parsed = ParseCommandLine(argc, argv);
    if (!parsed.error.empty()) {
        return Refuse(parsed.options.command, parsed.error, true);
    }
    const Options& options = parsed.options;
    if (options.help) {
        PrintHelp();
        return kExitOk;
    }

    // A textfile that cannot be written is found out before anything is read. (The service
    // checks its own at install; once running, it keeps trying at every poll.)
    if (!options.textfile.empty() && options.command != Command::Service) {
        const std::string error = CheckTextfilePath(options.textfile);
        if (!error.empty()) {
            return Refuse(options.command, error, false);
        }
    }
#ifndef _WIN32
    // So is an API image that cannot be loaded.
    const LibraryChoice library(options.board.apiImage);
    if (!library.Loaded()) {
        return Refuse(options.command, library.Refusal(), false);
    }
#endif

    Machine machine(options);
    switch (options.command) {
        case Command::Status:
            return RunStatus(options);
        case Command::Check:
            return RunCheck(options);
        case Command::Watch:
            return RunWatch(options, machine);
        case Command::Service:
#ifdef _WIN32
            return RunServiceCommand(options);
#else
            break;  // refused by the parser: the service is Windows-only
#endif
    }
    return kExitUsage;
}

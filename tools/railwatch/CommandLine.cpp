// railwatch's command line: parsing the commands and options, and the usage texts.
#include "CommandLine.h"

#include <algorithm>
#include <charconv>
#include <utility>
#include <cstdio>
#include <string_view>

namespace railwatch {

namespace {

constexpr unsigned long kMaxIntervalMs = 24UL * 60 * 60 * 1000;

std::optional<unsigned long> ParseNumber(std::string_view text, unsigned long max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

#ifndef _WIN32
// The simulated board's values.
std::optional<bool> ParseLevel(std::string_view text) {
    if (text == "0") return false;
    if (text == "1") return true;
    return std::nullopt;
}

// POLL:SUPPLY:LEVEL
std::optional<SupplyFlip> ParseFlip(std::string_view text) {
    const auto first = text.find(':');
    const auto second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    const auto poll = ParseNumber(text.substr(0, first), 0xFFFFFFFFUL);
    const auto supply = ParseNumber(text.substr(first + 1, second - first - 1), 2);
    const auto level = ParseLevel(text.substr(second + 1));
    if (!poll || *poll == 0 || !supply || *supply == 0 || !level) {
        return std::nullopt;
    }
    return SupplyFlip{*poll, static_cast<int>(*supply), *level};
}
#endif

// An option's effect on the options; returns an error text, empty when the value is good.
using ApplyOption = std::string (*)(Options&, std::string_view value);

struct KnownOption {
    std::string_view name;
    bool takesValue;
    ApplyOption apply;
};

const KnownOption kOptions[] = {
    {"--help", false,
     [](Options& o, std::string_view) {
         o.help = true;
         return std::string();
     }},
    {"-h", false,
     [](Options& o, std::string_view) {
         o.help = true;
         return std::string();
     }},
    {"--json", false,
     [](Options& o, std::string_view) {
         o.json = true;
         return std::string();
     }},
    {"--textfile", true,
     [](Options& o, std::string_view value) {
         if (value.empty()) return std::string("--textfile takes a file name");
         o.textfile = value;
         return std::string();
     }},
    {"--interval", true,
     [](Options& o, std::string_view value) {
         const auto ms = ParseNumber(value, kMaxIntervalMs);
         if (!ms || *ms == 0) {
             return "--interval takes milliseconds from 1 to " + std::to_string(kMaxIntervalMs);
         }
         o.intervalMs = *ms;
         o.intervalGiven = true;
         o.watchOption = o.watchOption.empty() ? "--interval" : o.watchOption;
         return std::string();
     }},
    {"--count", true,
     [](Options& o, std::string_view value) {
         const auto count = ParseNumber(value, 0xFFFFFFFFUL);
         if (!count || *count == 0)
             return std::string("--count takes a number of polls, at least 1");
         o.count = *count;
         o.watchOption = o.watchOption.empty() ? "--count" : o.watchOption;
         return std::string();
     }},
#ifndef _WIN32
    {"--sim-flip", true,
     [](Options& o, std::string_view value) {
         const auto flip = ParseFlip(value);
         if (!flip) return std::string("--sim-flip takes POLL:SUPPLY:LEVEL, e.g. 3:2:0");
         o.flips.push_back(*flip);
         o.watchOption = o.watchOption.empty() ? "--sim-flip" : o.watchOption;
         return std::string();
     }},
#endif
};

#ifdef _WIN32
// `service install|uninstall|run`: install and run take --interval and --textfile, which the
// service's command line carries; uninstall takes no option.
std::string ApplyServiceAction(std::optional<std::string_view> action, Options& options) {
    if (!action) {
        return "'service' needs an action: install, uninstall or run";
    }
    if (*action == "install") {
        options.serviceAction = ServiceAction::Install;
    } else if (*action == "uninstall") {
        options.serviceAction = ServiceAction::Uninstall;
    } else if (*action == "run") {
        options.serviceAction = ServiceAction::Run;
    } else {
        return "unknown service action '" + std::string(*action) + "': install, uninstall or run";
    }
    if (options.count) {
        return "--count applies to 'watch' only";
    }
    if (options.json) {
        return "--json applies to 'status' and 'watch' only";
    }
    if (options.serviceAction == ServiceAction::Uninstall &&
        (options.intervalGiven || !options.textfile.empty())) {
        return "'service uninstall' takes no options";
    }
    return std::string();
}
#endif

}  // namespace

// Options may stand before or after the command; values follow as the next argument or
// after '=' (--count=3).
ParsedCommandLine ParseCommandLine(int argc, char** argv) {
    ParsedCommandLine parsed;
    Options& options = parsed.options;
    // The first fault is the one reported; the rest of the line is still read for its
    // command words, so that a refused `check` can answer as a check does.
    const auto fail = [&parsed](std::string error) {
        if (parsed.error.empty()) parsed.error = std::move(error);
    };
    std::vector<std::string_view> commands;
    std::optional<std::string_view> serviceAction;  // the word after `service`
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.size() < 2 || argument[0] != '-') {
            if (commands.size() == 1 && commands.front() == "service" && !serviceAction) {
                serviceAction = argument;
                continue;
            }
            if (!commands.empty()) {
                fail("more than one command: '" + std::string(commands.front()) + "' and '" +
                     std::string(argument) + "'");
            }
            commands.push_back(argument);
            continue;
        }
        const auto equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        const auto known = std::find_if(std::begin(kOptions), std::end(kOptions),
                                        [name](const KnownOption& s) { return s.name == name; });
#ifndef _WIN32
        const bool boardOption = simboard::BoardCommandLine::Takes(name);
#else
        const bool boardOption = false;
#endif
        if (known == std::end(kOptions) && !boardOption) {
            fail("unknown option '" + std::string(name) + "'");
            continue;
        }
        const bool takesValue = boardOption || known->takesValue;
        std::string_view value;
        if (equals != std::string_view::npos) {
            if (!takesValue) {
                fail(std::string(name) + " takes no value");
                continue;
            }
            value = argument.substr(equals + 1);
        } else if (takesValue) {
            if (i + 1 >= argc) {
                fail(std::string(name) + " needs a value");
                break;
            }
            value = argv[++i];
        }
        if (!parsed.error.empty()) {
            continue;  // the line is refused already: its values no longer matter
        }
#ifndef _WIN32
        fail(boardOption ? options.boardLine.Apply(name, value, options.board)
                         : known->apply(options, value));
#else
        fail(known->apply(options, value));
#endif
    }

    const std::string_view command = commands.empty() ? "status" : commands.front();
    if (!parsed.error.empty()) {
        const bool check = std::find(commands.begin(), commands.end(), "check") != commands.end();
        options.command = check ? Command::Check : Command::Status;
        return parsed;
    }
    if (command == "status") {
        options.command = Command::Status;
    } else if (command == "check") {
        options.command = Command::Check;
    } else if (command == "watch") {
        options.command = Command::Watch;
    } else if (command == "service") {
#ifdef _WIN32
        options.command = Command::Service;
        parsed.error = ApplyServiceAction(serviceAction, options);
#else
        parsed.error =
            "'service' exists only in the Windows build of railwatch, where it installs and runs "
            "the Windows service that reports to the Event Log; here use 'watch'";
#endif
        return parsed;
    } else {
        parsed.error = "unknown command '" + std::string(command) + "'";
        return parsed;
    }
    if (options.command != Command::Watch && !options.watchOption.empty()) {
        parsed.error = options.watchOption + " applies to 'watch' only";
    } else if (options.command == Command::Check && options.json) {
        parsed.error = "--json applies to 'status' and 'watch' only";
    }
    return parsed;
}

void PrintHelp() {
    std::fputs(
        "Usage: railwatch [OPTIONS] [status|check|watch] [OPTIONS]\n"
#ifdef _WIN32
        "       railwatch service install [--interval MS] [--textfile FILE]\n"
        "       railwatch service uninstall|run\n"
#endif
        "\n"
        "Tells whether the board's power supplies PWR1 and PWR2 are good, through\n"
        "RailwatchApi and the RailwatchDrv driver.\n"
        "\n"
        "Commands:\n"
        "  status             print both supplies, e.g. 'PWR1: good', 'PWR2: FAILED'\n"
        "                     (the default command)\n"
        "  check              monitoring-plugin check: one status line with performance\n"
        "                     data; exit 0 OK (both good), 2 CRITICAL (a supply failed),\n"
        "                     3 UNKNOWN (the driver cannot be opened or read, or the\n"
        "                     command line or board is refused)\n"
        "  watch              poll and print a timestamped line whenever a state changes,\n"
        "                     the first reading included, until interrupted (Ctrl-C) or\n"
        "                     --count polls are made\n"
#ifdef _WIN32
        "  service install [--interval MS] [--textfile FILE]\n"
        "                     register the Windows service 'Railwatch' (automatic start,\n"
        "                     LocalSystem, restarted after a failure) and its event source;\n"
        "                     installing again updates it (needs an elevated prompt)\n"
        "  service uninstall  stop the service and remove it and its event source\n"
        "  service run        what the service control manager starts: watch, and report\n"
        "                     each change to the Application log (events 1000-1006)\n"
#endif
        "\n"
        "Options:\n"
        "  --json             status, watch: print JSON objects instead of text\n"
        "  --textfile FILE    also write the readings to FILE in the Prometheus text\n"
        "                     format (replaced atomically; watch: at every poll)\n"
        "  --interval MS      watch, service: milliseconds between polls (default 1000)\n"
        "  --count N          watch: stop after N polls (default: until interrupted)\n"
        "  -h, --help         print this help and exit\n"
#ifndef _WIN32
        "\n"
        "Simulation options (this build boots RailwatchDrv on a simulated board):\n"
        "  --bios FILE        BIOS image file of 65536 bytes (0xF0000-0xFFFFF)\n"
        "  --bios-kind KIND   built-in BIOS image: ami (default), award, ami-family, none\n"
        "  --superio POS      Super I/O position: 2e (default), 4e, none\n"
        "  --chip-id 0xNN     Super I/O chip ID (default 0x52)\n"
        "  --pwr1 0|1         level of PWR1's input pin (default 1)\n"
        "  --pwr2 0|1         level of PWR2's input pin (default 1)\n"
        "  --driver-image FILE\n"
        "                     run this RailwatchDrv.sys (Windows x64 image) instead of the\n"
        "                     built-in driver\n"
        "  --api-image FILE   call this x64 RailwatchApi.dll instead of the built-in library\n"
        "  --sim-flip POLL:SUPPLY:LEVEL\n"
        "                     watch, for tests: set SUPPLY (1 or 2) to LEVEL (0 or 1) just\n"
        "                     before poll POLL (counted from 1); may be repeated\n"
        "  A board whose BIOS the driver refuses, or on which it finds no Super I/O chip,\n"
        "  ends up with no device: the supplies are then unknown.\n"
#endif
        "\n"
        "Exit status: 0 success (check: OK); 2 usage error or a textfile that cannot be\n"
        "written (check: CRITICAL); 3 the driver cannot be opened or read (check: UNKNOWN,\n"
        "as is every refusal of check). Failures print the library's message. status\n"
        "exits 0 whatever the supplies read.\n"
#ifdef _WIN32
        "service: 2 also when the prompt is not elevated; 1 when Windows refuses.\n"
#endif
        ,
        stdout);
}

int Refuse(Command command, const std::string& error, bool withUsage) {
    std::fflush(stdout);
    if (command == Command::Check) {
        // A plugin runner reads stdout's first line and the exit status: UNKNOWN, never a
        // CRITICAL that a typo would fake.
        std::printf("RAILWATCH UNKNOWN - %s\n", error.c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "railwatch: %s\n", error.c_str());
    }
    if (withUsage) {
        std::fputs(
            "Usage: railwatch [OPTIONS] [status|check|watch] [OPTIONS]\n"
#ifdef _WIN32
            "       railwatch service install|uninstall|run [OPTIONS]\n"
#endif
            "Try 'railwatch --help' for more information.\n",
            stderr);
    }
    return command == Command::Check ? kExitUnavailable : kExitUsage;
}

}  // namespace railwatch

// railwatch: tells whether the board's power supplies PWR1 and PWR2 are good.
//
// One source for two builds. On Windows the tool talks to the installed RailwatchDrv
// through RailwatchApi.dll and nothing else. On the host it first boots RailwatchDrv on a
// simulated board (the board options below describe it) and then talks to that driver
// through the same library calls. Only the machine differs between the builds: how it is
// brought up, how the tool sleeps between polls and, on the host, the supply flips that
// tests schedule between polls. Parsing, the commands and their output are shared.
//
// Exit status: 0 success; 2 usage error (and, for `check`, CRITICAL); 3 the driver cannot
// be opened or read (for `check`, UNKNOWN).
#include "RailwatchApi.h"

#ifdef _WIN32
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include "BoardCommandLine.h"

#include <stdexcept>
#endif

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitCritical = 2;  // `check` only
constexpr int kExitUnavailable = 3;

constexpr unsigned kDefaultIntervalMs = 1000;
constexpr unsigned long kMaxIntervalMs = 24UL * 60 * 60 * 1000;
constexpr unsigned kSleepSliceMs = 50;  // how soon an interrupted watch notices

// ---------------------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------------------

enum class Command { Status, Check, Watch };

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
    unsigned long intervalMs = kDefaultIntervalMs;
    std::optional<unsigned long> count;  // watch: polls to make; unset: until interrupted
    std::vector<SupplyFlip> flips;
    std::string watchOption;  // the first watch-only option given, for the usage check
#ifndef _WIN32
    simboard::BoardOptions board;
    simboard::BoardCommandLine boardLine;
#endif
};

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
    {"--interval", true,
     [](Options& o, std::string_view value) {
         const auto ms = ParseNumber(value, kMaxIntervalMs);
         if (!ms || *ms == 0) {
             return "--interval takes milliseconds from 1 to " + std::to_string(kMaxIntervalMs);
         }
         o.intervalMs = *ms;
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

struct ParsedCommandLine {
    Options options;
    std::string error;  // empty when the command line is good
};

// Options may stand before or after the command; values follow as the next argument or
// after '=' (--count=3).
ParsedCommandLine ParseCommandLine(int argc, char** argv) {
    ParsedCommandLine parsed;
    Options& options = parsed.options;
    std::optional<std::string_view> command;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.size() < 2 || argument[0] != '-') {
            if (command) {
                parsed.error = "more than one command: '" + std::string(*command) + "' and '" +
                               std::string(argument) + "'";
                return parsed;
            }
            command = argument;
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
            parsed.error = "unknown option '" + std::string(name) + "'";
            return parsed;
        }
        const bool takesValue = boardOption || known->takesValue;
        std::string_view value;
        if (equals != std::string_view::npos) {
            if (!takesValue) {
                parsed.error = std::string(name) + " takes no value";
                return parsed;
            }
            value = argument.substr(equals + 1);
        } else if (takesValue) {
            if (i + 1 >= argc) {
                parsed.error = std::string(name) + " needs a value";
                return parsed;
            }
            value = argv[++i];
        }
#ifndef _WIN32
        parsed.error = boardOption ? options.boardLine.Apply(name, value, options.board)
                                   : known->apply(options, value);
#else
        parsed.error = known->apply(options, value);
#endif
        if (!parsed.error.empty()) {
            return parsed;
        }
    }

    if (!command || *command == "status") {
        options.command = Command::Status;
    } else if (*command == "check") {
        options.command = Command::Check;
    } else if (*command == "watch") {
        options.command = Command::Watch;
    } else {
        parsed.error = "unknown command '" + std::string(*command) + "'";
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
        "\n"
        "Tells whether the board's power supplies PWR1 and PWR2 are good, through\n"
        "RailwatchApi and the RailwatchDrv driver.\n"
        "\n"
        "Commands:\n"
        "  status             print both supplies, e.g. 'PWR1: good', 'PWR2: FAILED'\n"
        "                     (the default command)\n"
        "  check              monitoring-plugin check: one status line; exit 0 OK (both\n"
        "                     good), 2 CRITICAL (a supply failed), 3 UNKNOWN (the driver\n"
        "                     cannot be opened or read)\n"
        "  watch              poll and print a timestamped line whenever a state changes,\n"
        "                     the first reading included, until interrupted (Ctrl-C) or\n"
        "                     --count polls are made\n"
        "\n"
        "Options:\n"
        "  --json             status, watch: print JSON objects instead of text\n"
        "  --interval MS      watch: milliseconds between polls (default 1000)\n"
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
        "  --sim-flip POLL:SUPPLY:LEVEL\n"
        "                     watch, for tests: set SUPPLY (1 or 2) to LEVEL (0 or 1) just\n"
        "                     before poll POLL (counted from 1); may be repeated\n"
        "  A board whose BIOS the driver refuses, or on which it finds no Super I/O chip,\n"
        "  ends up with no device: the supplies are then unknown.\n"
#endif
        "\n"
        "Exit status: 0 success (check: OK); 2 usage error (check: CRITICAL);\n"
        "3 the driver cannot be opened or read (check: UNKNOWN). Failures print the\n"
        "library's message. status exits 0 whatever the supplies read.\n",
        stdout);
}

// ---------------------------------------------------------------------------------------
// Interruption: SIGINT (Ctrl-C) and SIGTERM end a watch after the current poll, so the
// device is closed as usual.
// ---------------------------------------------------------------------------------------

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// ---------------------------------------------------------------------------------------
// The machine: what differs between the Windows tool and the host tool.
// ---------------------------------------------------------------------------------------

#ifdef _WIN32

// The installed driver is the machine: nothing to bring up or flip.
class Machine {
  public:
    explicit Machine(const Options&) {}
    void BeforePoll(unsigned long) {}
    static void SleepMs(unsigned long ms) { ::Sleep(static_cast<DWORD>(ms)); }
};

#else

// The simulated board, booted the way Windows boots a machine with RailwatchDrv: load,
// present the device node, start it (a refused load presents no device; a failed start is
// followed by removal). It lives until after the command has closed the device, then
// removes the device and unloads the driver.
class Machine {
  public:
    explicit Machine(const Options& options) : board_(options.board), flips_(options.flips) {
        board_.Boot();
    }
    ~Machine() {
        if (board_.Device() != nullptr) {
            board_.Remove();
        }
        if (board_.Loaded()) {
            board_.Unload();
        }
        // Whatever the simulated platform's verifier caught (a leak, a misused lock) is a
        // fault of the driver or the library: say so.
        host::CheckForLeaks();
        for (const host::Report& report : host::Reports()) {
            std::fprintf(stderr, "railwatch: simulated platform: %s: %s\n",
                         host::ReportKindName(report.kind), report.text.c_str());
        }
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    void BeforePoll(unsigned long poll) {
        for (const SupplyFlip& flip : flips_) {
            if (flip.poll == poll) {
                board_.SetSupply(flip.supply, flip.level);
            }
        }
    }

    static void SleepMs(unsigned long ms) {
        timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        nanosleep(&delay, nullptr);  // a signal cuts it short, which is what we want
    }

  private:
    simboard::SimulatedBoard board_;
    std::vector<SupplyFlip> flips_;
};

#endif

// Sleeps in short slices so that an interrupt ends the wait soon.
void SleepUnlessInterrupted(unsigned long ms) {
    while (ms > 0 && g_interrupted == 0) {
        const unsigned long slice = std::min<unsigned long>(ms, kSleepSliceMs);
        Machine::SleepMs(slice);
        ms -= slice;
    }
}

// ---------------------------------------------------------------------------------------
// The device and its readings
// ---------------------------------------------------------------------------------------

std::string Message(int code) {
    char buffer[Railwatch_MESSAGE_BUFFER_SIZE];
    // Codes without a message of the library's own leave the buffer as it is.
    std::snprintf(buffer, sizeof buffer, "Railwatch result code %d", code);
    Railwatch_GetErrorMessage(static_cast<unsigned int>(code), buffer);
    return buffer;
}

// Both supplies at one moment, or the library's result code when they could not be read.
struct Reading {
    int result = Railwatch_SUCCESS;
    bool good[2] = {false, false};  // PWR1, PWR2

    bool operator==(const Reading&) const = default;
};

// The library's one open device for the life of a command.
class Device {
  public:
    Device() { openResult_ = Railwatch_DeviceOpen(&handle_); }
    ~Device() {
        if (handle_ != nullptr) {
            Railwatch_DeviceClose(&handle_);
        }
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    Reading Read() const {
        Reading reading;
        reading.result = openResult_;
        for (unsigned char supply = Railwatch_PWR1;
             supply <= Railwatch_PWR2 && reading.result == Railwatch_SUCCESS; ++supply) {
            unsigned char state = 0;
            reading.result = Railwatch_Get(handle_, supply, &state);
            reading.good[supply - 1] = state != 0;
        }
        if (reading.result != Railwatch_SUCCESS) {
            reading.good[0] = reading.good[1] = false;
        }
        return reading;
    }

  private:
    DEVICE_HANDLE* handle_ = nullptr;
    int openResult_;
};

const char* const kSupplyNames[] = {"PWR1", "PWR2"};

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    char text[40] = "";
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms.count()));
    return full;
}

std::string JsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + '"';
}

// "PWR1: good, PWR2: FAILED" (separator ", ") or with another separator.
std::string TextReading(const Reading& reading, std::string_view separator) {
    std::string text;
    for (int supply = 0; supply < 2; ++supply) {
        text += supply == 0 ? "" : std::string(separator);
        text += std::string(kSupplyNames[supply]) + ": ";
        text += reading.result != Railwatch_SUCCESS ? "unknown"
                : reading.good[supply]              ? "good"
                                                    : "FAILED";
    }
    return text;
}

// {"pwr1": 1, "pwr2": 0}; unknown states are null and the library's message is added.
std::string JsonReading(const Reading& reading, const std::string& time = {}) {
    std::string json = "{";
    if (!time.empty()) {
        json += "\"time\": " + JsonString(time) + ", ";
    }
    for (int supply = 0; supply < 2; ++supply) {
        json += supply == 0 ? "\"pwr1\": " : ", \"pwr2\": ";
        json += reading.result != Railwatch_SUCCESS ? "null" : reading.good[supply] ? "1" : "0";
    }
    if (reading.result != Railwatch_SUCCESS) {
        json += ", \"error\": " + JsonString(Message(reading.result));
    }
    return json + "}";
}

void ReportFailure(const Reading& reading) {
    std::fflush(stdout);
    std::fprintf(stderr, "railwatch: %s\n", Message(reading.result).c_str());
}

// ---------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------

int RunStatus(const Options& options) {
    const Reading reading = Device().Read();
    if (options.json) {
        std::printf("%s\n", JsonReading(reading).c_str());
    } else {
        std::printf("%s\n", TextReading(reading, "\n").c_str());
    }
    if (reading.result != Railwatch_SUCCESS) {
        ReportFailure(reading);
        return kExitUnavailable;
    }
    return kExitOk;
}

int RunCheck() {
    const Reading reading = Device().Read();
    if (reading.result != Railwatch_SUCCESS) {
        std::printf("RAILWATCH UNKNOWN - %s\n", Message(reading.result).c_str());
        return kExitUnavailable;
    }
    if (reading.good[0] && reading.good[1]) {
        std::printf("RAILWATCH OK - PWR1 good, PWR2 good\n");
        return kExitOk;
    }
    std::string failed;
    for (int supply = 0; supply < 2; ++supply) {
        if (!reading.good[supply]) {
            failed += (failed.empty() ? "" : ", ") + std::string(kSupplyNames[supply]) + " FAILED";
        }
    }
    std::printf("RAILWATCH CRITICAL - %s\n", failed.c_str());
    return kExitCritical;
}

int RunWatch(const Options& options, Machine& machine) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    const Device device;
    std::optional<Reading> last;
    for (unsigned long poll = 1; g_interrupted == 0; ++poll) {
        machine.BeforePoll(poll);
        const Reading reading = device.Read();
        if (reading != last) {
            const std::string time = Timestamp();
            if (options.json) {
                std::printf("%s\n", JsonReading(reading, time).c_str());
            } else {
                std::printf("%s %s\n", time.c_str(), TextReading(reading, ", ").c_str());
            }
            std::fflush(stdout);
            last = reading;
        }
        if (reading.result != Railwatch_SUCCESS) {
            ReportFailure(reading);
            return kExitUnavailable;
        }
        if (options.count && poll >= *options.count) {
            break;
        }
        SleepUnlessInterrupted(options.intervalMs);
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedCommandLine parsed = ParseCommandLine(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr,
                     "railwatch: %s\n"
                     "Usage: railwatch [OPTIONS] [status|check|watch] [OPTIONS]\n"
                     "Try 'railwatch --help' for more information.\n",
                     parsed.error.c_str());
        return kExitUsage;
    }
    const Options& options = parsed.options;
    if (options.help) {
        PrintHelp();
        return kExitOk;
    }

    Machine machine(options);
    switch (options.command) {
        case Command::Status:
            return RunStatus(options);
        case Command::Check:
            return RunCheck();
        case Command::Watch:
            return RunWatch(options, machine);
    }
    return kExitUsage;
}

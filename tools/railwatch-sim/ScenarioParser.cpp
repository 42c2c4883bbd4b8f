// The command line of railwatch-sim: options and steps into a validated Scenario.
//
// Nothing here touches the simulated platform; a scenario that parses can run, and one
// that does not is refused whole, before any step runs.
#include "Scenario.h"

#include "BoardCommandLine.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

namespace railwatch_sim {
namespace {

const char kUsage[] =
    "usage: railwatch-sim [OPTIONS] STEP...\n"
    "\n"
    "Builds a simulated board, runs the steps in order against the driver and the API\n"
    "library, and prints one line per step.\n"
    "\n"
    "Board options:\n"
    "  --bios FILE               65536-byte image of 0xF0000-0xFFFFF\n"
    "  --bios-kind KIND          built-in image: ami (default), award, ami-family, none\n"
    "  --superio 2e|4e|none      where the W83627 answers (default 2e)\n"
    "  --chip-id 0xNN            the chip's ID (default 0x52)\n"
    "  --pwr1 0|1, --pwr2 0|1    the supplies' input levels (default 1)\n"
    "  --driver-image FILE       run this RailwatchDrv.sys (Windows x64 image) instead of\n"
    "                            the built-in driver; an image that cannot be loaded is\n"
    "                            refused before any step runs (exit 2)\n"
    "  --registry-path PATH      service key path handed to DriverEntry\n"
    "  --no-service-key          leave the driver's fixed service key out of the registry\n"
    "  --api-image FILE          the API steps call this x64 RailwatchApi.dll instead of\n"
    "                            the library built into railwatch-sim\n"
    "  --fail NAME[:N]           fail the N-th (default 1st) call the driver or library\n"
    "                            makes to NAME (ExAllocatePoolWithTag, IoCreateDevice, ...)\n"
    "  --lower-status 0xXXXXXXXX status the bus driver completes the PnP requests that\n"
    "                            every driver must handle with (start, stops, removals);\n"
    "                            any other it completes with the status it finds\n"
    "  --lower-pending           the bus driver completes PnP and power requests later,\n"
    "                            from another thread\n"
    "Output options:\n"
    "  --dbg-out FILE            the driver's debug text, as printed\n"
    "  --trace-out FILE          every port access, one a line\n"
    "  --registry-out FILE       the registry after the last step, one value a line\n"
    "  --help                    this text\n"
    "\n"
    "Steps:\n"
    "  load, add, unload                      STEP: status=0x%08X\n"
    "  ioctl1, ioctl2                         status request, 2-byte buffers, byte 0 = 0xA5\n"
    "  ioctl:CODE:INLEN:OUTLEN[:nobuf]        any control code (hex), lengths 0-65536;\n"
    "                                         STEP: status=0x%08X info=N byte0=0xNN byte1=N\n"
    "  open, close                            through the symbolic link; close takes the\n"
    "                                         newest open file\n"
    "  set-pwr1=0|1, set-pwr2=0|1             STEP: ok\n"
    "  set-superio=2e|4e|none                 moves the chip (or takes it away); STEP: ok\n"
    "  start, query-stop, stop, cancel-stop, query-remove, cancel-remove, surprise,\n"
    "  remove, pnp:0xNN                       Plug and Play, to the newest device node\n"
    "  sleep:S1|S2|S3, wake, hibernate[:S0-S5], query-power,\n"
    "  power:ACTION:STATE (decimal, 0-7 each), device-power:D0-D3\n"
    "                                         power; STEP: status=0x%08X (as returned)\n"
    "  api-open                               STEP: result=N handle=set|null\n"
    "  api-get:N (0-255)                      STEP: result=N state=B (238: untouched);\n"
    "                                         after api-close, with the handle it released\n"
    "  api-close, api-close-null              STEP: result=N\n"
    "  api-message:N                          STEP: result=N text=\"...\"|untouched\n"
    "\n"
    "Exit code: 0 every step ran, 1 the verifier reported something (on standard error),\n"
    "2 bad command line or an image that cannot be loaded (nothing run).\n";

// ---------------------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------------------

std::optional<std::uint64_t> ParseNumber(std::string_view text, int base) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "0x" and one to eight hexadecimal digits, at most `maximum`.
std::optional<std::uint32_t> ParseHex(std::string_view text, std::uint32_t maximum) {
    if (text.size() < 3 || text.size() > 10 ||
        (text.substr(0, 2) != "0x" && text.substr(0, 2) != "0X")) {
        return std::nullopt;
    }
    const auto value = ParseNumber(text.substr(2), 16);
    if (!value || *value > maximum) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t maximum) {
    const auto value = ParseNumber(text, 10);
    if (!value || *value > maximum) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

// Splits "a:b:c" at every colon.
std::vector<std::string_view> SplitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        const auto colon = text.find(':');
        fields.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos) return fields;
        text.remove_prefix(colon + 1);
    }
}

// UTF-8 into the UTF-16 of a counted kernel string; throws on malformed text.
std::u16string WidenPath(const std::string& text) {
    std::u16string wide;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80           ? 0
                          : (lead >> 5) == 0x6  ? 1
                          : (lead >> 4) == 0xE  ? 2
                          : (lead >> 3) == 0x1E ? 3
                                                : -1;
        if (extra < 0) throw UsageError("--registry-path: not valid UTF-8: " + text);
        std::uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= text.size()) throw UsageError("--registry-path: not valid UTF-8: " + text);
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                throw UsageError("--registry-path: not valid UTF-8: " + text);
            }
            code = (code << 6) | (next & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide += static_cast<char16_t>(0xD800 + (code >> 10));
            wide += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            wide += static_cast<char16_t>(code);
        }
    }
    return wide;
}

// ---------------------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------------------

Step PnpStep(std::uint8_t minor) {
    Step step;
    step.kind = StepKind::Pnp;
    step.minor = minor;
    return step;
}

Step PowerStep(std::uint8_t minor, POWER_STATE_TYPE type, std::uint32_t state,
               POWER_ACTION action) {
    Step step;
    step.kind = StepKind::Power;
    step.minor = minor;
    step.powerType = type;
    step.powerState = state;
    step.powerAction = action;
    return step;
}

Step StatusRequestStep(std::uint32_t code) {
    Step step;
    step.kind = StepKind::DeviceControl;
    step.controlCode = code;
    step.inputLength = 2;
    step.outputLength = 2;
    return step;
}

Step SimpleStep(StepKind kind) {
    Step step;
    step.kind = kind;
    return step;
}

// Steps that are one fixed word.
struct FixedStep {
    std::string_view word;
    Step (*make)();
};

const FixedStep kFixedSteps[] = {
    {"load", [] { return SimpleStep(StepKind::Load); }},
    {"add", [] { return SimpleStep(StepKind::Add); }},
    {"unload", [] { return SimpleStep(StepKind::Unload); }},
    {"ioctl1", [] { return StatusRequestStep(0x222444); }},
    {"ioctl2", [] { return StatusRequestStep(0x222448); }},
    {"open", [] { return SimpleStep(StepKind::Open); }},
    {"close", [] { return SimpleStep(StepKind::Close); }},
    {"start", [] { return PnpStep(IRP_MN_START_DEVICE); }},
    {"query-stop", [] { return PnpStep(IRP_MN_QUERY_STOP_DEVICE); }},
    {"stop", [] { return PnpStep(IRP_MN_STOP_DEVICE); }},
    {"cancel-stop", [] { return PnpStep(IRP_MN_CANCEL_STOP_DEVICE); }},
    {"query-remove", [] { return PnpStep(IRP_MN_QUERY_REMOVE_DEVICE); }},
    {"cancel-remove", [] { return PnpStep(IRP_MN_CANCEL_REMOVE_DEVICE); }},
    {"surprise", [] { return PnpStep(IRP_MN_SURPRISE_REMOVAL); }},
    {"remove", [] { return PnpStep(IRP_MN_REMOVE_DEVICE); }},
    {"wake",
     [] {
         return PowerStep(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionSleep);
     }},
    {"hibernate",
     [] {
         return PowerStep(IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate,
                          PowerActionHibernate);
     }},
    {"query-power",
     [] {
         return PowerStep(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3,
                          PowerActionSleep);
     }},
    {"api-open", [] { return SimpleStep(StepKind::ApiOpen); }},
    {"api-close", [] { return SimpleStep(StepKind::ApiClose); }},
    {"api-close-null", [] { return SimpleStep(StepKind::ApiCloseNull); }},
};

// "S0" to "S5": PowerSystemWorking (1) to PowerSystemShutdown (6).
std::optional<std::uint32_t> SystemStateName(std::string_view name, char highest) {
    if (name.size() != 2 || name[0] != 'S' || name[1] < '0' || name[1] > highest) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(name[1] - '0' + PowerSystemWorking);
}

// Steps with an argument: the prefix picks the parser, which returns nothing when the
// argument is malformed.
struct ArgumentStep {
    std::string_view prefix;
    std::optional<Step> (*parse)(std::string_view argument);
};

const ArgumentStep kArgumentSteps[] = {
    {"ioctl:",
     [](std::string_view argument) -> std::optional<Step> {
         const auto fields = SplitFields(argument);
         if (fields.size() != 3 && !(fields.size() == 4 && fields[3] == "nobuf")) {
             return std::nullopt;
         }
         const auto code = ParseHex(fields[0], 0xFFFFFFFFu);
         const auto input = ParseDecimal(fields[1], kMaxControlBufferLength);
         const auto output = ParseDecimal(fields[2], kMaxControlBufferLength);
         if (!code || !input || !output) return std::nullopt;
         Step step = StatusRequestStep(*code);
         step.inputLength = *input;
         step.outputLength = *output;
         step.withSystemBuffer = fields.size() == 3;
         return step;
     }},
    {"pnp:",
     [](std::string_view argument) -> std::optional<Step> {
         const auto minor = ParseHex(argument, 0xFF);
         if (!minor) return std::nullopt;
         return PnpStep(static_cast<std::uint8_t>(*minor));
     }},
    {"sleep:",
     [](std::string_view argument) -> std::optional<Step> {
         const auto state = SystemStateName(argument, '3');
         if (!state || argument == "S0") return std::nullopt;
         return PowerStep(IRP_MN_SET_POWER, SystemPowerState, *state, PowerActionSleep);
     }},
    {"hibernate:",
     [](std::string_view argument) -> std::optional<Step> {
         const auto state = SystemStateName(argument, '5');
         if (!state) return std::nullopt;
         return PowerStep(IRP_MN_SET_POWER, SystemPowerState, *state, PowerActionHibernate);
     }},
    {"power:",
     [](std::string_view argument) -> std::optional<Step> {
         // Both numbers stay inside their enumerations' ranges (0 to 7).
         const auto fields = SplitFields(argument);
         if (fields.size() != 2) return std::nullopt;
         const auto action = ParseDecimal(fields[0], PowerActionWarmEject);
         const auto state = ParseDecimal(fields[1], PowerSystemMaximum);
         if (!action || !state) return std::nullopt;
         return PowerStep(IRP_MN_SET_POWER, SystemPowerState, *state,
                          static_cast<POWER_ACTION>(*action));
     }},
    {"device-power:",
     [](std::string_view argument) -> std::optional<Step> {
         if (argument.size() != 2 || argument[0] != 'D' || argument[1] < '0' || argument[1] > '3') {
             return std::nullopt;
         }
         return PowerStep(IRP_MN_SET_POWER, DevicePowerState,
                          static_cast<std::uint32_t>(argument[1] - '0' + PowerDeviceD0),
                          PowerActionNone);
     }},
    {"api-get:",
     [](std::string_view argument) -> std::optional<Step> {
         const auto index = ParseDecimal(argument, 255);
         if (!index) return std::nullopt;
         Step step = SimpleStep(StepKind::ApiGet);
         step.apiArgument = *index;
         return step;
     }},
    {"api-message:",
     [](std::string_view argument) -> std::optional<Step> {
         const auto code = ParseDecimal(argument, 0xFFFFFFFFu);
         if (!code) return std::nullopt;
         Step step = SimpleStep(StepKind::ApiMessage);
         step.apiArgument = *code;
         return step;
     }},
    {"set-superio=",
     [](std::string_view argument) -> std::optional<Step> {
         const auto position = simboard::ParseSuperIoPosition(argument);
         if (!position) return std::nullopt;
         Step step = SimpleStep(StepKind::SetSuperIo);
         step.superIoIndexPort = *position;
         return step;
     }},
    {"set-pwr1=",
     [](std::string_view argument) -> std::optional<Step> {
         if (argument != "0" && argument != "1") return std::nullopt;
         Step step = SimpleStep(StepKind::SetSupply);
         step.supply = 1;
         step.level = argument == "1";
         return step;
     }},
    {"set-pwr2=",
     [](std::string_view argument) -> std::optional<Step> {
         if (argument != "0" && argument != "1") return std::nullopt;
         Step step = SimpleStep(StepKind::SetSupply);
         step.supply = 2;
         step.level = argument == "1";
         return step;
     }},
};

Step ParseStep(const std::string& word) {
    for (const auto& fixed : kFixedSteps) {
        if (word == fixed.word) {
            Step step = fixed.make();
            step.word = word;
            return step;
        }
    }
    for (const auto& entry : kArgumentSteps) {
        if (word.starts_with(entry.prefix)) {
            auto step = entry.parse(std::string_view(word).substr(entry.prefix.size()));
            if (!step) throw UsageError("malformed step '" + word + "'");
            step->word = word;
            return *step;
        }
    }
    throw UsageError("unknown step '" + word + "'");
}

// ---------------------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------------------

InjectedFault ParseFault(const std::string& value) {
    InjectedFault fault;
    const auto colon = value.find(':');
    fault.routine = value.substr(0, colon);
    const auto& failable = host::FailableRoutines();
    if (std::find(failable.begin(), failable.end(), fault.routine) == failable.end()) {
        throw UsageError("--fail: '" + fault.routine +
                         "' is not a routine that can be made to fail");
    }
    if (colon != std::string::npos) {
        const auto nth = ParseDecimal(std::string_view(value).substr(colon + 1), 0xFFFFFFFFu);
        if (!nth || *nth == 0) {
            throw UsageError("--fail: bad call number in '" + value + "' (counted from 1)");
        }
        fault.nth = *nth;
    }
    return fault;
}

}  // namespace

const char* UsageText() { return kUsage; }

Scenario ParseScenario(const std::vector<std::string>& arguments) {
    Scenario scenario;
    simboard::BoardCommandLine boardLine;

    std::size_t i = 0;
    // The value of the option at arguments[i].
    const auto value = [&]() -> const std::string& {
        if (i + 1 >= arguments.size()) {
            throw UsageError("option '" + arguments[i] + "' needs a value");
        }
        return arguments[++i];
    };

    for (; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (!word.starts_with("--")) {
            scenario.steps.push_back(ParseStep(word));
        } else if (word == "--help") {
            scenario.help = true;
        } else if (simboard::BoardCommandLine::Takes(word)) {
            const std::string error = boardLine.Apply(word, value(), scenario.board);
            if (!error.empty()) throw UsageError(error);
        } else if (word == "--registry-path") {
            const std::string& path = value();
            scenario.board.registryPath = WidenPath(path);
            // A counted string's length and the copy's extra NUL must fit 16 bits.
            if (scenario.board.registryPath.size() > 32766) {
                throw UsageError("--registry-path: longer than 32766 characters");
            }
        } else if (word == "--no-service-key") {
            scenario.board.serviceKey = false;
        } else if (word == "--fail") {
            scenario.faults.push_back(ParseFault(value()));
        } else if (word == "--lower-status") {
            const std::string& status = value();
            const auto parsed = ParseHex(status, 0xFFFFFFFFu);
            if (!parsed) throw UsageError("--lower-status takes 0xXXXXXXXX, not '" + status + "'");
            scenario.lowerStatus = static_cast<NTSTATUS>(*parsed);
        } else if (word == "--lower-pending") {
            scenario.lowerPending = true;
        } else if (word == "--dbg-out") {
            scenario.debugOutFile = value();
        } else if (word == "--trace-out") {
            scenario.traceOutFile = value();
        } else if (word == "--registry-out") {
            scenario.registryOutFile = value();
        } else {
            throw UsageError("unknown option '" + word + "'");
        }
    }

    if (scenario.steps.empty() && !scenario.help) {
        throw UsageError("no step given");
    }
    return scenario;
}

}  // namespace railwatch_sim

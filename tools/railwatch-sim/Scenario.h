// railwatch-sim: a scenario is a simulated board plus a list of steps run against the real
// driver and library code.
//
// ParseScenario turns the command line into a validated Scenario (every step checked
// before any runs); RunScenario builds the board, runs the steps and prints one line per
// step. The two never share anything but the records below.
#pragma once

#include "SimulatedBoard.h"

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace railwatch_sim {

// A bad command line: the message names the offending word or file.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class StepKind {
    Load,           // DriverEntry
    Add,            // a new device node, then AddDevice
    Unload,         // DriverUnload, then the leak check
    DeviceControl,  // a buffered device-control request straight to the driver's device
    Open,           // an open of the device through its symbolic link
    Close,          // a close of the newest open file
    SetSupply,      // change a supply's input level
    SetSuperIo,     // move the chip to another pair, or take it away
    Pnp,            // a Plug and Play request to the newest device node
    Power,          // a power request to the newest device node
    ApiOpen,
    ApiGet,
    ApiClose,
    ApiCloseNull,
    ApiMessage,
};

struct Step {
    std::string word;  // as given on the command line; it starts the step's output line
    StepKind kind = StepKind::Load;

    // DeviceControl
    std::uint32_t controlCode = 0;
    std::uint32_t inputLength = 0;
    std::uint32_t outputLength = 0;
    bool withSystemBuffer = true;

    // SetSupply
    int supply = 1;
    bool level = true;

    // SetSuperIo: 0x2E, 0x4E, or 0 for no chip
    std::uint16_t superIoIndexPort = 0x2E;

    // Pnp and Power
    std::uint8_t minor = 0;
    POWER_STATE_TYPE powerType = SystemPowerState;
    std::uint32_t powerState = 0;
    POWER_ACTION powerAction = PowerActionNone;

    // ApiGet (the supply index) and ApiMessage (the result code)
    std::uint32_t apiArgument = 0;
};

struct InjectedFault {
    std::string routine;
    unsigned nth = 1;
};

struct Scenario {
    simboard::BoardOptions board;
    std::vector<InjectedFault> faults;
    NTSTATUS lowerStatus = STATUS_SUCCESS;  // how the bus driver completes PnP requests
    bool lowerPending = false;              // the bus driver completes later, from another thread
    std::string debugOutFile;
    std::string traceOutFile;
    std::string registryOutFile;
    std::vector<Step> steps;
    bool help = false;
};

// Largest buffer an ioctl step may ask for.
constexpr std::uint32_t kMaxControlBufferLength = 64 * 1024;

// Parses the arguments after the program name; throws UsageError.
Scenario ParseScenario(const std::vector<std::string>& arguments);

// The usage text (options and steps).
const char* UsageText();

// Runs the scenario: one line per step on `out`, verifier reports on `err`. Returns 0 when
// the verifier stayed silent, 1 when it reported anything. Output files that cannot be
// written throw UsageError, and an API image that cannot be loaded throws host::ImageError,
// before any step runs.
int RunScenario(const Scenario& scenario, std::ostream& out, std::ostream& err);

}  // namespace railwatch_sim

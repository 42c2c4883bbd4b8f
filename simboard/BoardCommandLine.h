// The board options that the host tools share: --bios FILE, --bios-kind KIND,
// --superio 2e|4e|none, --chip-id 0xNN, --pwr1 0|1, --pwr2 0|1, --driver-image FILE (the
// RailwatchDrv.sys to run) and --api-image FILE (the x64 RailwatchApi.dll that the board's
// programs call). Each takes a value.
#pragma once

#include "SimulatedBoard.h"

#include <optional>
#include <string>
#include <string_view>

namespace simboard {

// Where the Super I/O chip answers: "2e" (0x2E), "4e" (0x4E) or "none" (0, no chip).
std::optional<USHORT> ParseSuperIoPosition(std::string_view text);

class BoardCommandLine {
  public:
    // True for the board options.
    static bool Takes(std::string_view option);

    // Applies one board option and its value to `board`. Returns a message that names the
    // option and what is wrong with the value, or an empty string when it is good.
    std::string Apply(std::string_view option, std::string_view value, BoardOptions& board);

  private:
    std::string biosOption_;  // --bios or --bios-kind, once one was given: they exclude each other
};

}  // namespace simboard

// The W83627 Super I/O chip as the bus sees it: a register state machine behind an index
// and a data port.
//
// Power-on state (what ResetChip leaves, modelled on the part's documented defaults):
//   configuration mode off, no enter key pending, index 0, logical device 0;
//   global 0x29 = 0x00 and 0x2B = 0x00 (the supply pins serve their other functions);
//   logical devices 8 and 9: 0x30 = 0x00 (inactive), 0xF0 = 0xFF (all pins inputs),
//   0xF1 = 0x00 (output latch), 0xF2 = 0x00 (no inversion);
//   every other register 0x00 until written.
#pragma once

#include "host/Platform.h"

#include <array>

namespace host::chip {

constexpr UCHAR kEnterKey = 0x87;  // written twice in a row to the index port
constexpr UCHAR kExitKey = 0xAA;
constexpr UCHAR kGlobal = 0xFF;  // "logical device" of the global registers

constexpr UCHAR kRegLogicalDevice = 0x07;
constexpr UCHAR kRegChipId = 0x20;
constexpr UCHAR kRegRevision = 0x21;
constexpr UCHAR kRegPinSelect2 = 0x29;  // bit 0x40 routes supply 2's pin
constexpr UCHAR kRegPinSelect1 = 0x2B;  // bit 0x04 routes supply 1's pin
constexpr UCHAR kRegActivate = 0x30;    // bit 0x01: logical device active
constexpr UCHAR kRegDirection = 0xF0;   // set bit: input
constexpr UCHAR kRegData = 0xF1;
constexpr UCHAR kRegInversion = 0xF2;
constexpr UCHAR kFirstDeviceRegister = 0x30;
constexpr std::size_t kLogicalDevices = 16;

struct W83627 {
    ChipConfig config;
    std::array<bool, 2> supplyLevel{true, true};  // supply 1, supply 2
    bool pendingEnterKey = false;  // the previous index write was the first enter key
    bool configurationMode = false;
    UCHAR index = 0;
    UCHAR logicalDevice = 0;
    std::array<UCHAR, kFirstDeviceRegister> global{};
    std::array<std::array<UCHAR, 0x100>, kLogicalDevices> device{};
};

// Back to the power-on state with this configuration; supply levels are kept.
void ResetChip(W83627& chip, const ChipConfig& config);
// One access through the ports; `data` selects the data port, else the index port.
void WritePort(W83627& chip, bool data, UCHAR value);
UCHAR ReadPort(const W83627& chip, bool data);
// The register as stored (the output latch for 0xF1), bypassing configuration mode.
UCHAR StoredRegister(const W83627& chip, UCHAR logicalDevice, UCHAR reg);
void StoreRegister(W83627& chip, UCHAR logicalDevice, UCHAR reg, UCHAR value);

}  // namespace host::chip

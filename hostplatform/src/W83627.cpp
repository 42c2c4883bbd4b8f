// The W83627 register state machine: configuration keys, index and data ports, the
// global and per-device register files and the two supply pins.
#include "W83627.h"

namespace host::chip {
namespace {

struct Register {
    UCHAR logicalDevice;
    UCHAR reg;
    UCHAR value;
};

constexpr Register kPowerOnDefaults[] = {
    {kGlobal, kRegPinSelect2, 0x00},
    {kGlobal, kRegPinSelect1, 0x00},
    {8, kRegActivate, 0x00},
    {8, kRegDirection, 0xFF},
    {8, kRegData, 0x00},
    {8, kRegInversion, 0x00},
    {9, kRegActivate, 0x00},
    {9, kRegDirection, 0xFF},
    {9, kRegData, 0x00},
    {9, kRegInversion, 0x00},
};

// Where each supply's pin sits and what routes it to its GPIO bit.
struct SupplyPin {
    UCHAR logicalDevice;
    UCHAR bit;
    UCHAR pinSelectRegister;
    UCHAR pinSelectBit;
};
constexpr SupplyPin kSupplyPins[] = {
    {8, 0x40, kRegPinSelect1, 0x04},
    {9, 0x10, kRegPinSelect2, 0x40},
};

// Reading 0xF1: output bits give the latch; input bits give the pin level XOR inversion.
// A supply pin reaches its bit only when its pin function is selected and its logical
// device is active; any other input bit reads as latch XOR inversion.
UCHAR ReadGpioData(const W83627& chip, UCHAR logicalDevice) {
    const UCHAR direction = StoredRegister(chip, logicalDevice, kRegDirection);
    const UCHAR latch = StoredRegister(chip, logicalDevice, kRegData);
    const UCHAR inversion = StoredRegister(chip, logicalDevice, kRegInversion);
    UCHAR inputs = latch;
    for (std::size_t supply = 0; supply < std::size(kSupplyPins); ++supply) {
        const auto& pin = kSupplyPins[supply];
        const bool routed =
            (StoredRegister(chip, kGlobal, pin.pinSelectRegister) & pin.pinSelectBit) != 0 &&
            (StoredRegister(chip, pin.logicalDevice, kRegActivate) & 0x01) != 0;
        if (pin.logicalDevice == logicalDevice && routed) {
            inputs = static_cast<UCHAR>(chip.supplyLevel[supply] ? (inputs | pin.bit)
                                                                 : (inputs & ~pin.bit));
        }
    }
    return static_cast<UCHAR>((latch & ~direction) | ((inputs ^ inversion) & direction));
}

}  // namespace

void ResetChip(W83627& chip, const ChipConfig& config) {
    const auto levels = chip.supplyLevel;
    chip = W83627{};
    chip.config = config;
    chip.supplyLevel = levels;
    for (const auto& entry : kPowerOnDefaults) {
        StoreRegister(chip, entry.logicalDevice, entry.reg, entry.value);
    }
}

UCHAR StoredRegister(const W83627& chip, UCHAR logicalDevice, UCHAR reg) {
    if (reg == kRegLogicalDevice) return chip.logicalDevice;
    if (reg == kRegChipId) return chip.config.chipId;
    if (reg == kRegRevision) return chip.config.revision;
    if (reg < kFirstDeviceRegister) return chip.global[reg];
    if (logicalDevice >= kLogicalDevices) return 0xFF;  // no such device: nothing drives the bus
    return chip.device[logicalDevice][reg];
}

void StoreRegister(W83627& chip, UCHAR logicalDevice, UCHAR reg, UCHAR value) {
    if (reg == kRegLogicalDevice) {
        chip.logicalDevice = value;
    } else if (reg == kRegChipId) {
        chip.config.chipId = value;
    } else if (reg == kRegRevision) {
        chip.config.revision = value;
    } else if (reg < kFirstDeviceRegister) {
        chip.global[reg] = value;
    } else if (logicalDevice < kLogicalDevices) {
        chip.device[logicalDevice][reg] = value;
    }
}

void WritePort(W83627& chip, bool data, UCHAR value) {
    if (!data) {
        if (!chip.configurationMode) {
            // Two enter keys in a row open configuration mode; anything else starts over.
            const bool second = chip.pendingEnterKey && value == kEnterKey;
            chip.pendingEnterKey = !second && value == kEnterKey;
            chip.configurationMode = second;
        } else if (value == kExitKey) {
            chip.configurationMode = false;
        } else {
            chip.index = value;
        }
        return;
    }
    if (!chip.configurationMode) return;
    if (chip.index == kRegChipId || chip.index == kRegRevision) return;  // read-only
    StoreRegister(chip, chip.logicalDevice, chip.index, value);
}

UCHAR ReadPort(const W83627& chip, bool data) {
    if (!chip.configurationMode) return 0xFF;  // the chip does not drive the bus
    if (!data) return chip.index;
    if (chip.index == kRegData && chip.logicalDevice < kLogicalDevices) {
        return ReadGpioData(chip, chip.logicalDevice);
    }
    return StoredRegister(chip, chip.logicalDevice, chip.index);
}

}  // namespace host::chip

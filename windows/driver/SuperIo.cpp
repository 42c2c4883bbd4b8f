// Super I/O controller access: the W83627 that carries both supplies' "good" pins.
//
// Resident code. The reads run at DISPATCH_LEVEL under the device's spin lock when a
// status request calls them, so they neither wait nor touch pageable memory. Every access
// to the chip goes through the few primitives below, one bus transaction each.
#include "RailwatchDrv.h"

// Configuration-mode keys, written to the index port. The chip wants the entry key twice
// in a row, so that a single stray write cannot open its configuration registers.
#define W83627_ENTER_KEY 0x87
#define W83627_EXIT_KEY 0xAA

#define W83627_CHIP_ID 0x52

// Global registers
#define W83627_REG_LOGICAL_DEVICE 0x07
#define W83627_REG_CHIP_ID 0x20
#define W83627_REG_CHIP_REVISION 0x21

// Registers of the selected logical device
#define W83627_REG_ACTIVATE 0x30
#define W83627_ACTIVATE_BIT 0x01
#define W83627_REG_GPIO_DIRECTION 0xF0  // a set bit makes the pin an input
#define W83627_REG_GPIO_DATA 0xF1
#define W83627_REG_GPIO_INVERSION 0xF2  // a set bit inverts the pin

// The two pairs where the chip may answer: the primary pair first, then the fallback pair.
struct SUPERIO_PAIR {
    USHORT IndexPort;
    USHORT DataPort;
};
static const SUPERIO_PAIR g_SuperIoPairs[] = {{0x2E, 0x2F}, {0x4E, 0x4F}};
#define SUPERIO_PAIR_COUNT (sizeof(g_SuperIoPairs) / sizeof(g_SuperIoPairs[0]))

// The pair on which a probe last found the chip: the reads address it, and the next probe
// tries it first. It moves only when a probe finds the chip, so a probe that misses (on
// wake, say) neither sends later reads to an empty pair, whose floating pins would read as
// "good", nor moves later probes away from where the chip sits. Zero until a probe has
// found the chip: until then there is nothing to read.
DRIVER_DATA LONG g_IndexPort = 0;
DRIVER_DATA LONG g_DataPort = 0;

// One entry per supply: the GPIO bit of its pin, and where the chip keeps that pin.
struct PWR_ENTRY {
    const WCHAR* Name;
    UCHAR GpioMask;
    UCHAR LogicalDevice;        // written to register 0x07
    UCHAR PinFunctionRegister;  // global multi-function pin selection
    UCHAR PinFunctionBit;
};

static const PWR_ENTRY g_PwrTable[] = {
    {WIDE_TEXT("PWR1"), 0x40, 8, 0x2B, 0x04},
    {WIDE_TEXT("PWR2"), 0x10, 9, 0x29, 0x40},
};

// ---------------------------------------------------------------------------------------
// Primitives: each is one register transaction on the pair it is given.
// ---------------------------------------------------------------------------------------
static void EnterConfiguration(USHORT indexPort) {
    WritePortByte(indexPort, W83627_ENTER_KEY);
    WritePortByte(indexPort, W83627_ENTER_KEY);
}

static void LeaveConfiguration(USHORT indexPort) { WritePortByte(indexPort, W83627_EXIT_KEY); }

static UCHAR ReadRegister(USHORT indexPort, USHORT dataPort, UCHAR reg) {
    WritePortByte(indexPort, reg);
    return ReadPortByte(dataPort);
}

static void WriteRegister(USHORT indexPort, USHORT dataPort, UCHAR reg, UCHAR value) {
    WritePortByte(indexPort, reg);
    WritePortByte(dataPort, value);
}

// Read-modify-write; the register is written back even when nothing changes.
static void UpdateRegister(USHORT indexPort, USHORT dataPort, UCHAR reg, UCHAR setBits,
                           UCHAR clearBits) {
    const UCHAR value = ReadRegister(indexPort, dataPort, reg);
    WriteRegister(indexPort, dataPort, reg, (UCHAR)((value | setBits) & ~clearBits));
}

// ---------------------------------------------------------------------------------------
// Detection
// ---------------------------------------------------------------------------------------

// One probe: enter, chip ID, revision (dropped), leave. Seven port accesses.
static UCHAR ProbeChipId(USHORT indexPort, USHORT dataPort) {
    EnterConfiguration(indexPort);
    const UCHAR chipId = ReadRegister(indexPort, dataPort, W83627_REG_CHIP_ID);
    (void)ReadRegister(indexPort, dataPort, W83627_REG_CHIP_REVISION);
    LeaveConfiguration(indexPort);
    return chipId;
}

// Probes one pair; when the chip answers there, the reads move to it. Runs under the
// device's spin lock, so the sequence never interleaves with a status request.
static BOOLEAN ProbeUnderLock(PDEVICE_EXTENSION DeviceExtension, const SUPERIO_PAIR* pair) {
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->m_SpinLock);
    const BOOLEAN found = ProbeChipId(pair->IndexPort, pair->DataPort) == W83627_CHIP_ID;
    if (found) {
        g_IndexPort = pair->IndexPort;
        g_DataPort = pair->DataPort;
    }
    KeReleaseSpinLock(&DeviceExtension->m_SpinLock, oldIrql);
    return found;
}

// Finds the controller: first on the pair where it was last found, then on the other one;
// before it has ever been found, on the primary pair, then on the fallback pair. When
// found, records it in m_ChipsetType and publishes "ChipsetType" under the service key.
// PASSIVE_LEVEL: the registry write happens after the spin lock is released.
BOOLEAN DetectSuperIo(PDEVICE_EXTENSION DeviceExtension) {
    const ULONG first = g_IndexPort == g_SuperIoPairs[1].IndexPort ? 1 : 0;
    BOOLEAN found = FALSE;
    for (ULONG tried = 0; tried < SUPERIO_PAIR_COUNT && !found; ++tried) {
        found =
            ProbeUnderLock(DeviceExtension, &g_SuperIoPairs[(first + tried) % SUPERIO_PAIR_COUNT]);
    }
    if (!found) {
        return FALSE;
    }
    DeviceExtension->m_ChipsetType = 1;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, DeviceExtension->m_RegistryPath.Buffer,
                          RAILWATCH_CHIPSET_TYPE_VALUE, REG_DWORD, &DeviceExtension->m_ChipsetType,
                          sizeof(ULONG));
    return DeviceExtension->m_ChipsetType != 0;
}

// ---------------------------------------------------------------------------------------
// Supply reads: 23 port accesses each.
// ---------------------------------------------------------------------------------------

// Whether a probe has found the chip since the driver was loaded; the supplies can only be
// read once one has. Later misses do not undo it: the chip is soldered to the board, and a
// probe that misses it meets a chip that is not ready yet.
BOOLEAN SuperIoChipKnown() { return g_IndexPort != 0; }

// Makes the supply's pin a plain, non-inverted input of an active logical device and
// returns its level, 1 or 0. Nothing here can fail: the result is the masked bit of
// whatever the data port gives. Callers read only a chip that SuperIoChipKnown.
static int ReadSupply(const PWR_ENTRY* supply) {
    const USHORT indexPort = (USHORT)g_IndexPort;
    const USHORT dataPort = (USHORT)g_DataPort;

    EnterConfiguration(indexPort);
    WriteRegister(indexPort, dataPort, W83627_REG_LOGICAL_DEVICE, supply->LogicalDevice);
    UpdateRegister(indexPort, dataPort, supply->PinFunctionRegister, supply->PinFunctionBit, 0);
    UpdateRegister(indexPort, dataPort, W83627_REG_ACTIVATE, W83627_ACTIVATE_BIT, 0);
    UpdateRegister(indexPort, dataPort, W83627_REG_GPIO_DIRECTION, supply->GpioMask, 0);
    UpdateRegister(indexPort, dataPort, W83627_REG_GPIO_INVERSION, 0, supply->GpioMask);
    const UCHAR data = ReadRegister(indexPort, dataPort, W83627_REG_GPIO_DATA);
    LeaveConfiguration(indexPort);

    return (data & supply->GpioMask) != 0 ? 1 : 0;
}

int ReadPwr1Status() { return ReadSupply(&g_PwrTable[0]); }

int ReadPwr2Status() { return ReadSupply(&g_PwrTable[1]); }

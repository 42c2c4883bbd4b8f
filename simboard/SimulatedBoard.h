// A simulated industrial PC with RailwatchDrv: BIOS image, W83627 position and supply
// levels, registry keys, the driver object, and the device nodes the bus presents.
//
// Tools, tests and benchmarks build one of these and then drive the real driver code
// through the simulated I/O, Plug and Play and power managers (host/Platform.h).
#pragma once

#include "BiosImages.h"
#include "host/Image.h"
#include "host/Platform.h"

#include <string>
#include <vector>

namespace simboard {

// The service key the system hands to DriverEntry when the service is named RailwatchDrv.
inline constexpr std::u16string_view kServiceKeyPath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RailwatchDrv";
inline constexpr std::u16string_view kLinkName = u"\\DosDevices\\RailwatchDrvDev";
inline constexpr std::u16string_view kDeviceName = u"\\Device\\RailwatchDrv";

struct BoardOptions {
    std::vector<std::uint8_t> bios = BuiltInBiosImage(BiosKind::Ami);
    USHORT superIoIndexPort = 0x2E;  // 0x2E, 0x4E, or 0 for no chip
    UCHAR chipId = 0x52;
    bool pwr1 = true;
    bool pwr2 = true;
    std::u16string registryPath{kServiceKeyPath};
    bool serviceKey = true;  // false: the fixed service key (and so the default path) is absent
    // A RailwatchDrv.sys to run instead of the built-in driver; empty for the built-in one.
    std::string driverImage;
    // The x64 RailwatchApi.dll that programs on the board call (ApiLibrary::Choose); empty:
    // the library built into the program.
    std::string apiImage;
};

// Makes the driver image fresh, as a new load of RailwatchDrv.sys would: every writable
// global of the driver takes again the value the driver's own initialiser gives it.
void ResetDriverImage();

class SimulatedBoard {
    using IoResult = host::IoResult;

  public:
    // Resets the platform and builds the board. Nothing of the driver has run yet. With a
    // driver image, the image is mapped here already: one that cannot be loaded throws
    // host::ImageError before anything runs.
    explicit SimulatedBoard(const BoardOptions& options = {});
    ~SimulatedBoard();
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    // DriverEntry: the built-in driver's, or the driver image's. Each load but the first
    // maps a fresh copy of the image (which may throw host::ImageError).
    NTSTATUS Load();
    NTSTATUS Add();  // a new device node from the bus, then AddDevice
    void Unload();   // DriverUnload; a driver image is unmapped after it
    IoResult Pnp(UCHAR minor);
    IoResult Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state, POWER_ACTION action);
    IoResult Start() { return Pnp(IRP_MN_START_DEVICE); }
    IoResult Remove() { return Pnp(IRP_MN_REMOVE_DEVICE); }

    // What Windows does at boot: load; when that succeeds, present the device node and
    // start it; a failed start is followed by removal. True when the device is started.
    bool Boot();

    void SetSupply(int supply, bool level) { host::SetSupplyLevel(supply, level); }
    // Moves the chip to another index port (0x2E, 0x4E), or takes it away (0); it answers
    // there as a freshly powered chip with the board's chip ID.
    void MoveChip(USHORT indexPort);

    DRIVER_OBJECT* Driver() const { return driver_; }
    DEVICE_OBJECT* PhysicalDevice() const { return pdo_; }  // the latest device node
    DEVICE_OBJECT* Device() const;                          // the driver's device, or NULL
    bool Loaded() const { return loaded_; }

  private:
    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* pdo_ = nullptr;
    bool loaded_ = false;
    std::u16string registryPath_;
    UCHAR chipId_;
    std::string imagePath_;                     // empty: the built-in driver
    std::unique_ptr<host::LoadedImage> image_;  // mapped from construction or load to unload
    bool imageEntered_ = false;                 // image_'s DriverEntry ran
};

}  // namespace simboard

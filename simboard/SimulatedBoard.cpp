#include "SimulatedBoard.h"

#include "RailwatchDrv.h"

#include <algorithm>
#include <cstring>
#include <vector>

// The range of the driver's writable globals (DRIVER_DATA), marked by the linker.
extern "C" char __start_railwatch_driver_data[];
extern "C" char __stop_railwatch_driver_data[];

namespace simboard {
namespace {

// The driver's globals as the image defines them, copied before any driver code has run.
const std::vector<char>& LoadTimeDriverData() {
    static const std::vector<char> data(__start_railwatch_driver_data,
                                        __stop_railwatch_driver_data);
    return data;
}

// Taken while the program starts: the driver's globals have static initialisers only, so
// they still hold their load-time values then.
[[maybe_unused]] const bool kLoadTimeDriverDataTaken = !LoadTimeDriverData().empty();

// Registry key paths compare without regard to case.
bool SameKeyPath(std::u16string_view a, std::u16string_view b) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

}  // namespace

void ResetDriverImage() {
    const auto& loadTime = LoadTimeDriverData();
    std::memcpy(__start_railwatch_driver_data, loadTime.data(), loadTime.size());
}

SimulatedBoard::SimulatedBoard(const BoardOptions& options)
    : registryPath_(options.registryPath),
      chipId_(options.chipId),
      imagePath_(options.driverImage) {
    host::ResetPlatform();
    if (!imagePath_.empty()) {
        image_ = host::LoadImage(imagePath_, host::ImageKind::Driver);
    }
    ResetDriverImage();
    host::SetBiosImage(options.bios);
    MoveChip(options.superIoIndexPort);
    host::SetSupplyLevel(1, options.pwr1);
    host::SetSupplyLevel(2, options.pwr2);

    const bool pathIsServiceKey = SameKeyPath(registryPath_, kServiceKeyPath);
    if (options.serviceKey) {
        host::CreateRegistryKey(kServiceKeyPath);
    }
    if (!pathIsServiceKey) {
        host::CreateRegistryKey(registryPath_);
    }
    driver_ = host::CreateDriverObject(u"\\Driver\\RailwatchDrv");
}

SimulatedBoard::~SimulatedBoard() { host::DeleteDriverObject(driver_); }

void SimulatedBoard::MoveChip(USHORT indexPort) {
    host::ConfigureChip(host::ChipConfig{indexPort, chipId_, 0x41});
}

NTSTATUS SimulatedBoard::Load() {
    PDRIVER_INITIALIZE entry = DriverEntry;
    if (!imagePath_.empty()) {
        // Every DriverEntry runs in a copy of its own (the constructor's for the first): a
        // second load without an unload does not run the entry again in an image whose
        // INIT is gone.
        if (!image_ || imageEntered_) image_ = host::LoadImage(imagePath_, host::ImageKind::Driver);
        imageEntered_ = true;
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(image_->EntryPoint());
    }
    const NTSTATUS status = host::CallDriverEntry(driver_, entry, registryPath_);
    loaded_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS SimulatedBoard::Add() {
    pdo_ = host::CreateBusDevice();
    return host::CallAddDevice(driver_, pdo_);
}

void SimulatedBoard::Unload() {
    host::CallDriverUnload(driver_);
    image_.reset();
    imageEntered_ = false;
    loaded_ = false;
}

host::IoResult SimulatedBoard::Pnp(UCHAR minor) { return host::SendPnp(pdo_, minor); }

host::IoResult SimulatedBoard::Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state,
                                     POWER_ACTION action) {
    return host::SendPower(pdo_, minor, type, state, action);
}

DEVICE_OBJECT* SimulatedBoard::Device() const { return host::FindDevice(kDeviceName); }

bool SimulatedBoard::Boot() {
    if (!NT_SUCCESS(Load())) {
        return false;
    }
    if (!NT_SUCCESS(Add())) {
        return false;
    }
    if (!NT_SUCCESS(Start().status)) {
        Remove();
        return false;
    }
    return true;
}

}  // namespace simboard

#include "SimulatedBoard.h"

#include "RailwatchDrv.h"

#include <algorithm>

namespace simboard {
namespace {

// Registry key paths compare without regard to case.
bool SameKeyPath(std::u16string_view a, std::u16string_view b) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

}  // namespace

void ResetDriverImage() {
    g_RegistryPath = UNICODE_STRING{0, 0, nullptr};
    g_IndexPort = 0x2E;
    g_DataPort = 0x2F;
    g_ChipIndexPort = 0x2E;
    g_ChipDataPort = 0x2F;
}

SimulatedBoard::SimulatedBoard(const BoardOptions& options) : registryPath_(options.registryPath) {
    host::ResetPlatform();
    ResetDriverImage();
    host::SetBiosImage(options.bios);
    host::ConfigureChip(host::ChipConfig{options.superIoIndexPort, options.chipId, 0x41});
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

NTSTATUS SimulatedBoard::Load() {
    const NTSTATUS status = host::CallDriverEntry(driver_, DriverEntry, registryPath_);
    loaded_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS SimulatedBoard::Add() {
    pdo_ = host::CreateBusDevice();
    return host::CallAddDevice(driver_, pdo_);
}

void SimulatedBoard::Unload() {
    host::CallDriverUnload(driver_);
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

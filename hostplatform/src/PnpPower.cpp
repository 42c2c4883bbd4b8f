// The bus driver below the driver's device, and the requests of the Plug and Play and
// power managers.
//
// The bus driver owns the physical device objects (ROOT\SYSTEM\0000, 0001, ...). Like the
// root enumerator it answers only the Plug and Play requests that every driver must
// handle (start, stop and removal with their queries and cancels, surprise removal), with
// the status the test configured; every other Plug and Play request it completes with the
// status and information it finds in the request, so that what a driver above set before
// passing it down is what its sender sees. Power requests get the configured status. It
// completes at once, or returns STATUS_PENDING and completes the request a moment later
// from a thread of its own at DISPATCH_LEVEL, the way a DPC would. For power requests it
// relies on the drivers above having called PoStartNextPowerIrp before passing the request
// down; PoCallDriver reports a pass-down without it.
#include "Internal.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

using namespace host;

namespace {

struct Bus {
    std::mutex mutex;
    DRIVER_OBJECT* driver = nullptr;
    std::vector<std::pair<DEVICE_OBJECT*, std::u16string>> devices;  // PDO, instance path
    BusBehaviour pnp;
    BusBehaviour power;
    std::vector<BusRequest> requests;
    // Requests finished later; a jthread joins when destroyed, also at process exit.
    std::vector<std::jthread> completions;
};

Bus& State() {
    static Bus state;
    return state;
}

void Complete(IRP* irp, const BusBehaviour& behaviour) {
    irp->IoStatus.Status = behaviour.status;
    irp->IoStatus.Information = behaviour.information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// The Plug and Play requests that every driver must handle, the bus driver included.
bool BusAnswers(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return true;
        default:
            return false;
    }
}

NTSTATUS NTAPI BusDispatch(DEVICE_OBJECT* DeviceObject, IRP* Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(Irp);
    BusBehaviour behaviour;
    {
        std::lock_guard lock(State().mutex);
        State().requests.push_back({location->MajorFunction, location->MinorFunction});
        behaviour = location->MajorFunction == IRP_MJ_POWER ? State().power : State().pnp;
    }
    if (location->MajorFunction == IRP_MJ_PNP && !BusAnswers(location->MinorFunction)) {
        behaviour.status = Irp->IoStatus.Status;
        behaviour.information = Irp->IoStatus.Information;
    }
    if (!behaviour.pending) {
        Complete(Irp, behaviour);
        return behaviour.status;
    }
    IoMarkIrpPending(Irp);
    std::jthread completion([Irp, behaviour] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        SetCurrentIrql(DISPATCH_LEVEL);
        Complete(Irp, behaviour);
        SetCurrentIrql(PASSIVE_LEVEL);
    });
    std::lock_guard lock(State().mutex);
    State().completions.push_back(std::move(completion));
    return STATUS_PENDING;
}

DRIVER_OBJECT* BusDriver() {
    {
        std::lock_guard lock(State().mutex);
        if (State().driver != nullptr) {
            return State().driver;
        }
    }
    DRIVER_OBJECT* driver = CreateDriverObject(u"\\Driver\\Root");
    driver->MajorFunction[IRP_MJ_PNP] = BusDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = BusDispatch;
    std::lock_guard lock(State().mutex);
    State().driver = driver;
    return driver;
}

bool IsBusDevice(const DEVICE_OBJECT* device) {
    std::lock_guard lock(State().mutex);
    for (const auto& [pdo, path] : State().devices) {
        if (pdo == device) {
            return true;
        }
    }
    return false;
}

// A request of the PnP or power manager: new IRP, status preset to STATUS_NOT_SUPPORTED,
// sent to the top of the stack, completion awaited.
template <typename Prepare>
IoResult SendToStack(DEVICE_OBJECT* physicalDeviceObject, UCHAR major, UCHAR minor,
                     const Prepare& prepare) {
    detail::SchedulePoint();
    if (!IsBusDevice(physicalDeviceObject)) {
        AddReport(ReportKind::Object, "request for a device that the bus did not report");
        return {STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE, 0};
    }
    DEVICE_OBJECT* top = detail::TopOfStack(physicalDeviceObject);
    IRP* irp = detail::AllocateIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IO_STACK_LOCATION* location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->MinorFunction = minor;
    prepare(*location);
    const IoResult result = detail::SendAndWait(top, irp);
    detail::FreeIrp(irp);
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Kernel routines
// ---------------------------------------------------------------------------------------

void NTAPI PoStartNextPowerIrp(IRP* Irp) {
    detail::EnterRoutine("PoStartNextPowerIrp");
    // Marks the location of the calling driver: the one its dispatch routine got, also
    // when it has skipped it already.
    IO_STACK_LOCATION* location = detail::DispatchingLocation(Irp);
    if (location == nullptr && Irp->CurrentLocation <= Irp->StackCount) {
        location = IoGetCurrentIrpStackLocation(Irp);
    }
    if (location == nullptr) {
        AddReport(ReportKind::Power, "PoStartNextPowerIrp on a request no driver holds");
        return;
    }
    detail::MarkPowerStarted(Irp, location);
}

NTSTATUS NTAPI PoCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp) {
    detail::EnterRoutine("PoCallDriver");
    // The location of the driver passing the request on: the one its dispatch routine got
    // (whether it skipped it or copied it to the next), else the current one.
    IO_STACK_LOCATION* from = detail::DispatchingLocation(Irp);
    if (from == nullptr && Irp->CurrentLocation <= Irp->StackCount) {
        from = IoGetCurrentIrpStackLocation(Irp);
    }
    if (from != nullptr && !detail::PowerStarted(Irp, from)) {
        AddReport(ReportKind::Power, "power request passed down without PoStartNextPowerIrp first");
    }
    return IofCallDriver(DeviceObject, Irp);
}

// ---------------------------------------------------------------------------------------
// Control surface
// ---------------------------------------------------------------------------------------

namespace host {

DEVICE_OBJECT* CreateBusDevice() {
    DRIVER_OBJECT* driver = BusDriver();
    DEVICE_OBJECT* device = detail::CreatePhysicalDevice(driver);
    std::lock_guard lock(State().mutex);
    char path[32];
    std::snprintf(path, sizeof path, "ROOT\\SYSTEM\\%04zu", State().devices.size());
    State().devices.emplace_back(device, detail::Widen(path));
    return device;
}

std::u16string InstancePath(DEVICE_OBJECT* physicalDeviceObject) {
    std::lock_guard lock(State().mutex);
    for (const auto& [pdo, path] : State().devices) {
        if (pdo == physicalDeviceObject) {
            return path;
        }
    }
    return {};
}

void SetBusPnpBehaviour(const BusBehaviour& behaviour) {
    std::lock_guard lock(State().mutex);
    State().pnp = behaviour;
}

void SetBusPowerBehaviour(const BusBehaviour& behaviour) {
    std::lock_guard lock(State().mutex);
    State().power = behaviour;
}

std::vector<BusRequest> BusRequests() {
    std::lock_guard lock(State().mutex);
    return State().requests;
}

IoResult SendPnp(DEVICE_OBJECT* physicalDeviceObject, UCHAR minor) {
    return SendToStack(physicalDeviceObject, IRP_MJ_PNP, minor, [](IO_STACK_LOCATION&) {});
}

IoResult SendPower(DEVICE_OBJECT* physicalDeviceObject, UCHAR minor, POWER_STATE_TYPE type,
                   ULONG state, POWER_ACTION action) {
    return SendToStack(physicalDeviceObject, IRP_MJ_POWER, minor, [&](IO_STACK_LOCATION& location) {
        if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
            return;
        }
        location.Parameters.Power.Type = type;
        if (type == SystemPowerState) {
            location.Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        } else {
            location.Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        }
        location.Parameters.Power.ShutdownType = action;
    });
}

namespace detail {

void ResetBus() {
    std::vector<std::jthread> completions;
    {
        std::lock_guard lock(State().mutex);
        completions.swap(State().completions);
    }
    for (auto& completion : completions) {
        completion.join();
    }
    std::lock_guard lock(State().mutex);
    State().driver = nullptr;  // the driver objects' reset frees it
    State().devices.clear();
    State().pnp = {};
    State().power = {};
    State().requests.clear();
}

}  // namespace detail
}  // namespace host

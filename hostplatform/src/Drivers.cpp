// Driver objects and the calls the kernel makes into a driver: its entry, AddDevice and
// unload.
//
// A driver object starts with every major function routed to the kernel's default
// handler. The registry path handed to the entry lives in a heap block of exactly its
// length that is freed when the entry returns, so a driver that keeps the pointer instead
// of copying the text is caught by the address sanitizer.
#include "Internal.h"
#include "host/Image.h"

#include <memory>
#include <mutex>
#include <set>

using namespace host;

namespace {

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
};

struct Drivers {
    std::mutex mutex;
    std::set<std::unique_ptr<DriverRecord>> records;
};

Drivers& State() {
    static Drivers state;
    return state;
}

constexpr CSHORT kDriverObjectType = 4;  // the object type a driver object carries in Type

// What the kernel does with a request that a driver installed no routine for.
NTSTATUS NTAPI DefaultDispatch(DEVICE_OBJECT* DeviceObject, IRP* Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The kernel calls into a driver only at PASSIVE_LEVEL and expects it back there. A driver
// image that faulted did not come back at all: the machine stopped.
void CheckReturnedAtPassive(const char* routine) {
    if (!MachineStopped() && KeGetCurrentIrql() != PASSIVE_LEVEL) {
        AddReport(ReportKind::Irql, std::string(routine) + " returned above PASSIVE_LEVEL");
    }
}

}  // namespace

namespace host {

DRIVER_OBJECT* CreateDriverObject(std::u16string_view name) {
    detail::RegisterIoSide();
    auto record = std::make_unique<DriverRecord>();
    record->name = name;
    DRIVER_OBJECT& driver = record->object;
    driver.Type = kDriverObjectType;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &record->extension;
    record->extension.DriverObject = &driver;
    driver.DriverName.Buffer = record->name.data();
    driver.DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    driver.DriverName.MaximumLength = driver.DriverName.Length;
    for (auto& routine : driver.MajorFunction) {
        routine = DefaultDispatch;
    }
    std::lock_guard lock(State().mutex);
    return &State().records.insert(std::move(record)).first->get()->object;
}

void DeleteDriverObject(DRIVER_OBJECT* driver) {
    std::unique_ptr<DriverRecord> released;
    std::lock_guard lock(State().mutex);
    auto& records = State().records;
    const auto found = std::find_if(records.begin(), records.end(), [driver](const auto& record) {
        return &record->object == driver;
    });
    if (found == records.end()) {
        AddReport(ReportKind::Object, "DeleteDriverObject on an unknown driver object");
        return;
    }
    if (driver->DeviceObject != nullptr) {
        AddReport(ReportKind::Object, "driver object deleted while it still owns device objects");
    }
    released = std::move(records.extract(found).value());
}

NTSTATUS CallDriverEntry(DRIVER_OBJECT* driver, PDRIVER_INITIALIZE entry,
                         std::u16string_view registryPath) {
    const std::size_t characters = registryPath.size();
    auto text = std::make_unique<WCHAR[]>(characters);
    std::copy(registryPath.begin(), registryPath.end(), text.get());
    UNICODE_STRING path{};
    path.Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    path.MaximumLength = path.Length;
    path.Buffer = text.get();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CallImageCode(&status, entry, driver, &path);
    // Windows discards an image's INIT section once its entry returned.
    detail::DiscardInitOfImageAt(reinterpret_cast<const void*>(entry));
    CheckReturnedAtPassive("DriverEntry");
    return status;
}

void CallDriverUnload(DRIVER_OBJECT* driver) {
    if (driver->DriverUnload != nullptr) {
        CallImageCodeNoResult(driver->DriverUnload, driver);
        CheckReturnedAtPassive("DriverUnload");
    }
}

NTSTATUS CallAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDeviceObject) {
    if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CallImageCode(&status, driver->DriverExtension->AddDevice, driver, physicalDeviceObject);
    CheckReturnedAtPassive("AddDevice");
    return status;
}

namespace detail {

void ResetDrivers() {
    std::set<std::unique_ptr<DriverRecord>> released;
    std::lock_guard lock(State().mutex);
    released.swap(State().records);
}

}  // namespace detail
}  // namespace host

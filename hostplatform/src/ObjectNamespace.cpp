// The object namespace: device objects and their names, symbolic links, device
// interfaces and device stacks.
//
// Device objects and their extensions are separate heap blocks of exactly the asked size,
// so a driver that runs past its extension or keeps using a deleted device is caught by
// the address sanitizer. A deleted device keeps its memory while open files still refer
// to it, as on Windows; the last reference frees it.
#include "Internal.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

using namespace host;

namespace {

constexpr std::align_val_t kExtensionAlignment{16};
constexpr CSHORT kDeviceObjectType = 3;  // the object type a device object carries in Type

struct ExtensionDeleter {
    void operator()(void* extension) const { ::operator delete(extension, kExtensionAlignment); }
};

struct DeviceRecord {
    std::unique_ptr<DEVICE_OBJECT> object;
    std::unique_ptr<void, ExtensionDeleter> extension;
    ULONG extensionSize = 0;
    std::u16string name;
    bool bus = false;
    bool deleted = false;
    DEVICE_OBJECT* attachedTo = nullptr;  // the device below in the stack
    unsigned references = 1;              // existence plus open files
};

struct Link {
    std::u16string name;
    std::u16string target;
};

struct Interface {
    std::u16string name;
    DEVICE_OBJECT* physicalDevice;
    bool enabled;
};

struct Namespace {
    std::mutex mutex;
    std::map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> devices;
    std::vector<Link> links;
    std::vector<Interface> interfaces;
};

Namespace& State() {
    static Namespace state;
    return state;
}

// "\DosDevices\X" and "\??\X" name the same link.
std::u16string CanonicalLinkName(std::u16string_view name) {
    constexpr std::u16string_view kDosDevices = u"\\DosDevices\\";
    if (name.size() >= kDosDevices.size() &&
        detail::EqualsIgnoreCase(name.substr(0, kDosDevices.size()), kDosDevices)) {
        return u"\\??\\" + std::u16string(name.substr(kDosDevices.size()));
    }
    return std::u16string(name);
}

// The caller holds the namespace lock.
DeviceRecord* FindRecord(const DEVICE_OBJECT* device) {
    const auto found = State().devices.find(device);
    return found == State().devices.end() ? nullptr : found->second.get();
}

DeviceRecord* FindLiveByName(std::u16string_view name) {
    for (auto& [object, record] : State().devices) {
        if (!record->deleted && !record->name.empty() &&
            detail::EqualsIgnoreCase(record->name, name)) {
            return record.get();
        }
    }
    return nullptr;
}

std::vector<Link>::iterator FindLink(std::u16string_view name) {
    const auto canonical = CanonicalLinkName(name);
    auto& links = State().links;
    return std::find_if(links.begin(), links.end(), [&](const Link& link) {
        return detail::EqualsIgnoreCase(CanonicalLinkName(link.name), canonical);
    });
}

std::vector<Interface>::iterator FindInterface(std::u16string_view name) {
    auto& interfaces = State().interfaces;
    return std::find_if(interfaces.begin(), interfaces.end(), [&](const Interface& entry) {
        return detail::EqualsIgnoreCase(entry.name, name);
    });
}

DEVICE_OBJECT* TopOfStackLocked(DEVICE_OBJECT* device) {
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

DEVICE_OBJECT* NewDevice(DRIVER_OBJECT* driver, ULONG extensionSize, std::u16string name,
                         ULONG type, ULONG characteristics, ULONG flags, bool bus) {
    auto record = std::make_unique<DeviceRecord>();
    record->object = std::make_unique<DEVICE_OBJECT>();
    if (extensionSize > 0) {
        record->extension.reset(::operator new(extensionSize, kExtensionAlignment));
        std::memset(record->extension.get(), 0, extensionSize);
    }
    record->extensionSize = extensionSize;
    record->name = std::move(name);
    record->bus = bus;
    DEVICE_OBJECT* device = record->object.get();
    device->Type = kDeviceObjectType;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->Flags = flags;
    device->Characteristics = characteristics;
    device->DeviceType = type;
    device->StackSize = 1;
    device->DeviceExtension = record->extension.get();
    device->NextDevice = driver->DeviceObject;  // newest first, like Windows
    driver->DeviceObject = device;
    State().devices.emplace(device, std::move(record));
    return device;
}

std::u16string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return detail::Widen(text);
}

bool ValidString(const UNICODE_STRING* string) {
    return string != nullptr && (string->Length == 0 || string->Buffer != nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Device objects
// ---------------------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(DRIVER_OBJECT* DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              DEVICE_OBJECT** DeviceObject) {
    NTSTATUS failure = STATUS_SUCCESS;
    if (detail::EnterRoutine("IoCreateDevice", &failure)) {
        return failure;
    }
    detail::RegisterIoSide();
    detail::RequireIrqlAtMost("IoCreateDevice", PASSIVE_LEVEL);
    if (DriverObject == nullptr || DeviceObject == nullptr ||
        (DeviceName != nullptr && !ValidString(DeviceName))) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string name = DeviceName != nullptr ? detail::ToU16(DeviceName) : u"";
    std::lock_guard lock(State().mutex);
    if (!name.empty() && FindLiveByName(name) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    // An exclusive device takes one open file at a time (the I/O manager checks the flag).
    const ULONG flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    *DeviceObject = NewDevice(DriverObject, DeviceExtensionSize, name, DeviceType,
                              DeviceCharacteristics, flags, false);
    return STATUS_SUCCESS;
}

void NTAPI IoDeleteDevice(DEVICE_OBJECT* DeviceObject) {
    detail::EnterRoutine("IoDeleteDevice");
    detail::RequireIrqlAtMost("IoDeleteDevice", PASSIVE_LEVEL);
    void* extension = nullptr;
    ULONG extensionSize = 0;
    {
        std::lock_guard lock(State().mutex);
        DeviceRecord* record = FindRecord(DeviceObject);
        if (record == nullptr || record->deleted) {
            AddReport(ReportKind::Object, record == nullptr
                                              ? "IoDeleteDevice on an unknown device object"
                                              : "IoDeleteDevice on a device deleted before");
            return;
        }
        if (DeviceObject->AttachedDevice != nullptr) {
            AddReport(ReportKind::Object,
                      "IoDeleteDevice while another device is still attached on top of it");
        }
        if (record->attachedTo != nullptr) {
            AddReport(ReportKind::Object,
                      "IoDeleteDevice on a device still attached to a lower device");
            if (FindRecord(record->attachedTo) != nullptr) {
                record->attachedTo->AttachedDevice = nullptr;
            }
            record->attachedTo = nullptr;
        }
        DRIVER_OBJECT* driver = DeviceObject->DriverObject;
        for (DEVICE_OBJECT** link = &driver->DeviceObject; *link != nullptr;
             link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
        DeviceObject->NextDevice = nullptr;
        record->deleted = true;
        extension = record->extension.get();
        extensionSize = record->extensionSize;
    }
    if (extension != nullptr) {
        detail::ForgetRemoveLocksIn(extension, extensionSize);
    }
    detail::DereferenceDevice(DeviceObject);
}

namespace host::detail {

DEVICE_OBJECT* CreatePhysicalDevice(DRIVER_OBJECT* busDriver) {
    RegisterIoSide();
    std::lock_guard lock(State().mutex);
    return NewDevice(busDriver, 0, u"", FILE_DEVICE_UNKNOWN, 0, 0, true);
}

bool DeviceIsLive(const DEVICE_OBJECT* device) {
    std::lock_guard lock(State().mutex);
    const DeviceRecord* record = FindRecord(device);
    return record != nullptr && !record->deleted;
}

void ReferenceDevice(DEVICE_OBJECT* device) {
    std::lock_guard lock(State().mutex);
    if (DeviceRecord* record = FindRecord(device)) {
        ++record->references;
    }
}

void DereferenceDevice(DEVICE_OBJECT* device) {
    std::unique_ptr<DeviceRecord> released;  // freed outside the lock
    std::lock_guard lock(State().mutex);
    const auto found = State().devices.find(device);
    if (found == State().devices.end()) {
        return;
    }
    if (--found->second->references == 0) {
        released = std::move(found->second);
        State().devices.erase(found);
    }
}

DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device) {
    std::lock_guard lock(State().mutex);
    return FindRecord(device) != nullptr ? TopOfStackLocked(device) : device;
}

DEVICE_OBJECT* OpenLinkTarget(std::u16string_view link, NTSTATUS* status) {
    std::lock_guard lock(State().mutex);
    DeviceRecord* record = nullptr;
    if (const auto found = FindLink(link); found != State().links.end()) {
        record = FindLiveByName(found->target);
    } else if (const auto entry = FindInterface(CanonicalLinkName(link));
               entry != State().interfaces.end() && entry->enabled) {
        record = FindRecord(entry->physicalDevice);
        if (record != nullptr && record->deleted) {
            record = nullptr;
        }
    }
    if (record == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    ++record->references;
    *status = STATUS_SUCCESS;
    return record->object.get();
}

void ResetObjectNamespace() {
    Namespace released;
    {
        std::lock_guard lock(State().mutex);
        released.devices.swap(State().devices);
        released.links.swap(State().links);
        released.interfaces.swap(State().interfaces);
    }
}

std::size_t CheckObjectNamespaceLeaks() {
    std::vector<std::string> leaks;
    {
        std::lock_guard lock(State().mutex);
        for (const auto& [object, record] : State().devices) {
            if (!record->bus && !record->deleted) {
                leaks.push_back(
                    "device object " +
                    (record->name.empty() ? std::string("(unnamed)") : Narrow(record->name)) +
                    " was never deleted");
            }
        }
        for (const auto& link : State().links) {
            leaks.push_back("symbolic link " + Narrow(link.name) + " was never deleted");
        }
        for (const auto& entry : State().interfaces) {
            const DeviceRecord* physical = FindRecord(entry.physicalDevice);
            const bool functionDriverGone = physical == nullptr || physical->deleted ||
                                            entry.physicalDevice->AttachedDevice == nullptr;
            if (entry.enabled && functionDriverGone) {
                leaks.push_back("device interface " + Narrow(entry.name) +
                                " is still enabled although its device is gone");
            }
        }
    }
    for (auto& leak : leaks) {
        AddReport(ReportKind::Object, std::move(leak));
    }
    return leaks.size();
}

}  // namespace host::detail

// ---------------------------------------------------------------------------------------
// Symbolic links
// ---------------------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    NTSTATUS failure = STATUS_SUCCESS;
    if (detail::EnterRoutine("IoCreateSymbolicLink", &failure)) {
        return failure;
    }
    detail::RegisterIoSide();
    detail::RequireIrqlAtMost("IoCreateSymbolicLink", PASSIVE_LEVEL);
    if (!ValidString(SymbolicLinkName) || !ValidString(DeviceName) ||
        SymbolicLinkName->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto name = detail::ToU16(SymbolicLinkName);
    std::lock_guard lock(State().mutex);
    if (FindLink(name) != State().links.end()) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    State().links.push_back({name, detail::ToU16(DeviceName)});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    NTSTATUS failure = STATUS_SUCCESS;
    if (detail::EnterRoutine("IoDeleteSymbolicLink", &failure)) {
        return failure;
    }
    detail::RequireIrqlAtMost("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    if (!ValidString(SymbolicLinkName)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto name = detail::ToU16(SymbolicLinkName);
    std::lock_guard lock(State().mutex);
    const auto found = FindLink(name);
    if (found == State().links.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    State().links.erase(found);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Device interfaces
// ---------------------------------------------------------------------------------------

NTSTATUS NTAPI IoRegisterDeviceInterface(DEVICE_OBJECT* PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
    NTSTATUS failure = STATUS_SUCCESS;
    if (detail::EnterRoutine("IoRegisterDeviceInterface", &failure)) {
        return failure;
    }
    detail::RequireIrqlAtMost("IoRegisterDeviceInterface", PASSIVE_LEVEL);
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr ||
        (ReferenceString != nullptr && !ValidString(ReferenceString))) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string instance = InstancePath(PhysicalDeviceObject);
    if (instance.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a device that the bus reported
    }
    std::u16string name = u"\\??\\" + instance + u"#" + GuidText(*InterfaceClassGuid);
    std::replace(name.begin() + 4, name.end(), u'\\', u'#');
    if (ReferenceString != nullptr && ReferenceString->Length > 0) {
        name += u"\\" + detail::ToU16(ReferenceString);
    }
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    auto* buffer = static_cast<WCHAR*>(
        detail::AllocatePlatformBlock(bytes + sizeof(WCHAR), kInterfaceNameTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = u'\0';
    {
        std::lock_guard lock(State().mutex);
        if (FindInterface(name) == State().interfaces.end()) {
            State().interfaces.push_back({name, PhysicalDeviceObject, false});
        }
    }
    SymbolicLinkName->Length = bytes;
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    SymbolicLinkName->Buffer = buffer;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    NTSTATUS failure = STATUS_SUCCESS;
    if (detail::EnterRoutine("IoSetDeviceInterfaceState", &failure)) {
        return failure;
    }
    detail::RequireIrqlAtMost("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
    if (!ValidString(SymbolicLinkName)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto name = detail::ToU16(SymbolicLinkName);
    std::lock_guard lock(State().mutex);
    const auto found = FindInterface(name);
    if (found == State().interfaces.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (Enable && found->enabled) {
        return STATUS_OBJECT_NAME_EXISTS;  // already enabled: a success-class status
    }
    found->enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Device stacks
// ---------------------------------------------------------------------------------------

DEVICE_OBJECT* NTAPI IoAttachDeviceToDeviceStack(DEVICE_OBJECT* SourceDevice,
                                                 DEVICE_OBJECT* TargetDevice) {
    if (detail::EnterRoutine("IoAttachDeviceToDeviceStack")) {
        return nullptr;
    }
    detail::RequireIrqlAtMost("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    std::lock_guard lock(State().mutex);
    DeviceRecord* source = FindRecord(SourceDevice);
    DeviceRecord* target = FindRecord(TargetDevice);
    if (source == nullptr || source->deleted || target == nullptr || target->deleted) {
        AddReport(ReportKind::Object, "IoAttachDeviceToDeviceStack with a device that is not live");
        return nullptr;
    }
    if (source->attachedTo != nullptr) {
        AddReport(ReportKind::Object,
                  "IoAttachDeviceToDeviceStack: the device is attached already");
        return nullptr;
    }
    DEVICE_OBJECT* below = TopOfStackLocked(TargetDevice);
    below->AttachedDevice = SourceDevice;
    source->attachedTo = below;
    SourceDevice->StackSize = static_cast<char>(below->StackSize + 1);
    return below;
}

void NTAPI IoDetachDevice(DEVICE_OBJECT* TargetDevice) {
    detail::EnterRoutine("IoDetachDevice");
    detail::RequireIrqlAtMost("IoDetachDevice", PASSIVE_LEVEL);
    std::lock_guard lock(State().mutex);
    DeviceRecord* target = FindRecord(TargetDevice);
    if (target == nullptr || TargetDevice->AttachedDevice == nullptr) {
        AddReport(ReportKind::Object, "IoDetachDevice on a device with nothing attached");
        return;
    }
    if (DeviceRecord* attached = FindRecord(TargetDevice->AttachedDevice)) {
        attached->attachedTo = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
}

// ---------------------------------------------------------------------------------------
// Control surface
// ---------------------------------------------------------------------------------------

namespace host {

DEVICE_OBJECT* FindDevice(std::u16string_view name) {
    std::lock_guard lock(State().mutex);
    DeviceRecord* record = FindLiveByName(name);
    return record != nullptr ? record->object.get() : nullptr;
}

std::size_t LiveDeviceCount() {
    std::lock_guard lock(State().mutex);
    return static_cast<std::size_t>(std::count_if(
        State().devices.begin(), State().devices.end(),
        [](const auto& entry) { return !entry.second->bus && !entry.second->deleted; }));
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link) {
    std::lock_guard lock(State().mutex);
    const auto found = FindLink(link);
    if (found == State().links.end()) {
        return std::nullopt;
    }
    return found->target;
}

std::vector<std::u16string> SymbolicLinks() {
    std::lock_guard lock(State().mutex);
    std::vector<std::u16string> names;
    for (const auto& link : State().links) {
        names.push_back(link.name);
    }
    return names;
}

std::vector<InterfaceRecord> Interfaces() {
    std::lock_guard lock(State().mutex);
    std::vector<InterfaceRecord> records;
    for (const auto& entry : State().interfaces) {
        records.push_back({entry.name, entry.enabled});
    }
    return records;
}

}  // namespace host

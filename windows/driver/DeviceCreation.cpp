// Device creation: the device object, its link, its device interface and the
// "InterfaceName" value, and the undo of each of them.
//
// Resident code, PASSIVE_LEVEL: AddDevice runs whenever a device node is presented.
#include "RailwatchDrv.h"

// {3CAB894E-068A-4A17-B784-008A72A7CB30}
const GUID GUID_DEVINTERFACE_SUPPLY_STATUS = {
    0x3CAB894E, 0x068A, 0x4A17, {0xB7, 0x84, 0x00, 0x8A, 0x72, 0xA7, 0xCB, 0x30}};

// The kernel's interface name begins "\??\"; its Win32 form begins "\\.\". The second and
// third characters are the ones that differ.
static void ToWin32DevicePath(PWSTR name, USHORT maximumLength) {
    if (maximumLength >= 3 * sizeof(WCHAR)) {
        name[1] = WIDE_TEXT('\\');
        name[2] = WIDE_TEXT('.');
    }
}

// Publishes the interface's Win32 path as "InterfaceName" under the fixed service key:
// exactly MaximumLength bytes, the name first and zero bytes after it.
static NTSTATUS PublishInterfaceName(PUNICODE_STRING interfaceName) {
    const USHORT length = interfaceName->MaximumLength;
    PWSTR win32Name = (PWSTR)ExAllocatePoolWithTag(PagedPool, length, RAILWATCH_TAG_INTERFACE_NAME);
    if (win32Name == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(win32Name, length);
    RtlCopyMemory(win32Name, interfaceName->Buffer, interfaceName->Length);
    ToWin32DevicePath(win32Name, length);

    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, RAILWATCH_SERVICE_KEY,
                          RAILWATCH_INTERFACE_NAME_VALUE, REG_SZ, win32Name, length);
    ExFreePoolWithTag(win32Name, 0);
    return STATUS_SUCCESS;
}

// Releases the interface name that registration allocated, once; the string is left empty.
static void ReleaseInterfaceName(PDEVICE_EXTENSION deviceExtension) {
    RtlFreeUnicodeString(&deviceExtension->m_InterfaceName);
    deviceExtension->m_InterfaceName.Length = 0;
    deviceExtension->m_InterfaceName.MaximumLength = 0;
    deviceExtension->m_InterfaceName.Buffer = NULL;
}

void DeleteDeviceLink() {
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, RAILWATCH_LINK_NAME);
    (void)IoDeleteSymbolicLink(&linkName);
}

// Disables the device interface and releases its name. A failed disable still releases
// the name, which is never used again.
void DisableDeviceInterface(PDEVICE_EXTENSION DeviceExtension) {
    if (DeviceExtension->m_InterfaceName.Buffer != NULL) {
        (void)IoSetDeviceInterfaceState(&DeviceExtension->m_InterfaceName, FALSE);
        ReleaseInterfaceName(DeviceExtension);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, RAILWATCH_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, RAILWATCH_LINK_NAME);

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    RtlZeroMemory(deviceExtension, sizeof(DEVICE_EXTENSION));
    deviceExtension->m_pPhysicalDeviceObject = PhysicalDeviceObject;
    deviceExtension->m_pDeviceObject = deviceObject;
    deviceObject->Flags |= DO_POWER_PAGABLE;
    deviceObject->Flags |= DO_DIRECT_IO;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(deviceObject);
        return status;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SUPPLY_STATUS, NULL,
                                       &deviceExtension->m_InterfaceName);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Failed to IoRegisterDeviceInterface - 0x%X.\n\n", (ULONG)status);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(deviceObject);
        return status;
    }

    status = PublishInterfaceName(&deviceExtension->m_InterfaceName);
    if (!NT_SUCCESS(status)) {
        ReleaseInterfaceName(deviceExtension);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(deviceObject);
        return status;
    }
    DbgPrint("Registered interface name: L\"%wZ\".\n\n", &deviceExtension->m_InterfaceName);

    // The path copy lives inside the extension: 130 characters at most, then a NUL.
    deviceExtension->m_RegistryPath.Length = 0;
    deviceExtension->m_RegistryPath.MaximumLength = RAILWATCH_REGISTRY_PATH_BYTES;
    deviceExtension->m_RegistryPath.Buffer = deviceExtension->m_RegistryPathBuffer;
    RtlCopyUnicodeString(&deviceExtension->m_RegistryPath, &g_RegistryPath);

    KeInitializeSpinLock(&deviceExtension->m_SpinLock);
    IoInitializeRemoveLockEx(&deviceExtension->m_RemoveLock, RAILWATCH_TAG_REGISTRY_PATH, 1, 10,
                             sizeof(IO_REMOVE_LOCK));

    deviceExtension->m_pNextLowerDriver =
        IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (deviceExtension->m_pNextLowerDriver == NULL) {
        // Without a device below, no request could be passed down: undo and refuse.
        ReleaseInterfaceName(deviceExtension);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

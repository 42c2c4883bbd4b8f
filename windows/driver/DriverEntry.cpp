// Driver entry, dispatch table and unload; opens and closes of the device.
//
// DriverEntry runs once at load (PASSIVE_LEVEL) and is discarded afterwards; it refuses
// the load unless the BIOS image shows one of the boards this driver serves.
// DispatchCreateClose and DriverUnload are pageable and run at PASSIVE_LEVEL.
#include "RailwatchDrv.h"

// Copy of the service key path given at load, NUL-terminated; AddDevice copies it into
// each device. Written at load, freed at unload.
DRIVER_DATA UNICODE_STRING g_RegistryPath = {0, 0, NULL};

#define BANNER_LINE "////////////////////////////////////////////////////////////////////"

extern "C" INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                PUNICODE_STRING RegistryPath) {
    DbgPrint(BANNER_LINE "\n");
    DbgPrint("// Railwatch:     ------------> DriverEntry! ------------>     //\n");
    DbgPrint(BANNER_LINE "\n");
    DbgPrint("DriverObject=0x%p, RegistryPath=\"%wZ\".\n\n", (PVOID)DriverObject, RegistryPath);

    // One wide character more than the path, for the terminating NUL.
    g_RegistryPath.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    g_RegistryPath.Length = RegistryPath->Length;
    g_RegistryPath.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, g_RegistryPath.MaximumLength,
                                                         RAILWATCH_TAG_REGISTRY_PATH);
    if (g_RegistryPath.Buffer == NULL) {
        DbgPrint("Failed to allocate %u bytes memory from paged pool.\n",
                 (ULONG)g_RegistryPath.MaximumLength);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&g_RegistryPath, RegistryPath);

    if (!CheckValidBoard()) {
        DbgPrint("CheckValidBoard Failed!!!\n\n\n");
        ExFreePoolWithTag(g_RegistryPath.Buffer, 0);
        g_RegistryPath.Buffer = NULL;
        return STATUS_UNSUCCESSFUL;
    }

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;

    DbgPrint(BANNER_LINE "\n");
    DbgPrint("// Railwatch:     <------------ DriverEntry status = %X  <------------ //\n", 0);
    DbgPrint(BANNER_LINE "\n\n\n");
    return STATUS_SUCCESS;
}

// Every open and every close succeeds; nothing is looked at.
PAGEABLE_CODE NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Releases the path copy and removes any device object that Plug and Play left behind.
PAGEABLE_CODE void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    if (g_RegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(g_RegistryPath.Buffer, 0);
        g_RegistryPath.Buffer = NULL;
    }

    PDEVICE_OBJECT deviceObject = DriverObject->DeviceObject;
    while (deviceObject != NULL) {
        PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
        DeleteDeviceLink();
        DisableDeviceInterface(deviceExtension);
        if (deviceExtension->m_pNextLowerDriver != NULL) {
            IoDetachDevice(deviceExtension->m_pNextLowerDriver);
        }
        PDEVICE_OBJECT nextDevice = deviceObject->NextDevice;
        IoDeleteDevice(deviceExtension->m_pDeviceObject);
        deviceObject = nextDevice;
    }
}

// Plug and Play requests.
//
// Resident code, PASSIVE_LEVEL, except OnRequestComplete which may run at DISPATCH_LEVEL
// and only signals an event. Every request goes to the lower driver: most are passed down
// and left to it; the start and the two cancels are forwarded, waited for and completed
// here. Removal first drains the status requests in progress through the remove lock.
#include "RailwatchDrv.h"

// Finishes a request that has no device below to go to (device creation refuses a device
// without one, so this is a safety net) with the status it carries.
NTSTATUS CompleteWithoutLowerDevice(PIRP Irp) {
    const NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Hands the request to the lower driver and forgets it.
static NTSTATUS PassDown(PDEVICE_EXTENSION deviceExtension, PIRP Irp) {
    if (deviceExtension->m_pNextLowerDriver == NULL) {
        return CompleteWithoutLowerDevice(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(deviceExtension->m_pNextLowerDriver, Irp);
}

// Completes a request that the driver holds again after forwarding it.
static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status) {
    (void)IoSetCancelRoutine(Irp, NULL);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return CompleteRequest(Irp, StartDevice(deviceExtension, Irp));

        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(deviceExtension, Irp);

        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            // A cancel always succeeds here, whatever the lower driver made of it.
            (void)ForwardIrpSynchronous(deviceExtension->m_pNextLowerDriver, Irp);
            return CompleteRequest(Irp, STATUS_SUCCESS);

        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_CAPABILITIES:
        case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        case IRP_MN_SURPRISE_REMOVAL:
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(deviceExtension, Irp);

        default:
            return PassDown(deviceExtension, Irp);
    }
}

// The lower driver starts the device first; then the controller is probed and the device
// interface enabled. A lower failure does not fail the start; a missing controller does.
NTSTATUS StartDevice(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    NTSTATUS status = ForwardIrpSynchronous(DeviceExtension->m_pNextLowerDriver, Irp);
    if (!NT_SUCCESS(status)) {
        status = STATUS_SUCCESS;
    }

    if (!DetectSuperIo(DeviceExtension)) {
        return STATUS_UNSUCCESSFUL;
    }

    if (DeviceExtension->m_InterfaceName.Buffer != NULL) {
        status = IoSetDeviceInterfaceState(&DeviceExtension->m_InterfaceName, TRUE);
    }
    return status;
}

// Takes the device out of service. Status requests in progress finish first and later
// ones are refused; the request goes down exactly once, and the device is detached and
// deleted whatever the lower driver or the interface state said. Returns STATUS_SUCCESS,
// or STATUS_PENDING while the lower driver has not finished the request yet: the PnP
// manager must then wait for its completion rather than take the request back.
NTSTATUS RemoveDevice(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    if (NT_SUCCESS(IoAcquireRemoveLockEx(&DeviceExtension->m_RemoveLock, Irp, "", 1,
                                         sizeof(IO_REMOVE_LOCK)))) {
        IoReleaseRemoveLockAndWaitEx(&DeviceExtension->m_RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    }

    DeleteDeviceLink();
    DisableDeviceInterface(DeviceExtension);

    PDEVICE_OBJECT lowerDevice = DeviceExtension->m_pNextLowerDriver;
    PDEVICE_OBJECT deviceObject = DeviceExtension->m_pDeviceObject;
    const NTSTATUS lowerStatus = PassDown(DeviceExtension, Irp);

    if (lowerDevice != NULL) {
        IoDetachDevice(lowerDevice);
    }
    if (deviceObject != NULL) {
        IoDeleteDevice(deviceObject);
    }
    return lowerStatus == STATUS_PENDING ? STATUS_PENDING : STATUS_SUCCESS;
}

// Sends the request down and waits until the lower driver has finished it; the request
// then belongs to the caller again, who must complete it.
NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == NULL) {
        return STATUS_INVALID_PARAMETER_1;
    }
    if (Irp == NULL) {
        return STATUS_INVALID_PARAMETER_2;
    }

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnRequestComplete, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// Completion routine of a forwarded request: wake the waiting thread and stop the
// completion, so the forwarding routine gets the request back.
NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

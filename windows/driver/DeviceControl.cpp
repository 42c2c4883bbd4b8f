// Status requests: IRP_MJ_DEVICE_CONTROL with one control code per supply.
//
// Resident code. Runs in the requesting thread, any number at once. The remove lock is
// taken first, then the spin lock, under which the codes and lengths are tested and the
// controller is read; a request that fails a test causes no port access. The request is
// completed here, with neither lock held, and never pends. Until a probe has found the
// chip, a well-formed request is refused as not ready, also without port access.
#include "RailwatchDrv.h"

typedef int (*READ_SUPPLY_ROUTINE)();

// The read routine of a supply's control code, or NULL for any other code.
static READ_SUPPLY_ROUTINE SupplyReadRoutine(ULONG ioControlCode) {
    switch (ioControlCode) {
        case IOCTL_GET_PWR1_STATUS:
            return ReadPwr1Status;
        case IOCTL_GET_PWR2_STATUS:
            return ReadPwr2Status;
        default:
            return NULL;
    }
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    NTSTATUS status =
        IoAcquireRemoveLockEx(&deviceExtension->m_RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
        // The device is being removed: refuse without touching the controller.
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->m_SpinLock);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;

    // The code is tested first, then both lengths, then the buffer, then whether the chip is
    // known; the controller last.
    const READ_SUPPLY_ROUTINE readSupply = SupplyReadRoutine(ioControlCode);
    if (readSupply != NULL &&
        (inputLength < RAILWATCH_EXCHANGE_LENGTH || outputLength < RAILWATCH_EXCHANGE_LENGTH)) {
        // Information carries the size needed.
        status = STATUS_BUFFER_TOO_SMALL;
        Irp->IoStatus.Information = RAILWATCH_EXCHANGE_LENGTH;
    } else if (readSupply == NULL || buffer == NULL) {
        // An unknown code; or no buffer to answer into, where a success status with 2 bytes
        // to return would have the I/O manager copy out of a null buffer.
        status = STATUS_INVALID_PARAMETER;
    } else if (!SuperIoChipKnown()) {
        // No probe has found the chip yet: an empty pair's floating pins would read as
        // "good". The request waits for a start that finds the chip; it never probes.
        status = STATUS_DEVICE_NOT_READY;
    } else {
        buffer[RAILWATCH_EXCHANGE_STATE_BYTE] = (UCHAR)readSupply();
        status = STATUS_SUCCESS;
        Irp->IoStatus.Information = RAILWATCH_EXCHANGE_LENGTH;
    }

    KeReleaseSpinLock(&deviceExtension->m_SpinLock, oldIrql);
    IoReleaseRemoveLockEx(&deviceExtension->m_RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));

    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Power requests: every one goes down to the bus driver.
//
// Resident code, PASSIVE_LEVEL (the device is DO_POWER_PAGABLE). Before a system
// set-power request goes down, both supply states are latched (sleep to a sleeping state,
// or any hibernation), or the controller is probed again (sleep action back to the
// working state). The latched values serve the debug messages only.
#include "RailwatchDrv.h"

// Reads both supplies into the extension, each read under the spin lock so that it never
// interleaves with a status request's sequence. Before a probe has found the chip there is
// nothing to read, and the latched values stay as they are.
static void LatchSupplyStates(PDEVICE_EXTENSION deviceExtension) {
    if (!SuperIoChipKnown()) {
        return;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->m_SpinLock);
    deviceExtension->m_PWR1Status = (UCHAR)ReadPwr1Status();
    KeReleaseSpinLock(&deviceExtension->m_SpinLock, oldIrql);

    oldIrql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->m_SpinLock);
    deviceExtension->m_PWR2Status = (UCHAR)ReadPwr2Status();
    KeReleaseSpinLock(&deviceExtension->m_SpinLock, oldIrql);
}

static void PrintSupplyStates(PCSTR format, PDEVICE_EXTENSION deviceExtension) {
    DbgPrint(format, (ULONG)deviceExtension->m_PWR1Status, (ULONG)deviceExtension->m_PWR2Status);
}

static BOOLEAN IsSleepingState(SYSTEM_POWER_STATE state) {
    return state == PowerSystemSleeping1 || state == PowerSystemSleeping2 ||
           state == PowerSystemSleeping3;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == SystemPowerState) {
        const POWER_ACTION action = stack->Parameters.Power.ShutdownType;
        const SYSTEM_POWER_STATE state = stack->Parameters.Power.State.SystemState;

        if (action == PowerActionSleep && IsSleepingState(state)) {
            LatchSupplyStates(deviceExtension);
            PrintSupplyStates("System Stand by:\n m_PWR1Status = 0x%X \n m_PWR2Status = 0x%X \n\n",
                              deviceExtension);
        } else if (action == PowerActionSleep && state == PowerSystemWorking) {
            (void)DetectSuperIo(deviceExtension);
            PrintSupplyStates(
                "Resume from Hibernate: \n m_PWR1Status = 0x%X \n m_PWR2Status = 0x%X \n\n",
                deviceExtension);
        } else if (action == PowerActionHibernate) {
            LatchSupplyStates(deviceExtension);
            PrintSupplyStates("Hibernate:\n m_PWR1Status = 0x%X \n m_PWR2Status = 0x%X \n\n",
                              deviceExtension);
        }
    }

    return PassDownPowerIrp(DeviceObject, Irp);
}

// Lets the power manager send the next power request, then hands this one down unchanged.
NTSTATUS PassDownPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PoStartNextPowerIrp(Irp);
    if (deviceExtension->m_pNextLowerDriver == NULL) {
        return CompleteWithoutLowerDevice(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(deviceExtension->m_pNextLowerDriver, Irp);
}

// RailwatchDrv: the device extension, the device's names, the control codes and the
// routines that the driver's files share.
//
// Kernel mode, WDM. The driver keeps everything it knows about its one device in
// DEVICE_EXTENSION; driver-wide state is the service key path copy and the Super I/O
// port pair where the chip was last found.
#pragma once

#include "KernelServices.h"

// ---------------------------------------------------------------------------------------
// Names and identifiers of the device
// ---------------------------------------------------------------------------------------
#define RAILWATCH_DEVICE_NAME WIDE_TEXT("\\Device\\RailwatchDrv")
#define RAILWATCH_LINK_NAME WIDE_TEXT("\\DosDevices\\RailwatchDrvDev")
#define RAILWATCH_SERVICE_KEY \
    WIDE_TEXT("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RailwatchDrv")
#define RAILWATCH_CHIPSET_TYPE_VALUE WIDE_TEXT("ChipsetType")
#define RAILWATCH_INTERFACE_NAME_VALUE WIDE_TEXT("InterfaceName")

// {3CAB894E-068A-4A17-B784-008A72A7CB30}
extern const GUID GUID_DEVINTERFACE_SUPPLY_STATUS;

// ---------------------------------------------------------------------------------------
// Control codes: one per supply, a 2-byte buffer both ways; byte 1 carries the state.
// ---------------------------------------------------------------------------------------
#define IOCTL_GET_PWR1_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x911, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_PWR2_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x912, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_GET_PWR1_STATUS == 0x222444, "control code of PWR1");
static_assert(IOCTL_GET_PWR2_STATUS == 0x222448, "control code of PWR2");

// The exchange buffer: byte 0 is the caller's, byte 1 receives the supply state.
#define RAILWATCH_EXCHANGE_LENGTH 2
#define RAILWATCH_EXCHANGE_STATE_BYTE 1

// ---------------------------------------------------------------------------------------
// Pool tags
// ---------------------------------------------------------------------------------------
#define RAILWATCH_TAG_REGISTRY_PATH 0x524F4953  // "SIOR": the path copy and the remove lock
#define RAILWATCH_TAG_BOARD_WINDOW 0x426B6843   // "ChkB": board-validation window copy
#define RAILWATCH_TAG_INTERFACE_NAME 1          // the "InterfaceName" buffer

// ---------------------------------------------------------------------------------------
// The device extension
// ---------------------------------------------------------------------------------------
// Room for 130 wide characters of the service key path and a terminating NUL.
#define RAILWATCH_REGISTRY_PATH_BYTES 260
#define RAILWATCH_REGISTRY_PATH_STORAGE_CHARS (RAILWATCH_REGISTRY_PATH_BYTES / 2 + 1)

struct DEVICE_EXTENSION {
    PDEVICE_OBJECT m_pDeviceObject;
    PDEVICE_OBJECT m_pNextLowerDriver;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    IO_REMOVE_LOCK m_RemoveLock;
    KSPIN_LOCK m_SpinLock;
    UNICODE_STRING m_RegistryPath;
    ULONG m_ChipsetType;
    UCHAR m_PWR1Status;
    UCHAR m_PWR2Status;
    UNICODE_STRING m_InterfaceName;
    WCHAR m_RegistryPathBuffer[RAILWATCH_REGISTRY_PATH_STORAGE_CHARS];
};
typedef DEVICE_EXTENSION* PDEVICE_EXTENSION;
static_assert(sizeof(((DEVICE_EXTENSION*)0)->m_RegistryPathBuffer) ==
                  RAILWATCH_REGISTRY_PATH_BYTES + sizeof(WCHAR),
              "the inline path buffer holds 130 characters and a NUL");

// ---------------------------------------------------------------------------------------
// Driver-wide state
// ---------------------------------------------------------------------------------------
extern UNICODE_STRING g_RegistryPath;  // copy of the service key path given at load
extern LONG g_IndexPort;  // pair on which a probe last found the chip, 0 before; the reads
extern LONG g_DataPort;   // use it, and a probe tries it first

// ---------------------------------------------------------------------------------------
// Routines
// ---------------------------------------------------------------------------------------
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Device teardown, shared by removal, unload and the failure paths of device creation
void DeleteDeviceLink();
void DisableDeviceInterface(PDEVICE_EXTENSION DeviceExtension);

// Board validation
BOOLEAN CheckValidBoard();
BOOLEAN ComparePhysicalMemory(ULONG PhysicalAddress, const char* Expected, SIZE_T Length);
BOOLEAN FindStringInPhysicalWindow(ULONG PhysicalAddress, const char* Needle);

// Super I/O controller access
BOOLEAN DetectSuperIo(PDEVICE_EXTENSION DeviceExtension);
BOOLEAN SuperIoChipKnown();
int ReadPwr1Status();
int ReadPwr2Status();

// Plug and Play and power
NTSTATUS StartDevice(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS RemoveDevice(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS PassDownPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CompleteWithoutLowerDevice(PIRP Irp);

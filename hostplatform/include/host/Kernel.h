// Kernel services as the driver sees them on the host.
//
// The driver is written once and compiled both against the Windows kernel headers and
// against this file. Everything here carries the name and the fields that the driver
// code uses, so the driver's text is the same in both builds. Structures that a driver
// touches have the Windows x64 layout (offsets and sizes asserted against
// WindowsX64Layouts.h), and every kernel routine and callback uses the Windows x64
// calling convention, so that the platform runs a host-built driver and a loaded driver
// image alike. The implementations live in hostplatform/src and double as a verifier:
// misuse that the Windows kernel would punish (wrong IRQL, a request completed twice, a
// leaked pool block, an unbalanced remove lock, ...) is collected as a report (see
// Platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------------------
using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using CHAR = char;
using CCHAR = char;
using CSHORT = std::int16_t;
using WCHAR = char16_t;
using PVOID = void*;
using PCSTR = const char*;
using PCHAR = char*;
using PUCHAR = UCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PULONG = ULONG*;
using NTSTATUS = std::int32_t;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;
using KPRIORITY = LONG;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
// The Windows x64 calling convention, which a loaded driver image calls and expects.
#if defined(__x86_64__)
#define NTAPI __attribute__((ms_abi))
#else
#define NTAPI
#endif
#ifndef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#endif

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

using PHYSICAL_ADDRESS = LARGE_INTEGER;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};

// ---------------------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------------------
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_ALL_ZEROS ((NTSTATUS)0x00000117L)
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)

// ---------------------------------------------------------------------------------------
// IRQL
// ---------------------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

KIRQL NTAPI KeGetCurrentIrql();

// Pageable code announces itself; running it above APC_LEVEL is reported.
void HostCheckPagedCode(const char* routine);
#define PAGED_CODE() HostCheckPagedCode(__func__)

// ---------------------------------------------------------------------------------------
// Major and minor function codes, flags, control codes
// ---------------------------------------------------------------------------------------
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define IO_NO_INCREMENT 0

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// ---------------------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------------------
enum SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
};

enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5
};

enum POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved = 1,
    PowerActionSleep = 2,
    PowerActionHibernate = 3,
    PowerActionShutdown = 4,
    PowerActionShutdownReset = 5,
    PowerActionShutdownOff = 6,
    PowerActionWarmEject = 7
};

enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 };

union POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
};

enum KPROCESSOR_MODE_VALUES { KernelMode = 0, UserMode = 1 };
using KPROCESSOR_MODE = char;

// ---------------------------------------------------------------------------------------
// Objects (Windows x64 layouts; fields that no driver uses keep their room only)
// ---------------------------------------------------------------------------------------
struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;
struct FILE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PIRP = IRP*;
using PFILE_OBJECT = FILE_OBJECT*;

using DRIVER_DISPATCH = NTSTATUS NTAPI(DEVICE_OBJECT* DeviceObject, IRP* Irp);
using PDRIVER_DISPATCH = DRIVER_DISPATCH*;
using DRIVER_UNLOAD = void NTAPI(DRIVER_OBJECT* DriverObject);
using PDRIVER_UNLOAD = DRIVER_UNLOAD*;
using DRIVER_ADD_DEVICE = NTSTATUS NTAPI(DRIVER_OBJECT* DriverObject,
                                         DEVICE_OBJECT* PhysicalDeviceObject);
using PDRIVER_ADD_DEVICE = DRIVER_ADD_DEVICE*;
using DRIVER_INITIALIZE = NTSTATUS NTAPI(DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
using PDRIVER_INITIALIZE = DRIVER_INITIALIZE*;
using IO_COMPLETION_ROUTINE = NTSTATUS NTAPI(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);
using PIO_COMPLETION_ROUTINE = IO_COMPLETION_ROUTINE*;
using DRIVER_CANCEL = void NTAPI(DEVICE_OBJECT* DeviceObject, IRP* Irp);
using PDRIVER_CANCEL = DRIVER_CANCEL*;
using DRIVER_STARTIO = void NTAPI(DEVICE_OBJECT* DeviceObject, IRP* Irp);
using PDRIVER_STARTIO = DRIVER_STARTIO*;

struct DRIVER_EXTENSION {
    DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
};

struct DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    DEVICE_OBJECT* DeviceObject;  // head of the driver's device list
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    DRIVER_EXTENSION* DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

// Dispatcher objects start with this header; an event is nothing more.
struct DISPATCHER_HEADER {
    UCHAR Type;  // the EVENT_TYPE of an event
    UCHAR Reserved[3];
    LONG SignalState;  // accessed atomically by the host
    LIST_ENTRY WaitListHead;
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;

struct DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    DRIVER_OBJECT* DriverObject;
    DEVICE_OBJECT* NextDevice;      // next in the driver's device list
    DEVICE_OBJECT* AttachedDevice;  // the device attached on top of this one
    IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;
    alignas(8) UCHAR Queue[72];
    ULONG AlignmentRequirement;
    alignas(8) UCHAR DeviceQueue[40];
    alignas(8) UCHAR Dpc[64];
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
};

struct FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    DEVICE_OBJECT* DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    alignas(8) UCHAR Rest[176];  // section pointers, flags, name, offsets, locks, ...
};

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    // Every parameter starts on a pointer boundary.
    union {
        struct {
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            ULONG SystemContext;
            alignas(8) POWER_STATE_TYPE Type;
            alignas(8) POWER_STATE State;
            alignas(8) POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

// A request. Its StackCount stack locations follow it in memory, the lowest driver's
// first; CurrentLocation counts them from 1 and stands at StackCount + 1 before the
// first driver sees the request, when CurrentStackLocation points just past the last.
struct IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    IO_STATUS_BLOCK* UserIosb;
    KEVENT* UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            IO_STACK_LOCATION* CurrentStackLocation;
            FILE_OBJECT* OriginalFileObject;
        } Overlay;
        alignas(8) UCHAR Apc[88];
        PVOID CompletionKey;
    } Tail;
};

// The request helpers that the toolchain's headers define inline: a driver image carries
// these very steps in its own code, so the host build does them the same way.
inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSkipCurrentIrpStackLocation(IRP* Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoSetNextIrpStackLocation(IRP* Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
// Copies everything before the completion routine; the next driver's Control starts empty.
inline void IoCopyCurrentIrpStackLocationToNext(IRP* Irp) {
    IO_STACK_LOCATION* current = IoGetCurrentIrpStackLocation(Irp);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(static_cast<void*>(next), current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline void IoSetCompletionRoutine(IRP* Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control = SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline void IoMarkIrpPending(IRP* Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(IRP* Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

NTSTATUS NTAPI IofCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp);
void NTAPI IofCompleteRequest(IRP* Irp, CCHAR PriorityBoost);
#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest
void NTAPI PoStartNextPowerIrp(IRP* Irp);
NTSTATUS NTAPI PoCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp);

// ---------------------------------------------------------------------------------------
// Devices, links, interfaces, device stacks
// ---------------------------------------------------------------------------------------
NTSTATUS NTAPI IoCreateDevice(DRIVER_OBJECT* DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              DEVICE_OBJECT** DeviceObject);
void NTAPI IoDeleteDevice(DEVICE_OBJECT* DeviceObject);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTSTATUS NTAPI IoRegisterDeviceInterface(DEVICE_OBJECT* PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName);
NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
DEVICE_OBJECT* NTAPI IoAttachDeviceToDeviceStack(DEVICE_OBJECT* SourceDevice,
                                                 DEVICE_OBJECT* TargetDevice);
void NTAPI IoDetachDevice(DEVICE_OBJECT* TargetDevice);

// ---------------------------------------------------------------------------------------
// Synchronisation
// ---------------------------------------------------------------------------------------
inline void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0 };

void NTAPI KeInitializeEvent(KEVENT* Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(KEVENT* Event, KPRIORITY Increment, BOOLEAN Wait);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     LARGE_INTEGER* Timeout);

// A remove lock as a free build of Windows lays it out: IoCount starts at 1 (the lock's
// own reference); Removed is set by release-and-wait, after which every acquire fails
// with STATUS_DELETE_PENDING. The platform keeps the rest (tags, watermarks) beside it.
struct IO_REMOVE_LOCK_COMMON_BLOCK {
    BOOLEAN Removed;
    BOOLEAN Reserved[3];
    LONG IoCount;
    KEVENT RemoveEvent;
};
struct IO_REMOVE_LOCK {
    IO_REMOVE_LOCK_COMMON_BLOCK Common;
};
using PIO_REMOVE_LOCK = IO_REMOVE_LOCK*;

void NTAPI IoInitializeRemoveLockEx(IO_REMOVE_LOCK* Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize);
NTSTATUS NTAPI IoAcquireRemoveLockEx(IO_REMOVE_LOCK* RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize);
void NTAPI IoReleaseRemoveLockEx(IO_REMOVE_LOCK* RemoveLock, PVOID Tag, ULONG RemlockSize);
void NTAPI IoReleaseRemoveLockAndWaitEx(IO_REMOVE_LOCK* RemoveLock, PVOID Tag, ULONG RemlockSize);

// ---------------------------------------------------------------------------------------
// Pool, physical memory, registry, strings, debug output
// ---------------------------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheType);
void NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

#define RTL_REGISTRY_ABSOLUTE 0
#define REG_NONE 0
#define REG_SZ 1
#define REG_DWORD 4
NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength);

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))

// printf conversions plus %wZ (a counted wide string); %p prints 16 upper-case hex digits.
ULONG NTAPI DbgPrint(PCSTR Format, ...);

// ---------------------------------------------------------------------------------------
// Port I/O: one byte in or out, delivered to the simulated ISA bus.
// ---------------------------------------------------------------------------------------
void HostPortWriteByte(USHORT Port, UCHAR Value);
UCHAR HostPortReadByte(USHORT Port);

// The host platform's control surface, for tests, tools and benchmarks.
//
// Kernel.h is what the driver sees; this file is what a test sees: it builds the
// simulated machine (BIOS image, Super I/O chip, registry keys, bus devices), sends the
// requests that the I/O, Plug and Play and power managers would send, injects failures,
// and reads back what happened (debug text, port trace, pool, devices, verifier reports).
// The platform is one machine per process; ResetPlatform() starts a new one.
#pragma once

#include "host/Kernel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// ---------------------------------------------------------------------------------------
// The whole machine
// ---------------------------------------------------------------------------------------

// Forgets everything: devices, links, interfaces, registry, pool, mappings, BIOS image,
// chip state and trace, faults, debug text, reports, schedule stress. The chip answers at
// 0x2E/0x2F with ID 0x52 and both supplies good; the BIOS image is all 0xFF.
void ResetPlatform();

// True once code in a loaded Windows image faulted (host/Image.h): the machine stopped as a
// bug check stops Windows. No image code runs any more; ResetPlatform starts a new machine.
bool MachineStopped();

// ---------------------------------------------------------------------------------------
// Verifier
// ---------------------------------------------------------------------------------------
enum class ReportKind {
    Irql,        // a routine ran at an IRQL it must not run at (paged code, pool, waits, registry)
    Pool,        // leaked block, unknown free, wrong pool use
    Irp,         // completed twice, never completed, completed with a lock held
    RemoveLock,  // release with a tag never acquired, unbalanced counts
    SpinLock,    // recursive acquire, release by a non-owner, lock order
    Mapping,     // mapping outside the BIOS ROM, unmap that matches no live mapping, mapping left
    Object,      // devices, links, interfaces misused or left behind
    Power,       // PoStartNextPowerIrp missing before a pass-down
    Interleave,  // a Super I/O configuration sequence interleaved with another thread's
    ImageFault,  // image code faulted (privileged instruction, access violation, ...)
};

struct Report {
    ReportKind kind;
    std::string text;
};

const char* ReportKindName(ReportKind kind);
void AddReport(ReportKind kind, std::string text);
std::vector<Report> Reports();
void ClearReports();
std::string FormatReports();  // one report a line: "<kind>: <text>"

// Checks what must be gone once the driver is unloaded: pool blocks (by tag), mappings,
// device objects, symbolic links, enabled interfaces, interface-name buffers. Each
// leftover becomes a report; returns the number of reports added.
std::size_t CheckForLeaks();

// ---------------------------------------------------------------------------------------
// Fault injection and schedule stress
// ---------------------------------------------------------------------------------------

// Failable routines: ExAllocatePoolWithTag, MmMapIoSpace, IoCreateDevice,
// IoCreateSymbolicLink, IoDeleteSymbolicLink, IoRegisterDeviceInterface,
// IoSetDeviceInterfaceState, IoAttachDeviceToDeviceStack, RtlWriteRegistryValue,
// GlobalAlloc, CreateFileA.
const std::vector<std::string>& FailableRoutines();

// Makes the nth call (counted from 1 since the last reset) of the routine fail. A failed
// call returns NULL, FALSE or INVALID_HANDLE_VALUE as the routine does, or `status` (when
// 0, the routine's usual failure: STATUS_INSUFFICIENT_RESOURCES for creations and
// registrations, STATUS_OBJECT_NAME_NOT_FOUND for deletions, STATUS_UNSUCCESSFUL else).
void FailCall(std::string_view routine, unsigned nth = 1, NTSTATUS status = 0);
void ClearFaults();
// Calls the driver (or library) made to the routine since the last reset.
unsigned CallCount(std::string_view routine);

// With a seed, every platform call yields or sleeps a short pseudo-random time first.
void EnableScheduleStress(std::uint64_t seed);
void DisableScheduleStress();

// ---------------------------------------------------------------------------------------
// IRQL of the calling thread (tests that simulate a caller at DISPATCH_LEVEL)
// ---------------------------------------------------------------------------------------
void SetCurrentIrql(KIRQL irql);

// ---------------------------------------------------------------------------------------
// Remove locks: what the platform keeps beside a lock's Windows layout
// ---------------------------------------------------------------------------------------
// The highest IoCount an acquisition reached since the lock was initialised (0 for a lock
// the platform does not know).
LONG RemoveLockHighestIoCount(const IO_REMOVE_LOCK* lock);

// ---------------------------------------------------------------------------------------
// Debug output
// ---------------------------------------------------------------------------------------
std::string DebugText();  // everything DbgPrint printed since the last clear, concatenated
void ClearDebugText();

// ---------------------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------------------
struct PoolBlock {
    const void* address;
    std::size_t size;
    ULONG tag;
    POOL_TYPE type;
};
// Interface-name buffers that IoRegisterDeviceInterface allocates for the driver show up
// with this tag; RtlFreeUnicodeString releases them.
constexpr ULONG kInterfaceNameTag = 0x6D4E6649;  // "IfNm"
std::vector<PoolBlock> OutstandingPool();
std::size_t OutstandingPoolWithTag(ULONG tag);
std::uint64_t PoolAllocationCount();  // successful ExAllocatePoolWithTag calls
// Every block those calls returned, in order, freed or not (the address may be stale).
std::vector<PoolBlock> PoolAllocations();

// ---------------------------------------------------------------------------------------
// Physical memory: a 64 KiB BIOS image at 0xF0000-0xFFFFF
// ---------------------------------------------------------------------------------------
constexpr std::uint64_t kBiosBase = 0xF0000;
constexpr std::size_t kBiosSize = 0x10000;
void SetBiosImage(const std::vector<std::uint8_t>& image);  // exactly kBiosSize bytes
// Any mapping that overlaps the range fails.
void MarkUnmappable(std::uint64_t physical, std::size_t length);
struct Mapping {
    std::uint64_t physical;
    std::size_t length;
    const void* base;
};
std::vector<Mapping> LiveMappings();
// Successful MmMapIoSpace calls; CallCount("MmMapIoSpace") counts every attempt. A
// mapping that is not wholly inside the BIOS ROM is reported (ReportKind::Mapping) and
// fails; one that overlaps an unmappable range just fails.
std::uint64_t MappingCount();

// ---------------------------------------------------------------------------------------
// Registry (key paths match case-insensitively and keep the spelling they were made with)
// ---------------------------------------------------------------------------------------
void CreateRegistryKey(std::u16string_view path);
struct RegistryValue {
    std::u16string key;
    std::u16string name;
    ULONG type;
    std::vector<std::uint8_t> data;
};
std::optional<RegistryValue> FindRegistryValue(std::u16string_view key, std::u16string_view name);
std::vector<RegistryValue> RegistryValues();
// One value a line: `KEY\NAME REG_DWORD 0x00000001` or `KEY\NAME REG_SZ <bytes> "text"`.
std::string DumpRegistry();

// ---------------------------------------------------------------------------------------
// Object namespace
// ---------------------------------------------------------------------------------------
DEVICE_OBJECT* FindDevice(std::u16string_view name);
std::size_t LiveDeviceCount();  // driver-created device objects not yet deleted
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);
std::vector<std::u16string> SymbolicLinks();
struct InterfaceRecord {
    std::u16string symbolicLink;  // "\??\ROOT#SYSTEM#0000#{...}"
    bool enabled;
};
std::vector<InterfaceRecord> Interfaces();

// ---------------------------------------------------------------------------------------
// Drivers
// ---------------------------------------------------------------------------------------
// A driver object whose MajorFunction entries all hold the default handler, which
// completes a request with STATUS_INVALID_DEVICE_REQUEST.
DRIVER_OBJECT* CreateDriverObject(std::u16string_view name);
void DeleteDriverObject(DRIVER_OBJECT* driver);
// Calls the entry with a counted copy of the path that lives only during the call.
NTSTATUS CallDriverEntry(DRIVER_OBJECT* driver, PDRIVER_INITIALIZE entry,
                         std::u16string_view registryPath);
void CallDriverUnload(DRIVER_OBJECT* driver);
NTSTATUS CallAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDeviceObject);

// ---------------------------------------------------------------------------------------
// The bus driver below the driver's device
// ---------------------------------------------------------------------------------------
struct BusBehaviour {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool pending = false;  // return STATUS_PENDING and complete later from another thread
};
// A new physical device object with the instance path ROOT\SYSTEM\000N (N from 0).
DEVICE_OBJECT* CreateBusDevice();
std::u16string InstancePath(DEVICE_OBJECT* physicalDeviceObject);
// For Plug and Play, the status and information apply to the requests that every driver
// must handle (start, query-remove, remove, cancel-remove, stop, query-stop, cancel-stop,
// surprise removal); the bus completes any other with what it finds in the request.
void SetBusPnpBehaviour(const BusBehaviour& behaviour);
void SetBusPowerBehaviour(const BusBehaviour& behaviour);
// Requests the bus driver has seen, newest last (major, minor).
struct BusRequest {
    UCHAR major;
    UCHAR minor;
};
std::vector<BusRequest> BusRequests();

// ---------------------------------------------------------------------------------------
// The I/O, Plug and Play and power managers
// ---------------------------------------------------------------------------------------
struct IoResult {
    NTSTATUS returned;  // what the top driver's dispatch routine returned
    NTSTATUS status;    // IoStatus.Status once the request completed
    ULONG_PTR information;
};

// Opens by link name ("\DosDevices\X" or "\??\X"): IRP_MJ_CREATE to the top of the
// device's stack. Returns NULL with the status when there is no such link or device, the
// device is still initialising, the device is exclusive and a file is open on it already
// (STATUS_ACCESS_DENIED, the driver never sees the request), or the driver refused the open.
FILE_OBJECT* OpenFile(std::u16string_view linkName, NTSTATUS* status);
// IRP_MJ_CLEANUP then IRP_MJ_CLOSE; returns the close's status.
NTSTATUS CloseFile(FILE_OBJECT* file);
// A buffered device-control request: one system buffer of the larger length, the input
// copied in, Information bytes copied out on a success-class status. With
// withSystemBuffer false the request carries no system buffer at all. A file whose
// device has been deleted fails with STATUS_NO_SUCH_DEVICE without reaching the driver.
IoResult DeviceControl(FILE_OBJECT* file, ULONG code, const void* input, ULONG inputLength,
                       void* output, ULONG outputLength, bool withSystemBuffer = true);
// The same request sent straight to a device object (no handle).
IoResult DeviceControlTo(DEVICE_OBJECT* device, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, bool withSystemBuffer = true);

// A PnP request to the top of the physical device's stack, the way the PnP manager sends
// it: new IRP, status preset to STATUS_NOT_SUPPORTED, completion awaited.
IoResult SendPnp(DEVICE_OBJECT* physicalDeviceObject, UCHAR minor);
// A power request to the top of the stack; for IRP_MN_SET_POWER and IRP_MN_QUERY_POWER the
// type, state and action fill Parameters.Power.
IoResult SendPower(DEVICE_OBJECT* physicalDeviceObject, UCHAR minor, POWER_STATE_TYPE type,
                   ULONG state, POWER_ACTION action);

// ---------------------------------------------------------------------------------------
// Port I/O and the W83627 on the simulated ISA bus
// ---------------------------------------------------------------------------------------
struct ChipConfig {
    USHORT indexPort = 0x2E;  // 0x2E, 0x4E, or 0 for no chip at all
    UCHAR chipId = 0x52;
    UCHAR revision = 0x41;
};
void ConfigureChip(const ChipConfig& config);  // also resets the chip's registers
// Supply 1 or 2: the level of its input pin.
void SetSupplyLevel(int supply, bool level);
// A register of the chip as it stands (ldn 0xFF for a global register).
UCHAR ChipRegister(UCHAR logicalDevice, UCHAR reg);
void SetChipRegister(UCHAR logicalDevice, UCHAR reg, UCHAR value);

struct PortAccess {
    unsigned thread;  // small per-process thread number, 0 for the first thread seen
    USHORT port;
    bool write;
    UCHAR value;
};
std::vector<PortAccess> PortTrace();
void ClearPortTrace();
void SetPortTraceEnabled(bool enabled);  // counting goes on while disabled
std::uint64_t PortAccessCount();
// "out 0x2E 0x87" / "in 0x2F 0x52"
std::string FormatPortAccess(const PortAccess& access);

}  // namespace host

// What the host platform's own files share and nobody else sees.
#pragma once

#include "host/Platform.h"

#include <functional>
#include <string>

namespace host::detail {

// Every routine that the driver or the library calls begins with EnterRoutine: it counts
// the call, takes a schedule point (schedule stress) and tells whether an injected fault
// makes this call fail; `failureStatus` then holds the status to fail with (the routine's
// usual failure when the test gave none). Routines that cannot fail ignore the result.
bool EnterRoutine(const char* routine, NTSTATUS* failureStatus = nullptr);

// A schedule point without counting (used inside long-running platform work).
void SchedulePoint();

// Each subsystem registers how it forgets its state; ResetPlatform runs them all.
void RegisterReset(std::function<void()> reset);
// Each subsystem registers what it finds left over at CheckForLeaks.
void RegisterLeakCheck(std::function<std::size_t()> check);

// Small thread number for traces and reports: 0 for the first thread seen, and so on.
unsigned ThreadNumber();

// Counted wide strings as host strings.
std::u16string ToU16(const UNICODE_STRING* string);
std::u16string ToU16(const WCHAR* text);
std::string Narrow(std::u16string_view text);  // ASCII only; others become '?'
std::u16string Widen(std::string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);  // ASCII

// Pool blocks the platform hands to the driver (interface names) and takes back.
PVOID AllocatePlatformBlock(SIZE_T bytes, ULONG tag);
bool FreePlatformBlock(PVOID block);  // false when the block is not a live pool block

// The platform routine that an image's import of `routine` from `dll` binds to (the DLL's
// name compared without regard to case); NULL when the platform provides no such routine.
void* FindPlatformExport(std::string_view dll, std::string_view routine);

// The I/O manager's request plumbing, shared by the PnP, power and Win32 layers.
IRP* AllocateIrp(char stackSize);
void FreeIrp(IRP* irp);
// Sends a new request to `device` (the top of a stack) and waits until it completes;
// a request that never completes within the watchdog time is reported.
IoResult SendAndWait(DEVICE_OBJECT* device, IRP* irp);
// Top of the stack that `device` belongs to.
DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device);
// True while the device object is alive (created, not yet deleted).
bool DeviceIsLive(const DEVICE_OBJECT* device);
// References that keep a deleted device object's memory until the last file closes.
void ReferenceDevice(DEVICE_OBJECT* device);
void DereferenceDevice(DEVICE_OBJECT* device);

// ---------------------------------------------------------------------------------------
// Verifier, faults, synchronisation, pool, registry, debug output, physical memory, ports
// ---------------------------------------------------------------------------------------
// How each of these subsystems forgets its state; ResetPlatform calls them in a fixed order
// after the hooks given to RegisterReset.
void ResetFaults();
void ResetSynchronisation();
void ResetPool();
void ResetRegistry();
void ResetDebugPrint();
void ResetPhysicalMemory();
void ResetPortBus();
void ResetVerifier();
// Leftovers found by CheckForLeaks besides the hooks given to RegisterLeakCheck.
std::size_t CheckPoolLeaks();
std::size_t CheckMappingLeaks();

// True while the calling thread holds at least one spin lock.
bool ThreadHoldsSpinLock();
// True while some remove lock holds an acquisition made with this tag.
bool RemoveLockTagOutstanding(const void* tag);
// Forgets the remove locks that lie in a block being deleted (a device object and its
// extension), with whatever tags they still hold.
void ForgetRemoveLocksIn(const void* begin, std::size_t bytes);

// Events for the platform's own use: neither counted nor checked for IRQL. A null timeout
// waits forever; a negative one is relative in 100 ns units. Returns STATUS_SUCCESS or
// STATUS_TIMEOUT (0x102).
void SignalEvent(KEVENT* event);
NTSTATUS WaitForEvent(KEVENT* event, const LARGE_INTEGER* timeout);
// Wakes every WaitForEvent so that it looks again (at a stopped machine, say).
void WakeAllWaiters();

// Makes the INIT section of the loaded image that holds `address` inaccessible; nothing
// when no image holds it.
void DiscardInitOfImageAt(const void* address);

}  // namespace host::detail

// ---------------------------------------------------------------------------------------
// The I/O side: object namespace, drivers, I/O manager, PnP and power, Win32
// ---------------------------------------------------------------------------------------
namespace host::detail {

// PoStartNextPowerIrp's mark on the stack location of the driver that called it.
void MarkPowerStarted(IRP* irp, const IO_STACK_LOCATION* location);
bool PowerStarted(IRP* irp, const IO_STACK_LOCATION* location);

// Registers (once) the I/O side's reset and leak check with RegisterReset/RegisterLeakCheck.
// Every routine of the I/O side that creates state calls it first, so a program that never
// touches the I/O side registers nothing.
void RegisterIoSide();
// What the registered reset runs, in this order (later ones own what earlier ones use).
void ResetBus();
void ResetWin32();
void ResetIoManager();
void ResetObjectNamespace();
void ResetDrivers();
std::size_t CheckObjectNamespaceLeaks();

// Reports ReportKind::Irql when the calling thread runs above `highest`.
void RequireIrqlAtMost(const char* routine, KIRQL highest);

// A physical device object of the bus driver: no name, not initialising, stack size 1.
DEVICE_OBJECT* CreatePhysicalDevice(DRIVER_OBJECT* busDriver);
// Resolves a symbolic link ("\DosDevices\X" or "\??\X") or an enabled interface name to
// the device it names and takes a reference on it (ReferenceDevice). NULL with the status
// when there is none.
DEVICE_OBJECT* OpenLinkTarget(std::u16string_view link, NTSTATUS* status);
// The stack location that was handed to the dispatch routine now running for the request
// in this thread's call chain; NULL outside any dispatch routine.
IO_STACK_LOCATION* DispatchingLocation(IRP* irp);

}  // namespace host::detail

// The I/O manager: requests (IRPs), passing them down a device stack, completing them
// through the completion routines on the way up, and the requests that opens, closes and
// device-control calls turn into.
//
// A request is laid out as on Windows: one block holding the IRP followed by exactly
// StackCount stack locations, the lowest driver's first. The platform keeps the rest
// beside it, in a record keyed by the IRP's address: its system buffer and the
// completion state that the verifier checks (completed twice, completed with a spin lock
// or a remove lock held, never completed). Completion may happen in any thread; the
// sender waits for it.
//
// Once completion has run past the top of the stack the request is the I/O manager's
// again: it keeps the final status and information from that moment, fills the block
// with a poison pattern and, when it frees the request, reports any byte a driver wrote
// since (a loaded image's writes are not seen by any sanitizer). A dispatch routine that
// completed its request itself must return the status it completed it with, or
// STATUS_PENDING when it marked the request pending.
#include "Internal.h"
#include "host/Image.h"
#include "host/WindowsX64Layouts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace host;

namespace {

constexpr auto kWatchdog = std::chrono::seconds(10);
constexpr CSHORT kIrpObjectType = 6;     // the object type a request carries in Type
constexpr CSHORT kFileObjectType = 5;    // and a file object
constexpr unsigned char kPoison = 0xDB;  // fills a completed request; as a pointer, non-canonical
constexpr auto kStoppedMachinePoll = std::chrono::milliseconds(20);

enum class Completion {
    WithDriver,  // a driver owns the request
    Completing,  // IofCompleteRequest walks up the stack locations
    InRoutine,   // a completion routine runs; it may hand the request back to its driver
    Final,       // the walk passed the top: the request is complete
};

struct FreeBlock {
    void operator()(IRP* irp) const { ::operator delete(irp); }
};

// A dispatch routine running for a request, and whether it completed the request itself.
struct DispatchFrame {
    IO_STACK_LOCATION* location;  // the one handed to the routine
    std::thread::id thread;
    UCHAR major;
    UCHAR minor;
    bool completed = false;      // IofCompleteRequest came from this routine
    NTSTATUS completedWith = 0;  // with this status
    bool markedPending = false;  // after the routine marked its location pending
};

struct IrpRecord {
    std::unique_ptr<IRP, FreeBlock> irp;  // the IRP and its stack locations
    std::size_t bytes = 0;                // of that block
    std::unique_ptr<unsigned char[]> systemBuffer;
    UCHAR major = 0;  // of the request as its sender made it
    std::mutex mutex;
    std::condition_variable changed;
    Completion completion = Completion::WithDriver;
    unsigned walkers = 0;                             // IofCompleteRequest calls in progress
    std::vector<DispatchFrame> dispatching;           // dispatch routines running, outermost first
    std::set<const IO_STACK_LOCATION*> powerStarted;  // locations PoStartNextPowerIrp marked
    IO_STATUS_BLOCK final{};  // IoStatus as the completion left it at the top
    bool poisoned = false;    // the block holds the poison since the final completion
};

// The stack locations that follow the IRP in its block.
IO_STACK_LOCATION* LocationsOf(IRP* irp) { return reinterpret_cast<IO_STACK_LOCATION*>(irp + 1); }

// The two ways of counting the current location (an index from 1, a pointer) agree.
bool LocationsAgree(IRP* irp) {
    return irp->Tail.Overlay.CurrentStackLocation == LocationsOf(irp) + (irp->CurrentLocation - 1);
}

// The name of the request field, or stack location field, at byte `offset` of a request's
// block, for reports: the smallest field of the layout table that holds the byte.
std::string FieldAt(std::size_t offset) {
    struct Field {
        const char* type;
        const char* member;
        std::size_t offset;
        std::size_t size;
    };
#define RAILWATCH_FIELD_ENTRY(type, member, offset, size) {#type, #member, offset, size},
    static constexpr Field kFields[] = {RAILWATCH_X64_FIELDS(RAILWATCH_FIELD_ENTRY)};
#undef RAILWATCH_FIELD_ENTRY
    std::string type = "IRP";
    std::string where;
    if (offset >= sizeof(IRP)) {
        const std::size_t index = (offset - sizeof(IRP)) / sizeof(IO_STACK_LOCATION);
        offset = (offset - sizeof(IRP)) % sizeof(IO_STACK_LOCATION);
        type = "IO_STACK_LOCATION";
        where = " of stack location " + std::to_string(index + 1);
    }
    const Field* best = nullptr;
    for (const Field& field : kFields) {
        if (type == field.type && offset >= field.offset && offset < field.offset + field.size &&
            (best == nullptr || field.size < best->size)) {
            best = &field;
        }
    }
    const std::string name = best != nullptr ? std::string(best->member) : "a reserved field";
    return type + "::" + name + " (byte " + std::to_string(offset) + where + ")";
}

// The request is the I/O manager's again: keeps its outcome, then poisons the block.
void TakeBack(IrpRecord& record, IRP* irp) {
    record.final = irp->IoStatus;
    std::memset(static_cast<void*>(irp), kPoison, record.bytes);
    record.poisoned = true;
}

// Reports the first byte of a taken-back request that no longer holds the poison.
void CheckPoison(const IrpRecord& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(record.irp.get());
    for (std::size_t offset = 0; offset < record.bytes; ++offset) {
        if (bytes[offset] != kPoison) {
            AddReport(ReportKind::Irp, "request (major " + std::to_string(record.major) +
                                           ") written after its completion: " + FieldAt(offset));
            return;
        }
    }
}

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

struct IoManager {
    std::mutex mutex;
    std::map<const IRP*, IrpRecord*> irps;  // allocated and not freed
    std::vector<IrpRecord*> parked;         // never completed: kept until the reset
    std::set<FILE_OBJECT*> files;
    // Files open on each device, opens in progress included: an exclusive device takes one.
    std::map<const DEVICE_OBJECT*, unsigned> openFiles;
};

IoManager& State() {
    static IoManager state;
    return state;
}

// The record of a request allocated and not yet freed; NULL for any other pointer.
IrpRecord* RecordOf(const IRP* irp) {
    std::lock_guard lock(State().mutex);
    const auto found = State().irps.find(irp);
    return found == State().irps.end() ? nullptr : found->second;
}

bool RoutineWanted(UCHAR control, const IRP* irp) {
    if (irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0) {
        return true;
    }
    return (control &
            (NT_SUCCESS(irp->IoStatus.Status) ? SL_INVOKE_ON_SUCCESS : SL_INVOKE_ON_ERROR)) != 0;
}

// Sets the completion state unless a completion routine handed the request back to its
// driver and that driver completed it meanwhile. Returns false in that case.
bool LeaveRoutine(IrpRecord& record, Completion next) {
    std::lock_guard lock(record.mutex);
    if (record.completion != Completion::InRoutine) {
        return false;
    }
    record.completion = next;
    return true;
}

void EndWalk(IrpRecord& record, Completion next, bool setState) {
    std::lock_guard lock(record.mutex);
    if (setState) {
        record.completion = next;
    }
    --record.walkers;
    record.changed.notify_all();
}

IoResult Failed(NTSTATUS status) { return {status, status, 0}; }

// Sends `irp` to `device` and waits for the final completion; `completed` tells whether it
// came (a request that never completes is reported and left to the reset).
IoResult Exchange(DEVICE_OBJECT* device, IRP* irp, bool* completed) {
    IrpRecord& record = *RecordOf(irp);  // the caller allocated it
    record.major = IoGetNextIrpStackLocation(irp)->MajorFunction;
    const NTSTATUS returned = IofCallDriver(device, irp);
    std::unique_lock lock(record.mutex);
    const auto finished = [&record] {
        return record.completion == Completion::Final && record.walkers == 0;
    };
    bool done = false;
    // A pending request completes later; a completed one may still have a walker returning.
    // A machine stopped by an image fault completes nothing more: no need to wait for it.
    if (returned == STATUS_PENDING || record.completion == Completion::Final) {
        const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
        while (!(done = record.changed.wait_for(lock, kStoppedMachinePoll, finished)) &&
               !MachineStopped() && std::chrono::steady_clock::now() < deadline) {
        }
    }
    if (!done && MachineStopped()) {
        *completed = false;
        return {returned, returned, 0};
    }
    if (!done) {
        lock.unlock();
        const std::string major = std::to_string(record.major);
        AddReport(ReportKind::Irp,
                  returned == STATUS_PENDING
                      ? "request never completed (major " + major + ", dispatch returned pending)"
                      : "request still outstanding when its dispatch routine returned " +
                            std::to_string(returned) + " (major " + major +
                            "): a driver that passes a request down must return the lower "
                            "driver's STATUS_PENDING");
        *completed = false;
        return {returned, returned, 0};
    }
    *completed = true;
    return {returned, record.final.Status, record.final.Information};
}

// One request to `target`: a fresh IRP with one location per device of its stack and an
// optional system buffer; `prepare` fills the location for `target` before the send,
// `finish` sees the system buffer (or NULL) of the completed request before it is freed.
template <typename Prepare, typename Finish>
IoResult SendNew(DEVICE_OBJECT* target, FILE_OBJECT* file, UCHAR major, ULONG bufferBytes,
                 const Prepare& prepare, const Finish& finish) {
    IRP* irp = detail::AllocateIrp(target->StackSize);
    if (bufferBytes > 0) {
        auto& buffer = RecordOf(irp)->systemBuffer;  // freed with the request
        buffer = std::make_unique<unsigned char[]>(bufferBytes);
        irp->AssociatedIrp.SystemBuffer = buffer.get();
    }
    IO_STACK_LOCATION* location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->FileObject = file;
    prepare(*irp, *location);
    bool completed = false;
    const IoResult result = Exchange(target, irp, &completed);
    if (completed) {
        finish(RecordOf(irp)->systemBuffer.get(), result);
    }
    detail::FreeIrp(irp);
    return result;
}

IoResult SendSimple(DEVICE_OBJECT* target, FILE_OBJECT* file, UCHAR major) {
    return SendNew(
        target, file, major, 0, [](IRP&, IO_STACK_LOCATION&) {},
        [](const unsigned char*, const IoResult&) {});
}

IoResult SendDeviceControl(DEVICE_OBJECT* target, FILE_OBJECT* file, ULONG code, const void* input,
                           ULONG inputLength, void* output, ULONG outputLength,
                           bool withSystemBuffer) {
    const ULONG bufferBytes = withSystemBuffer ? std::max(inputLength, outputLength) : 0;
    const auto prepare = [&](IRP& irp, IO_STACK_LOCATION& location) {
        location.Parameters.DeviceIoControl.IoControlCode = code;
        location.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        location.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        if (irp.AssociatedIrp.SystemBuffer != nullptr && input != nullptr && inputLength > 0) {
            std::memcpy(irp.AssociatedIrp.SystemBuffer, input, inputLength);
        }
    };
    const auto finish = [&](const unsigned char* systemBuffer, const IoResult& result) {
        if (!NT_SUCCESS(result.status)) {
            return;
        }
        if (result.information > outputLength) {
            AddReport(ReportKind::Irp, "device control completed with Information " +
                                           std::to_string(result.information) +
                                           " beyond its output length " +
                                           std::to_string(outputLength));
        }
        const auto bytes = std::min<ULONG_PTR>(result.information, outputLength);
        if (bytes > 0 && output != nullptr && systemBuffer != nullptr) {
            std::memcpy(output, systemBuffer, bytes);
        }
    };
    return SendNew(target, file, IRP_MJ_DEVICE_CONTROL, bufferBytes, prepare, finish);
}

// Counts an open of `device` before its create request is sent, as the I/O manager
// does; false (nothing counted) when the device is exclusive and a file is open on it.
bool CountOpen(const DEVICE_OBJECT* device) {
    std::lock_guard lock(State().mutex);
    unsigned& open = State().openFiles[device];
    if ((device->Flags & DO_EXCLUSIVE) != 0 && open > 0) {
        return false;
    }
    ++open;
    return true;
}

void UncountOpen(const DEVICE_OBJECT* device) {
    std::lock_guard lock(State().mutex);
    const auto found = State().openFiles.find(device);
    if (found != State().openFiles.end() && --found->second == 0) {
        State().openFiles.erase(found);
    }
}

bool TakeFile(FILE_OBJECT* file, bool remove) {
    std::lock_guard lock(State().mutex);
    const auto found = State().files.find(file);
    if (found == State().files.end()) {
        return false;
    }
    if (remove) {
        State().files.erase(found);
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Kernel routines
// ---------------------------------------------------------------------------------------

NTSTATUS NTAPI IofCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp) {
    detail::EnterRoutine("IofCallDriver");
    detail::RequireIrqlAtMost("IofCallDriver", DISPATCH_LEVEL);
    IrpRecord* const known = RecordOf(Irp);
    if (DeviceObject == nullptr || known == nullptr) {
        AddReport(ReportKind::Irp, DeviceObject == nullptr
                                       ? "IofCallDriver to a NULL device object"
                                       : "IofCallDriver with an unknown request");
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard lock(known->mutex);
        if (known->completion == Completion::Final) {
            AddReport(ReportKind::Irp, "IofCallDriver with a request that has completed");
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (!detail::DeviceIsLive(DeviceObject)) {
        if (Irp->CurrentLocation == Irp->StackCount + 1) {
            // The I/O manager's own send lost the race with the device's deletion: it fails
            // the request itself, as it does for a file whose device is gone.
            Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
            Irp->IoStatus.Information = 0;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_NO_SUCH_DEVICE;
        }
        AddReport(ReportKind::Object, "IofCallDriver to a deleted device object");
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!LocationsAgree(Irp)) {
        AddReport(ReportKind::Irp,
                  "IofCallDriver: the request's CurrentLocation and "
                  "CurrentStackLocation disagree");
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        AddReport(ReportKind::Irp, "IofCallDriver: no stack location left");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IoSetNextIrpStackLocation(Irp);
    IO_STACK_LOCATION* location = Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    IrpRecord& record = *known;
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard lock(record.mutex);
        record.dispatching.push_back(
            {location, self, location->MajorFunction, location->MinorFunction});
    }
    const PDRIVER_DISPATCH dispatch =
        DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    NTSTATUS status = STATUS_UNSUCCESSFUL;  // what a dispatch routine that faulted leaves
    CallImageCode(&status, dispatch, DeviceObject, Irp);
    DispatchFrame frame{};
    {
        // The request may be complete and freed by now only if its sender stopped
        // waiting, which it does not before this call returns.
        std::lock_guard lock(record.mutex);
        const auto mine = std::find_if(
            record.dispatching.rbegin(), record.dispatching.rend(),
            [&](const DispatchFrame& f) { return f.thread == self && f.location == location; });
        if (mine != record.dispatching.rend()) {
            frame = *mine;
            record.dispatching.erase(std::next(mine).base());
        }
    }
    // A routine that completed its request itself returns the status it completed it
    // with; what a routine returns for a request it passed down is the lower driver's.
    // (A routine cut short by an image fault returned nothing.)
    if (frame.completed && !MachineStopped() && status != frame.completedWith &&
        !(status == STATUS_PENDING && frame.markedPending)) {
        AddReport(ReportKind::Irp,
                  "dispatch routine (major " + std::to_string(frame.major) + ", minor " +
                      std::to_string(frame.minor) + ") returned " + Hex(status) +
                      " for a request it completed with " + Hex(frame.completedWith) +
                      (status == STATUS_PENDING ? " without marking it pending" : ""));
    }
    return status;
}

namespace {

// Notes on the innermost dispatch routine of this thread running for the request, if
// any, that it completes the request itself, and how.
void NoteCompletionInDispatch(IrpRecord& record, IRP* irp) {
    const bool pending = irp->CurrentLocation <= irp->StackCount &&
                         (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) != 0;
    std::lock_guard lock(record.mutex);
    const std::thread::id self = std::this_thread::get_id();
    for (auto frame = record.dispatching.rbegin(); frame != record.dispatching.rend(); ++frame) {
        if (frame->thread == self) {
            frame->completed = true;
            frame->completedWith = irp->IoStatus.Status;
            frame->markedPending = pending;
            return;
        }
    }
}

}  // namespace

void NTAPI IofCompleteRequest(IRP* Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    detail::EnterRoutine("IofCompleteRequest");
    detail::RequireIrqlAtMost("IofCompleteRequest", DISPATCH_LEVEL);
    IrpRecord* const known = RecordOf(Irp);
    if (known == nullptr) {
        AddReport(ReportKind::Irp, "IofCompleteRequest with an unknown request");
        return;
    }
    IrpRecord& record = *known;
    {
        std::lock_guard lock(record.mutex);
        if (record.completion == Completion::Final || record.completion == Completion::Completing) {
            AddReport(ReportKind::Irp, "request completed twice");
            return;
        }
        record.completion = Completion::Completing;
        ++record.walkers;
    }
    if (!LocationsAgree(Irp) || Irp->CurrentLocation > Irp->StackCount + 1) {
        AddReport(ReportKind::Irp,
                  "IofCompleteRequest: the request's CurrentLocation and "
                  "CurrentStackLocation disagree");
        TakeBack(record, Irp);
        EndWalk(record, Completion::Final, true);
        return;
    }
    NoteCompletionInDispatch(record, Irp);
    if (detail::ThreadHoldsSpinLock()) {
        AddReport(ReportKind::Irp, "request completed while a spin lock is held");
    }
    if (detail::RemoveLockTagOutstanding(Irp)) {
        AddReport(ReportKind::Irp,
                  "request completed while a remove lock acquired for it is still held");
    }
    // Walk up from the current location; each location's completion routine belongs to
    // the driver of the location above it.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        IO_STACK_LOCATION* location = Irp->Tail.Overlay.CurrentStackLocation;
        const UCHAR control = location->Control;
        const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        void* const context = location->Context;
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;
        location->Control = 0;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        IoSkipCurrentIrpStackLocation(Irp);
        const bool atTop = Irp->CurrentLocation > Irp->StackCount;
        if (routine != nullptr && RoutineWanted(control, Irp)) {
            DEVICE_OBJECT* owner =
                atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            {
                std::lock_guard lock(record.mutex);
                record.completion = Completion::InRoutine;
            }
            // A routine that faulted lets the walk go on: the machine has stopped anyway.
            NTSTATUS status = STATUS_SUCCESS;
            CallImageCode(&status, routine, owner, Irp, context);
            if (status == STATUS_MORE_PROCESSING_REQUIRED) {
                // The request belongs to the routine's driver again.
                // Unless that driver completed it again already.
                LeaveRoutine(record, Completion::WithDriver);
                EndWalk(record, Completion::WithDriver, false);
                return;
            }
            if (!LeaveRoutine(record, Completion::Completing)) {
                AddReport(ReportKind::Irp,
                          "request completed twice: its driver completed it while the "
                          "completion walk went on");
                EndWalk(record, Completion::Final, false);
                return;
            }
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);
        }
    }
    TakeBack(record, Irp);
    EndWalk(record, Completion::Final, true);
}

// ---------------------------------------------------------------------------------------
// Platform plumbing
// ---------------------------------------------------------------------------------------

namespace host::detail {

IRP* AllocateIrp(char stackSize) {
    RegisterIoSide();
    auto record = std::make_unique<IrpRecord>();
    const int count = std::max<int>(stackSize, 1);
    const std::size_t bytes = sizeof(IRP) + count * sizeof(IO_STACK_LOCATION);
    record->irp.reset(static_cast<IRP*>(::operator new(bytes)));
    record->bytes = bytes;
    IRP* irp = record->irp.get();
    std::memset(static_cast<void*>(irp), 0, bytes);
    irp->Type = kIrpObjectType;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = static_cast<CHAR>(count);
    irp->CurrentLocation = static_cast<CHAR>(count + 1);
    irp->Tail.Overlay.CurrentStackLocation = LocationsOf(irp) + count;  // one past the top
    std::lock_guard lock(State().mutex);
    State().irps.emplace(irp, record.release());
    return irp;
}

void FreeIrp(IRP* irp) {
    IrpRecord* record = nullptr;
    {
        std::lock_guard lock(State().mutex);
        const auto found = State().irps.find(irp);
        if (found == State().irps.end()) {
            AddReport(ReportKind::Irp, "FreeIrp with an unknown request");
            return;
        }
        record = found->second;
        State().irps.erase(found);
    }
    bool settled = false;
    {
        std::lock_guard irpLock(record->mutex);
        settled = record->completion == Completion::Final && record->walkers == 0 &&
                  record->dispatching.empty();
    }
    if (settled) {
        if (record->poisoned) {
            CheckPoison(*record);
        }
        delete record;
        return;
    }
    std::lock_guard lock(State().mutex);
    State().parked.push_back(record);  // a driver may still hold it: kept until the reset
}

IoResult SendAndWait(DEVICE_OBJECT* device, IRP* irp) {
    bool completed = false;
    return Exchange(device, irp, &completed);
}

void MarkPowerStarted(IRP* irp, const IO_STACK_LOCATION* location) {
    IrpRecord* record = RecordOf(irp);
    if (record != nullptr) {
        std::lock_guard lock(record->mutex);
        record->powerStarted.insert(location);
    }
}

bool PowerStarted(IRP* irp, const IO_STACK_LOCATION* location) {
    IrpRecord* record = RecordOf(irp);
    if (record == nullptr) {
        return false;
    }
    std::lock_guard lock(record->mutex);
    return record->powerStarted.count(location) != 0;
}

IO_STACK_LOCATION* DispatchingLocation(IRP* irp) {
    IrpRecord* record = RecordOf(irp);
    if (record == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(record->mutex);
    return record->dispatching.empty() ? nullptr : record->dispatching.back().location;
}

void RequireIrqlAtMost(const char* routine, KIRQL highest) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > highest) {
        AddReport(ReportKind::Irql, std::string(routine) + " called at IRQL " +
                                        std::to_string(irql) + ", above " +
                                        std::to_string(highest));
    }
}

void ResetIoManager() {
    std::map<const IRP*, IrpRecord*> irps;
    std::vector<IrpRecord*> parked;
    std::set<FILE_OBJECT*> files;
    {
        std::lock_guard lock(State().mutex);
        irps.swap(State().irps);
        parked.swap(State().parked);
        files.swap(State().files);
        State().openFiles.clear();
    }
    for (const auto& [irp, record] : irps) {
        delete record;
    }
    for (IrpRecord* record : parked) {
        delete record;
    }
    for (FILE_OBJECT* file : files) {
        delete file;
    }
}

}  // namespace host::detail

// ---------------------------------------------------------------------------------------
// Control surface: opens, closes, device control
// ---------------------------------------------------------------------------------------

namespace host {

FILE_OBJECT* OpenFile(std::u16string_view linkName, NTSTATUS* status) {
    detail::RegisterIoSide();
    detail::SchedulePoint();
    NTSTATUS local = STATUS_SUCCESS;
    NTSTATUS& result = status != nullptr ? *status : local;
    DEVICE_OBJECT* device = detail::OpenLinkTarget(linkName, &result);
    if (device == nullptr) {
        return nullptr;
    }
    if (!detail::DeviceIsLive(device) || (device->Flags & DO_DEVICE_INITIALIZING) != 0) {
        detail::DereferenceDevice(device);
        result = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    if (!CountOpen(device)) {
        detail::DereferenceDevice(device);
        result = STATUS_ACCESS_DENIED;
        return nullptr;
    }
    auto* file = new FILE_OBJECT{};
    file->Type = kFileObjectType;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    const IoResult created = SendSimple(detail::TopOfStack(device), file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(created.status) || created.status == STATUS_PENDING) {
        delete file;
        UncountOpen(device);
        detail::DereferenceDevice(device);
        result = created.status == STATUS_PENDING ? STATUS_UNSUCCESSFUL : created.status;
        return nullptr;
    }
    {
        std::lock_guard lock(State().mutex);
        State().files.insert(file);
    }
    result = STATUS_SUCCESS;
    return file;
}

NTSTATUS CloseFile(FILE_OBJECT* file) {
    detail::SchedulePoint();
    if (!TakeFile(file, true)) {
        AddReport(ReportKind::Object, "CloseFile with an unknown file object");
        return STATUS_INVALID_PARAMETER;
    }
    DEVICE_OBJECT* device = file->DeviceObject;
    NTSTATUS status = STATUS_SUCCESS;
    if (detail::DeviceIsLive(device)) {
        SendSimple(detail::TopOfStack(device), file, IRP_MJ_CLEANUP);
        status = SendSimple(detail::TopOfStack(device), file, IRP_MJ_CLOSE).status;
    }
    delete file;
    UncountOpen(device);
    detail::DereferenceDevice(device);
    return status;
}

IoResult DeviceControl(FILE_OBJECT* file, ULONG code, const void* input, ULONG inputLength,
                       void* output, ULONG outputLength, bool withSystemBuffer) {
    detail::SchedulePoint();
    if (!TakeFile(file, false)) {
        AddReport(ReportKind::Object, "DeviceControl with an unknown file object");
        return Failed(STATUS_INVALID_PARAMETER);
    }
    if (!detail::DeviceIsLive(file->DeviceObject)) {
        return Failed(STATUS_NO_SUCH_DEVICE);
    }
    return SendDeviceControl(detail::TopOfStack(file->DeviceObject), file, code, input, inputLength,
                             output, outputLength, withSystemBuffer);
}

IoResult DeviceControlTo(DEVICE_OBJECT* device, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, bool withSystemBuffer) {
    detail::SchedulePoint();
    if (!detail::DeviceIsLive(device)) {
        return Failed(STATUS_NO_SUCH_DEVICE);
    }
    return SendDeviceControl(device, nullptr, code, input, inputLength, output, outputLength,
                             withSystemBuffer);
}

}  // namespace host

namespace host::detail {

void RegisterIoSide() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        RegisterReset([] {
            ResetBus();
            ResetWin32();
            ResetIoManager();
            ResetObjectNamespace();
            ResetDrivers();
        });
        RegisterLeakCheck(CheckObjectNamespaceLeaks);
    });
}

}  // namespace host::detail

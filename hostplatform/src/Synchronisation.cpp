// IRQL, spin locks, events and remove locks.
//
// Each thread has its own IRQL. Spin locks really exclude other threads: the lock word
// holds the owning thread's token while it is taken. Events really block. Remove locks
// keep the kernel's counting in the lock itself (the 32 bytes of a free build) and, on
// the side, keyed by the lock's address, which tags hold it and its watermarks, so that
// a release with a tag never acquired and a request completed while its tag is held can
// be told apart from correct use.
#include "Internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace host {
namespace sync {

constexpr NTSTATUS kStatusTimeout = 0x00000102;

thread_local KIRQL t_irql = PASSIVE_LEVEL;
// The spin locks the thread holds, in acquisition order.
thread_local std::vector<const KSPIN_LOCK*> t_heldSpinLocks;
// A value unique to each live thread, stored in a spin lock while the thread owns it.
thread_local char t_tokenAnchor;

ULONG_PTR ThreadToken() { return reinterpret_cast<ULONG_PTR>(&t_tokenAnchor); }

std::string Hex(const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

std::string ThreadName() { return "thread " + std::to_string(detail::ThreadNumber()); }

void ReportIrqlAbove(KIRQL highest, const std::string& what) {
    const KIRQL irql = t_irql;
    if (irql > highest) {
        AddReport(ReportKind::Irql,
                  what + " at IRQL " + std::to_string(irql) + " (" + ThreadName() + ")");
    }
}

// --- events --------------------------------------------------------------------------
// One condition variable serves every event: waits are rare and short in tests.
struct EventWaiters {
    std::mutex mutex;
    std::condition_variable changed;
};

EventWaiters& TheEventWaiters() {
    static EventWaiters waiters;
    return waiters;
}

std::atomic_ref<LONG> SignalOf(KEVENT* event) {
    return std::atomic_ref<LONG>(event->Header.SignalState);
}

// Takes the signal if it is there; a synchronisation event is reset by the wait it ends.
bool TryConsume(KEVENT* event) {
    auto signal = SignalOf(event);
    if (event->Header.Type == SynchronizationEvent) {
        LONG expected = 1;
        return signal.compare_exchange_strong(expected, 0);
    }
    return signal.load() != 0;
}

// --- remove locks --------------------------------------------------------------------
// What the platform knows of a remove lock beyond its Windows layout.
struct RemoveLockState {
    std::multiset<const void*> tags;  // one entry per acquisition not yet released
    ULONG allocateTag = 0;
    ULONG maxLockedMinutes = 0;
    ULONG highWatermark = 0;
    LONG highestIoCount = 1;
};

struct RemoveLockTable {
    std::mutex mutex;
    std::map<const IO_REMOVE_LOCK*, RemoveLockState> locks;
};

std::atomic_ref<LONG> IoCountOf(IO_REMOVE_LOCK* lock) {
    return std::atomic_ref<LONG>(lock->Common.IoCount);
}
std::atomic_ref<BOOLEAN> RemovedOf(IO_REMOVE_LOCK* lock) {
    return std::atomic_ref<BOOLEAN>(lock->Common.Removed);
}

RemoveLockTable& TheRemoveLocks() {
    static RemoveLockTable table;
    return table;
}

// Drops one reference; the last one signals the lock's event.
void DropReference(IO_REMOVE_LOCK* lock) {
    const LONG count = IoCountOf(lock).fetch_sub(1) - 1;
    if (count == 0) detail::SignalEvent(&lock->Common.RemoveEvent);
    if (count < 0) {
        AddReport(ReportKind::RemoveLock,
                  "remove lock " + Hex(lock) + " released more often than acquired");
    }
}

// Forgets one acquisition made with `tag`; false when there is none.
bool ForgetTag(IO_REMOVE_LOCK* lock, const void* tag) {
    auto& table = TheRemoveLocks();
    std::lock_guard guard(table.mutex);
    const auto found = table.locks.find(lock);
    if (found == table.locks.end()) return false;
    auto& tags = found->second.tags;
    const auto held = tags.find(tag);
    if (held == tags.end()) return false;
    tags.erase(held);
    return true;
}

void ReleaseTag(IO_REMOVE_LOCK* lock, const void* tag) {
    if (!ForgetTag(lock, tag)) {
        AddReport(ReportKind::RemoveLock, "remove lock " + Hex(lock) + " released with tag " +
                                              Hex(tag) + ", which holds no acquisition");
    }
    DropReference(lock);
}

}  // namespace sync

void SetCurrentIrql(KIRQL irql) { sync::t_irql = irql; }

LONG RemoveLockHighestIoCount(const IO_REMOVE_LOCK* lock) {
    auto& table = sync::TheRemoveLocks();
    std::lock_guard guard(table.mutex);
    const auto found = table.locks.find(lock);
    return found == table.locks.end() ? 0 : found->second.highestIoCount;
}

}  // namespace host

using host::AddReport;
using host::ReportKind;
using namespace host::sync;
namespace detail = host::detail;

// --- IRQL ----------------------------------------------------------------------------
KIRQL NTAPI KeGetCurrentIrql() { return t_irql; }

void HostCheckPagedCode(const char* routine) {
    ReportIrqlAbove(APC_LEVEL, std::string("pageable routine ") + routine + " ran");
}

// --- spin locks ----------------------------------------------------------------------
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    detail::EnterRoutine("KeAcquireSpinLockRaiseToDpc");
    const KIRQL previous = t_irql;
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    const ULONG_PTR self = ThreadToken();
    if (word.load() == self) {
        // On Windows the processor would spin forever; here the test goes on with a report.
        AddReport(ReportKind::SpinLock, "spin lock " + Hex(SpinLock) +
                                            " acquired again by its owner (" + ThreadName() + ")");
        t_irql = DISPATCH_LEVEL;
        return previous;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, self, std::memory_order_acquire)) break;
        std::this_thread::yield();
    }
    t_irql = DISPATCH_LEVEL;
    t_heldSpinLocks.push_back(SpinLock);
    return previous;
}

void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    detail::EnterRoutine("KeReleaseSpinLock");
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    const ULONG_PTR self = ThreadToken();
    const auto held = std::find(t_heldSpinLocks.begin(), t_heldSpinLocks.end(), SpinLock);
    if (held == t_heldSpinLocks.end() || word.load() != self) {
        AddReport(ReportKind::SpinLock, "spin lock " + Hex(SpinLock) +
                                            " released by a thread that does not own it (" +
                                            ThreadName() + ")");
    } else {
        t_heldSpinLocks.erase(held);
        word.store(0, std::memory_order_release);
    }
    t_irql = NewIrql;
}

// --- events --------------------------------------------------------------------------
void NTAPI KeInitializeEvent(KEVENT* Event, EVENT_TYPE Type, BOOLEAN State) {
    detail::EnterRoutine("KeInitializeEvent");
    std::memset(static_cast<void*>(Event), 0, sizeof(KEVENT));
    Event->Header.Type = static_cast<UCHAR>(Type);
    SignalOf(Event).store(State ? 1 : 0);
}

LONG NTAPI KeSetEvent(KEVENT* Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    detail::EnterRoutine("KeSetEvent");
    ReportIrqlAbove(DISPATCH_LEVEL, "KeSetEvent");
    const LONG previous = SignalOf(Event).load();
    detail::SignalEvent(Event);
    return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     LARGE_INTEGER* Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    detail::EnterRoutine("KeWaitForSingleObject");
    // Only a zero time-out (a poll) is allowed at DISPATCH_LEVEL.
    if (Timeout == nullptr || Timeout->QuadPart != 0) {
        ReportIrqlAbove(APC_LEVEL, "KeWaitForSingleObject waited");
    }
    return detail::WaitForEvent(static_cast<KEVENT*>(Object), Timeout);
}

// --- remove locks --------------------------------------------------------------------
void NTAPI IoInitializeRemoveLockEx(IO_REMOVE_LOCK* Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    detail::EnterRoutine("IoInitializeRemoveLockEx");
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
        // A checked build's lock is larger; this kernel knows only the free build's.
        AddReport(ReportKind::RemoveLock, "remove lock " + Hex(Lock) + " initialised with size " +
                                              std::to_string(RemlockSize) + ", not " +
                                              std::to_string(sizeof(IO_REMOVE_LOCK)));
    }
    std::memset(static_cast<void*>(Lock), 0, sizeof(IO_REMOVE_LOCK));
    Lock->Common.IoCount = 1;
    Lock->Common.RemoveEvent.Header.Type = NotificationEvent;
    auto& table = TheRemoveLocks();
    std::lock_guard guard(table.mutex);
    RemoveLockState& state = table.locks[Lock];
    state = RemoveLockState{};
    state.allocateTag = AllocateTag;
    state.maxLockedMinutes = MaxLockedMinutes;
    state.highWatermark = HighWatermark;
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(IO_REMOVE_LOCK* RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(RemlockSize);
    detail::EnterRoutine("IoAcquireRemoveLockEx");
    if (detail::ThreadHoldsSpinLock()) {
        AddReport(ReportKind::SpinLock, "lock order: remove lock " + Hex(RemoveLock) +
                                            " acquired while holding a spin lock (" + ThreadName() +
                                            ")");
    }
    const LONG count = IoCountOf(RemoveLock).fetch_add(1) + 1;
    if (RemovedOf(RemoveLock).load() != 0) {
        DropReference(RemoveLock);
        return STATUS_DELETE_PENDING;
    }
    auto& table = TheRemoveLocks();
    std::lock_guard guard(table.mutex);
    RemoveLockState& state = table.locks[RemoveLock];
    state.tags.insert(Tag);
    // The high-water mark is recorded, never enforced.
    state.highestIoCount = std::max(state.highestIoCount, count);
    return STATUS_SUCCESS;
}

void NTAPI IoReleaseRemoveLockEx(IO_REMOVE_LOCK* RemoveLock, PVOID Tag, ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    detail::EnterRoutine("IoReleaseRemoveLockEx");
    ReleaseTag(RemoveLock, Tag);
}

void NTAPI IoReleaseRemoveLockAndWaitEx(IO_REMOVE_LOCK* RemoveLock, PVOID Tag, ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    detail::EnterRoutine("IoReleaseRemoveLockAndWaitEx");
    ReportIrqlAbove(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx");
    RemovedOf(RemoveLock).store(TRUE);
    ReleaseTag(RemoveLock, Tag);
    DropReference(RemoveLock);  // the lock's own reference
    // A tag that is never released would hang here as it hangs Windows; say so once.
    LARGE_INTEGER patience;
    patience.QuadPart = -50'000'000;  // 5 s
    if (detail::WaitForEvent(&RemoveLock->Common.RemoveEvent, &patience) == kStatusTimeout &&
        !host::MachineStopped()) {
        const std::string text =
            "remove lock " + Hex(RemoveLock) + " still held 5 s into release-and-wait";
        std::fprintf(stderr, "verifier: %s\n", text.c_str());
        AddReport(ReportKind::RemoveLock, text);
        detail::WaitForEvent(&RemoveLock->Common.RemoveEvent, nullptr);
    }
}

namespace host::detail {

using namespace host::sync;

bool ThreadHoldsSpinLock() { return !t_heldSpinLocks.empty(); }

bool RemoveLockTagOutstanding(const void* tag) {
    auto& table = TheRemoveLocks();
    std::lock_guard guard(table.mutex);
    for (const auto& [lock, state] : table.locks) {
        if (state.tags.count(tag) != 0) return true;
    }
    return false;
}

void ForgetRemoveLocksIn(const void* begin, std::size_t bytes) {
    const auto first = reinterpret_cast<std::uintptr_t>(begin);
    auto& table = TheRemoveLocks();
    std::lock_guard guard(table.mutex);
    std::erase_if(table.locks, [&](const auto& entry) {
        return reinterpret_cast<std::uintptr_t>(entry.first) - first < bytes;
    });
}

void WakeAllWaiters() {
    auto& waiters = TheEventWaiters();
    // Taking the mutex orders a signal before it after any waiter's last look at the state.
    { std::lock_guard lock(waiters.mutex); }
    waiters.changed.notify_all();
}

void SignalEvent(KEVENT* event) {
    SignalOf(event).store(1);
    WakeAllWaiters();
}

NTSTATUS WaitForEvent(KEVENT* event, const LARGE_INTEGER* timeout) {
    auto& waiters = TheEventWaiters();
    std::unique_lock lock(waiters.mutex);
    // A machine stopped by an image fault wakes every waiter: what it waits for may never
    // come, and the image code it returns to no longer runs.
    if (timeout == nullptr) {
        waiters.changed.wait(lock, [event] { return TryConsume(event) || host::MachineStopped(); });
        return STATUS_SUCCESS;
    }
    // Negative: relative, in 100 ns units. Positive (absolute system time) is treated as
    // already past: the platform has no system clock of that kind.
    const auto wait =
        std::chrono::nanoseconds(timeout->QuadPart < 0 ? -timeout->QuadPart * 100 : 0);
    return waiters.changed.wait_for(lock, wait,
                                    [event] { return TryConsume(event) || host::MachineStopped(); })
               ? STATUS_SUCCESS
               : kStatusTimeout;
}

void ResetSynchronisation() {
    t_irql = PASSIVE_LEVEL;
    t_heldSpinLocks.clear();
    auto& table = TheRemoveLocks();
    std::lock_guard guard(table.mutex);
    table.locks.clear();
}

}  // namespace host::detail

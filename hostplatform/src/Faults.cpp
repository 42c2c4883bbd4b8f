// Call counting, fault injection and schedule stress.
//
// Every routine the driver or the library calls enters through EnterRoutine: the call is
// counted, an injected fault may make it fail, and under schedule stress the calling
// thread yields or sleeps a little first so that races show up in tests.
#include "Internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace host {
namespace {

struct Fault {
    unsigned nth;
    NTSTATUS status;
};

struct FaultState {
    std::mutex mutex;
    std::map<std::string, unsigned, std::less<>> calls;
    std::map<std::string, std::vector<Fault>, std::less<>> faults;
};

FaultState& TheFaults() {
    static FaultState state;
    return state;
}

// Schedule stress: a seed of 0 means off. Each thread keeps its own generator, seeded from
// the machine's seed and the thread number, and reseeds when the seed changes.
std::atomic<bool> g_stressEnabled{false};
std::atomic<std::uint64_t> g_stressSeed{0};
std::atomic<std::uint64_t> g_stressEpoch{0};

struct ThreadRandom {
    std::uint64_t epoch = 0;
    std::uint64_t state = 0;
};
thread_local ThreadRandom t_random;

std::uint64_t NextRandom(std::uint64_t& state) {
    // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

NTSTATUS UsualFailure(std::string_view routine) {
    if (routine == "IoDeleteSymbolicLink") return STATUS_OBJECT_NAME_NOT_FOUND;
    if (routine == "ExAllocatePoolWithTag" || routine == "MmMapIoSpace" ||
        routine == "IoCreateDevice" || routine == "IoCreateSymbolicLink" ||
        routine == "IoRegisterDeviceInterface" || routine == "GlobalAlloc" ||
        routine == "CreateFileA") {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_UNSUCCESSFUL;
}

}  // namespace

const std::vector<std::string>& FailableRoutines() {
    static const std::vector<std::string> routines = {"ExAllocatePoolWithTag",
                                                      "MmMapIoSpace",
                                                      "IoCreateDevice",
                                                      "IoCreateSymbolicLink",
                                                      "IoDeleteSymbolicLink",
                                                      "IoRegisterDeviceInterface",
                                                      "IoSetDeviceInterfaceState",
                                                      "IoAttachDeviceToDeviceStack",
                                                      "RtlWriteRegistryValue",
                                                      "GlobalAlloc",
                                                      "CreateFileA"};
    return routines;
}

void FailCall(std::string_view routine, unsigned nth, NTSTATUS status) {
    const auto& failable = FailableRoutines();
    if (std::find(failable.begin(), failable.end(), routine) == failable.end()) {
        throw std::invalid_argument("FailCall: " + std::string(routine) +
                                    " is not a routine that can be made to fail");
    }
    if (nth == 0) throw std::invalid_argument("FailCall: calls are counted from 1");
    auto& state = TheFaults();
    std::lock_guard lock(state.mutex);
    const NTSTATUS failure = status != 0 ? status : UsualFailure(routine);
    auto found = state.faults.find(routine);
    if (found == state.faults.end())
        found = state.faults.emplace(std::string(routine), std::vector<Fault>{}).first;
    found->second.push_back(Fault{nth, failure});
}

void ClearFaults() {
    auto& state = TheFaults();
    std::lock_guard lock(state.mutex);
    state.faults.clear();
}

unsigned CallCount(std::string_view routine) {
    auto& state = TheFaults();
    std::lock_guard lock(state.mutex);
    const auto found = state.calls.find(routine);
    return found == state.calls.end() ? 0 : found->second;
}

void EnableScheduleStress(std::uint64_t seed) {
    g_stressSeed.store(seed);
    g_stressEpoch.fetch_add(1);
    g_stressEnabled.store(true);
}

void DisableScheduleStress() { g_stressEnabled.store(false); }

namespace detail {

bool EnterRoutine(const char* routine, NTSTATUS* failureStatus) {
    SchedulePoint();
    const std::string_view name(routine);
    auto& state = TheFaults();
    std::lock_guard lock(state.mutex);
    auto counted = state.calls.find(name);
    if (counted == state.calls.end()) counted = state.calls.emplace(std::string(name), 0).first;
    const unsigned call = ++counted->second;
    const auto planned = state.faults.find(name);
    if (planned == state.faults.end()) return false;
    for (const Fault& fault : planned->second) {
        if (fault.nth == call) {
            if (failureStatus != nullptr) *failureStatus = fault.status;
            return true;
        }
    }
    return false;
}

void SchedulePoint() {
    if (!g_stressEnabled.load(std::memory_order_relaxed)) return;
    const auto epoch = g_stressEpoch.load();
    if (t_random.epoch != epoch) {
        t_random.epoch = epoch;
        t_random.state = g_stressSeed.load() + ThreadNumber();
    }
    const auto draw = NextRandom(t_random.state);
    switch (draw % 4) {
        case 0:
            break;
        case 1:
        case 2:
            std::this_thread::yield();
            break;
        default:
            std::this_thread::sleep_for(std::chrono::microseconds(1 + (draw >> 8) % 20));
            break;
    }
}

void ResetFaults() {
    DisableScheduleStress();
    auto& state = TheFaults();
    std::lock_guard lock(state.mutex);
    state.faults.clear();
    state.calls.clear();
}

}  // namespace detail
}  // namespace host

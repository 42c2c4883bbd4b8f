// The machine as a whole: reset of every subsystem, thread numbers, string helpers.
//
// Registries live in function-local statics so that no subsystem depends on the order
// in which global objects are built. The subsystems of this library's core are reset
// through a fixed list; anything else hands its reset to RegisterReset, typically from
// the function-local static that creates its state, so that a subsystem which never ran
// has nothing to forget.
#include "Internal.h"

#include <atomic>
#include <mutex>

namespace host {
namespace detail {
namespace {

struct ResetHooks {
    std::mutex mutex;
    std::vector<std::function<void()>> hooks;
};

ResetHooks& TheResetHooks() {
    static ResetHooks hooks;
    return hooks;
}

// Thread numbers restart at 0 with every new machine: a thread numbered in an earlier
// machine takes a fresh number the first time it shows up in the current one.
struct ThreadNumbering {
    std::mutex mutex;
    std::atomic<std::uint64_t> generation{1};
    unsigned next = 0;
};

ThreadNumbering& TheThreadNumbering() {
    static ThreadNumbering numbering;
    return numbering;
}

struct ThreadIdentity {
    std::uint64_t generation = 0;
    unsigned number = 0;
};
thread_local ThreadIdentity t_identity;

void RunResetHooks() {
    // A hook may register another one (a subsystem met for the first time): run by index.
    auto& registry = TheResetHooks();
    for (std::size_t index = 0;; ++index) {
        std::function<void()> hook;
        {
            std::lock_guard lock(registry.mutex);
            if (index >= registry.hooks.size()) break;
            hook = registry.hooks[index];
        }
        hook();
    }
}

void RestartThreadNumbers() {
    auto& numbering = TheThreadNumbering();
    std::lock_guard lock(numbering.mutex);
    numbering.generation.fetch_add(1);
    numbering.next = 0;
}

char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c; }

}  // namespace

void RegisterReset(std::function<void()> reset) {
    auto& registry = TheResetHooks();
    std::lock_guard lock(registry.mutex);
    registry.hooks.push_back(std::move(reset));
}

unsigned ThreadNumber() {
    auto& numbering = TheThreadNumbering();
    const auto generation = numbering.generation.load(std::memory_order_acquire);
    if (t_identity.generation != generation) {
        std::lock_guard lock(numbering.mutex);
        t_identity.generation = numbering.generation.load();
        t_identity.number = numbering.next++;
    }
    return t_identity.number;
}

std::u16string ToU16(const UNICODE_STRING* string) {
    if (string == nullptr || string->Buffer == nullptr) return {};
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::u16string ToU16(const WCHAR* text) {
    return text == nullptr ? std::u16string() : std::u16string(text);
}

std::string Narrow(std::u16string_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (const char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

std::u16string Widen(std::string_view text) {
    std::u16string wide;
    wide.reserve(text.size());
    for (const char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return wide;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return EqualsIgnoreCase(Widen(a), Widen(b));
}

}  // namespace detail

void ResetPlatform() {
    // Faults and stress go first so that no reset step trips over them; the reports go
    // last so that nothing a reset step says survives into the new machine.
    detail::ResetFaults();
    detail::RunResetHooks();
    detail::ResetPortBus();
    detail::ResetPhysicalMemory();
    detail::ResetRegistry();
    detail::ResetSynchronisation();
    detail::ResetPool();
    detail::ResetDebugPrint();
    detail::ResetVerifier();
    detail::RestartThreadNumbers();
}

}  // namespace host

// Faults in image code: the table of mapped images, the signal handler that carries out an
// image's port instructions and turns its other faults into a stopped machine, and the
// recovery points that the platform's calls into image code set up.
//
// The handler runs for SIGSEGV, SIGILL and SIGBUS. A port instruction (`in`/`out` on AL)
// at an address inside an image's live code is done on the simulated bus, through the same
// entry as the host build's port access, and execution resumes after it. Any other fault that
// happens in image code, or is a jump from a guarded call to an address where nothing
// runs, is written into a per-thread record, the machine is stopped (every image's code
// loses its execute permission, so no thread runs image code any more) and the handler
// jumps back to the thread's innermost recovery point; the report is made there, outside
// the signal handler. Everything else goes to the handler that was installed before ours.
#include "ImageRegistry.h"
#include "Internal.h"
#include "host/Image.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace host {
namespace {

detail::ImageRecord g_records[detail::kMaxImages];
std::mutex g_recordsMutex;  // loader side only; the handler reads without it
std::uint64_t g_loadCount = 0;
std::atomic<int> g_occupied{0};  // records not free: while any, calls into drivers are guarded
std::atomic<bool> g_stopped{false};

constexpr int kFaultSignals[] = {SIGSEGV, SIGILL, SIGBUS};
struct sigaction g_previous[3];

// What the handler saw, for the report made after the jump back.
struct FaultRecord {
    bool first;  // this fault stopped the machine (later ones are not reported)
    int signal;
    int code;
    std::uintptr_t rip;
    std::uintptr_t address;
    bool write;
    unsigned char bytes[3];
    std::size_t byteCount;
    char image[detail::kImageNameLength];
    char section[9];
    bool retired;
    bool discarded;
    bool executable;
    std::uintptr_t rva;
    // For a jump to where nothing runs: the call's return address, if it lies in an image.
    bool hasCaller;
    char callerImage[detail::kImageNameLength];
    char callerSection[9];
    std::uintptr_t callerRva;
};

thread_local detail::ImageRecoveryPoint* t_innermost = nullptr;
thread_local FaultRecord t_fault;

int SignalIndex(int signal) { return signal == SIGSEGV ? 0 : signal == SIGILL ? 1 : 2; }

void CopyName(char* to, std::size_t size, const char* from) {
    std::size_t length = 0;
    while (length + 1 < size && from[length] != '\0') {
        to[length] = from[length];
        ++length;
    }
    to[length] = '\0';
}

// Reads memory that may not be mapped without faulting (the kernel reports EFAULT).
bool SafeRead(std::uintptr_t address, void* to, std::size_t bytes) {
    iovec local{to, bytes};
    iovec remote{reinterpret_cast<void*>(address), bytes};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(bytes);
}

// A port instruction of image code is not carried out inside the signal handler: the
// handler only notes the port and sends the thread to PortTrampoline, which saves every
// register the image may have live (flags, the general ones, x87/SSE state), runs the
// access as ordinary host code and returns to the instruction after it with AL updated.
// So the bus, its trace and its locks are used outside any signal context.
struct PendingPortAccess {
    USHORT port;
    bool write;
};
thread_local PendingPortAccess t_pendingPort;

}  // namespace
}  // namespace host

extern "C" void RailwatchPortTrampoline();

// Runs from PortTrampoline: the access that the handler noted. Returns the new AL.
extern "C" __attribute__((used)) unsigned char RailwatchRunPendingPortAccess(
    unsigned char al) noexcept {
    const host::PendingPortAccess access = host::t_pendingPort;
    if (access.write) {
        HostPortWriteByte(access.port, al);
        return al;
    }
    return HostPortReadByte(access.port);
}

// On entry: [rsp] = the address to resume the image at. Saved: flags, rax, rcx, rdx, rsi,
// rdi, r8-r11 (the host routine may change them), rbx (holds the frame), then the x87/SSE
// state on a 16-byte aligned area. The saved AL sits 72 bytes above the saved rbx.
__asm__(R"(
    .text
    .p2align 4
    .globl RailwatchPortTrampoline
    .hidden RailwatchPortTrampoline
    .type RailwatchPortTrampoline, @function
RailwatchPortTrampoline:
    pushfq
    pushq %rax
    pushq %rcx
    pushq %rdx
    pushq %rsi
    pushq %rdi
    pushq %r8
    pushq %r9
    pushq %r10
    pushq %r11
    pushq %rbx
    movq %rsp, %rbx
    andq $-16, %rsp
    subq $512, %rsp
    fxsave64 (%rsp)
    cld
    movzbl 72(%rbx), %edi
    call RailwatchRunPendingPortAccess
    movb %al, 72(%rbx)
    fxrstor64 (%rsp)
    movq %rbx, %rsp
    popq %rbx
    popq %r11
    popq %r10
    popq %r9
    popq %r8
    popq %rdi
    popq %rsi
    popq %rdx
    popq %rcx
    popq %rax
    popfq
    ret
    .size RailwatchPortTrampoline, .-RailwatchPortTrampoline
)");

namespace host {
namespace {

// Sends the thread at a port instruction (`in`/`out` on AL, port in DX or an 8-bit
// immediate) to the trampoline; false for any other instruction. `limit` is the end of
// the section, so that an 8-bit port number is read only inside it.
bool DivertPortInstruction(greg_t* registers, std::uintptr_t rip, std::uintptr_t limit) {
    const auto* const code = reinterpret_cast<const unsigned char*>(rip);
    const auto dx = static_cast<USHORT>(registers[REG_RDX] & 0xFFFF);
    const bool hasImmediate = rip + 1 < limit;
    std::uintptr_t length = 1;
    switch (code[0]) {
        case 0xEC:  // in al, dx
        case 0xEE:  // out dx, al
            t_pendingPort = PendingPortAccess{dx, code[0] == 0xEE};
            break;
        case 0xE4:  // in al, imm8
        case 0xE6:  // out imm8, al
            if (!hasImmediate) return false;
            t_pendingPort = PendingPortAccess{code[1], code[0] == 0xE6};
            length = 2;
            break;
        default:
            return false;
    }
    // Windows x64 code keeps nothing below its stack pointer, so the return address can go there.
    registers[REG_RSP] -= 8;
    *reinterpret_cast<std::uintptr_t*>(registers[REG_RSP]) = rip + length;
    registers[REG_RIP] =
        static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&RailwatchPortTrampoline));
    return true;
}

// Takes execute permission from every live image's code: from now on, any thread that
// would run image code faults and returns to its recovery point.
void StopImageCode() {
    for (auto& record : g_records) {
        if (record.state.load() != detail::SlotState::Live) continue;
        for (std::size_t index = 0; index < record.sectionCount; ++index) {
            const auto& section = record.sections[index];
            if ((section.protection & PROT_EXEC) == 0 || section.discarded.load()) continue;
            mprotect(reinterpret_cast<void*>(record.begin + section.rva), section.size, PROT_READ);
        }
    }
}

void RecordFault(int signal, const siginfo_t* info, const greg_t* registers,
                 const detail::ImageRecord* image, const detail::SectionRecord* section) {
    FaultRecord& fault = t_fault;
    fault = FaultRecord{};
    fault.first = true;
    fault.signal = signal;
    fault.code = info->si_code;
    fault.rip = static_cast<std::uintptr_t>(registers[REG_RIP]);
    fault.address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    fault.write = (registers[REG_ERR] & 2) != 0;
    if (image != nullptr) {
        CopyName(fault.image, sizeof fault.image, image->name);
        fault.retired = image->state.load() == detail::SlotState::Retired;
        fault.rva = fault.rip - image->begin;
    }
    if (section != nullptr) {
        CopyName(fault.section, sizeof fault.section, section->name);
        fault.discarded = section->discarded.load();
        fault.executable = (section->protection & PROT_EXEC) != 0;
        const std::uintptr_t end = image->begin + section->rva + section->size;
        if (!fault.discarded && !fault.retired) {
            fault.byteCount = std::min<std::size_t>(sizeof fault.bytes, end - fault.rip);
            std::memcpy(fault.bytes, reinterpret_cast<const void*>(fault.rip), fault.byteCount);
        }
    }
    std::uintptr_t returnAddress = 0;
    if (image == nullptr && SafeRead(static_cast<std::uintptr_t>(registers[REG_RSP]),
                                     &returnAddress, sizeof returnAddress)) {
        const detail::ImageRecord* caller = detail::ImageRecordAt(returnAddress);
        const detail::SectionRecord* callerSection =
            caller != nullptr ? detail::SectionAt(*caller, returnAddress) : nullptr;
        if (callerSection != nullptr) {
            fault.hasCaller = true;
            CopyName(fault.callerImage, sizeof fault.callerImage, caller->name);
            CopyName(fault.callerSection, sizeof fault.callerSection, callerSection->name);
            fault.callerRva = returnAddress - caller->begin;
        }
    }
}

void PassOn(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = g_previous[SignalIndex(signal)];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // Nobody else handles it: the default action, once the handler returns (a fault
    // happens again as the instruction is retried; a sent signal is pending).
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

void OnFault(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    auto* const registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
    const auto rip = static_cast<std::uintptr_t>(registers[REG_RIP]);
    const detail::ImageRecord* const image = detail::ImageRecordAt(rip);
    const detail::SectionRecord* const section =
        image != nullptr && image->state.load() == detail::SlotState::Live
            ? detail::SectionAt(*image, rip)
            : nullptr;
    const bool runnable = section != nullptr && (section->protection & PROT_EXEC) != 0 &&
                          !section->discarded.load() && !g_stopped.load();
    if (signal == SIGSEGV && info->si_code == SI_KERNEL && runnable &&
        DivertPortInstruction(registers, rip, image->begin + section->rva + section->size)) {
        errno = savedErrno;
        return;
    }
    const bool fetch = signal == SIGSEGV && info->si_code != SI_KERNEL &&
                       reinterpret_cast<std::uintptr_t>(info->si_addr) == rip;
    detail::ImageRecoveryPoint* const point = t_innermost;
    if (point != nullptr && (image != nullptr || fetch)) {
        if (!g_stopped.exchange(true)) {
            RecordFault(signal, info, registers, image, section);
            StopImageCode();
        } else {
            t_fault.first = false;
        }
        siglongjmp(point->jump, 1);
    }
    errno = savedErrno;
    PassOn(signal, info, context);
}

// ---------------------------------------------------------------------------------------
// The report, made after the jump back
// ---------------------------------------------------------------------------------------

const char* PrivilegedInstructionName(const FaultRecord& fault) {
    if (fault.byteCount == 0) return "";
    switch (fault.bytes[0]) {
        case 0xFA:
            return "cli ";
        case 0xFB:
            return "sti ";
        case 0xF4:
            return "hlt ";
        case 0xE5:
        case 0xE7:
        case 0xED:
        case 0xEF:
            return "wide port access ";
        case 0x6C:
        case 0x6D:
        case 0x6E:
        case 0x6F:
            return "string port access ";
        default:
            break;
    }
    if (fault.bytes[0] == 0x0F && fault.byteCount > 1) {
        switch (fault.bytes[1]) {
            case 0x20:
            case 0x22:
                return "control register access ";
            case 0x30:
                return "wrmsr ";
            case 0x32:
                return "rdmsr ";
            case 0x01:
                return "system table instruction ";
            case 0x09:
                return "wbinvd ";
            default:
                break;
        }
    }
    return "";
}

std::string Bytes(const FaultRecord& fault) {
    std::string text;
    for (std::size_t index = 0; index < fault.byteCount; ++index) {
        char byte[8];
        std::snprintf(byte, sizeof byte, "%s0x%02X", index == 0 ? "" : " ", fault.bytes[index]);
        text += byte;
    }
    return text;
}

std::string Address(std::uintptr_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(address));
    return text;
}

std::string Location(const char* image, const char* section, std::uintptr_t rva) {
    char text[160];
    std::snprintf(text, sizeof text, "%s section %s at RVA 0x%llX", image,
                  section[0] != '\0' ? section : "(none)", static_cast<unsigned long long>(rva));
    return text;
}

std::string DescribeFault(const FaultRecord& fault) {
    const bool fetch =
        fault.signal == SIGSEGV && fault.code != SI_KERNEL && fault.address == fault.rip;
    std::string what;
    if (fault.signal == SIGSEGV && fault.code == SI_KERNEL) {
        what = std::string("privileged instruction ") + PrivilegedInstructionName(fault) + "(" +
               Bytes(fault) + ")";
    } else if (fault.signal == SIGILL) {
        what = "illegal instruction (" + Bytes(fault) + ")";
    } else if (fault.signal == SIGBUS) {
        what = "bus error at address " + Address(fault.address);
    } else if (fetch && fault.image[0] == '\0') {
        what = "jump to unmapped memory at " + Address(fault.rip);
        return what + (fault.hasCaller ? " from " + Location(fault.callerImage, fault.callerSection,
                                                             fault.callerRva)
                                       : std::string(" (no image code called it)"));
    } else if (fetch && fault.retired) {
        what = "call into the unloaded image";
    } else if (fetch && fault.discarded) {
        what = "call into discarded " + std::string(fault.section) + " code";
    } else if (fetch) {
        what = "execution of data (no execute permission)";
    } else {
        what = std::string("access violation ") + (fault.write ? "writing" : "reading") +
               " address " + Address(fault.address);
    }
    return what + " in " + Location(fault.image, fault.section, fault.rva);
}

std::atomic<std::size_t> g_mappedBytes{0};

void ReleaseRetired(detail::ImageRecord& record) {
    munmap(reinterpret_cast<void*>(record.begin), record.end - record.begin);
    detail::CountImageBytes(-static_cast<std::ptrdiff_t>(record.end - record.begin));
    record.state.store(detail::SlotState::Free);
    g_occupied.fetch_sub(1);
}

// A new machine: images that are still loaded get their code back, unloaded ones free
// their reservations.
void ResetImages() {
    std::lock_guard lock(g_recordsMutex);
    for (auto& record : g_records) {
        const auto state = record.state.load();
        if (state == detail::SlotState::Retired) ReleaseRetired(record);
        if (state != detail::SlotState::Live || !g_stopped.load()) continue;
        for (std::size_t index = 0; index < record.sectionCount; ++index) {
            const auto& section = record.sections[index];
            if ((section.protection & PROT_EXEC) == 0 || section.discarded.load()) continue;
            mprotect(reinterpret_cast<void*>(record.begin + section.rva), section.size,
                     section.protection);
        }
    }
    g_stopped.store(false);
}

}  // namespace

bool MachineStopped() { return g_stopped.load(); }

std::size_t ImageMappedBytes() { return g_mappedBytes.load(); }

namespace detail {

ImageRecord* ImageRecords() { return g_records; }

void CountImageBytes(std::ptrdiff_t bytes) {
    g_mappedBytes.fetch_add(static_cast<std::size_t>(bytes));
}

int ClaimImageSlot() {
    std::lock_guard lock(g_recordsMutex);
    int oldestRetired = -1;
    for (int index = 0; index < static_cast<int>(kMaxImages); ++index) {
        auto& record = g_records[index];
        const auto state = record.state.load();
        if (state == SlotState::Free) {
            record.state.store(SlotState::Claimed);
            record.begin = record.end = 0;
            record.loadNumber = ++g_loadCount;
            g_occupied.fetch_add(1);
            return index;
        }
        if (state == SlotState::Retired &&
            (oldestRetired < 0 || record.loadNumber < g_records[oldestRetired].loadNumber))
            oldestRetired = index;
    }
    if (oldestRetired < 0) return -1;
    auto& record = g_records[oldestRetired];
    ReleaseRetired(record);
    record.state.store(SlotState::Claimed);
    record.begin = record.end = 0;
    record.loadNumber = ++g_loadCount;
    g_occupied.fetch_add(1);
    return oldestRetired;
}

void PublishImageSlot(int slot) { g_records[slot].state.store(SlotState::Live); }

void ReleaseImageSlot(int slot) {
    std::lock_guard lock(g_recordsMutex);
    g_records[slot].state.store(SlotState::Free);
    g_occupied.fetch_sub(1);
}

void RetireImageSlot(int slot) {
    std::lock_guard lock(g_recordsMutex);
    auto& record = g_records[slot];
    // The range stays reserved with no access at all; its pages are given back.
    (void)mmap(reinterpret_cast<void*>(record.begin), record.end - record.begin, PROT_NONE,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    record.state.store(SlotState::Retired);
}

void DiscardInit(int slot) {
    ImageRecord& record = g_records[slot];
    for (std::size_t index = 0; index < record.sectionCount; ++index) {
        SectionRecord& section = record.sections[index];
        if (std::string_view(section.name) != "INIT" || section.discarded.exchange(true)) continue;
        mprotect(reinterpret_cast<void*>(record.begin + section.rva), section.size, PROT_NONE);
    }
}

void DiscardInitOfImageAt(const void* address) {
    if (g_occupied.load() == 0) return;
    const ImageRecord* const record = ImageRecordAt(reinterpret_cast<std::uintptr_t>(address));
    if (record != nullptr && record->state.load() == SlotState::Live)
        DiscardInit(static_cast<int>(record - g_records));
}

const ImageRecord* ImageRecordAt(std::uintptr_t address) {
    for (const auto& record : g_records) {
        const auto state = record.state.load();
        if (state != SlotState::Live && state != SlotState::Retired) continue;
        if (address >= record.begin && address < record.end) return &record;
    }
    return nullptr;
}

const SectionRecord* SectionAt(const ImageRecord& record, std::uintptr_t address) {
    for (std::size_t index = 0; index < record.sectionCount; ++index) {
        const auto& section = record.sections[index];
        const std::uintptr_t begin = record.begin + section.rva;
        if (address >= begin && address < begin + section.size) return &section;
    }
    return nullptr;
}

void InstallImageFaultHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterReset(ResetImages);
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (const int signal : kFaultSignals) {
            sigaction(signal, &action, &g_previous[SignalIndex(signal)]);
        }
    });
}

bool ImageGuardWanted(const void* routine) {
    (void)routine;
    return g_occupied.load(std::memory_order_relaxed) > 0;
}

bool EnterImageCall(ImageRecoveryPoint* point) {
    if (g_stopped.load()) return false;
    point->outer = t_innermost;
    t_innermost = point;
    return true;
}

void LeaveImageCall(ImageRecoveryPoint* point) { t_innermost = point->outer; }

void RecoverFromImageFault(ImageRecoveryPoint* point) {
    t_innermost = point->outer;
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : kFaultSignals) sigaddset(&signals, signal);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    if (t_fault.first) {
        t_fault.first = false;
        AddReport(ReportKind::ImageFault, DescribeFault(t_fault));
        WakeAllWaiters();
    }
}

}  // namespace detail
}  // namespace host

// The simulated ISA bus: port accesses reach the W83627 (when one answers there), are
// counted and traced, and are watched for interleaved configuration sequences.
//
// A configuration sequence belongs to the thread that opened it with an enter key on an
// index port (0x2E or 0x4E, chip or no chip) and lasts until that thread writes the exit
// key to the same port. An access by any other thread to the configuration ports in
// between is what would corrupt the sequence on real hardware; it is reported once per
// sequence. One mutex covers the whole bus; with the trace off an access allocates nothing.
#include "Internal.h"
#include "W83627.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace host {
namespace bus {

struct OpenSequence {
    unsigned thread;
    USHORT indexPort;
    bool reported;
};

struct BusState {
    std::mutex mutex;
    chip::W83627 chip;
    std::vector<PortAccess> trace;
    bool traceEnabled = true;
    std::uint64_t accesses = 0;
    std::vector<OpenSequence> sequences;

    BusState() { chip::ResetChip(chip, ChipConfig{}); }
};

BusState& TheBus() {
    static BusState state;
    return state;
}

bool IsConfigurationPort(USHORT port) {
    return port == 0x2E || port == 0x2F || port == 0x4E || port == 0x4F;
}

// Caller holds the bus mutex.
void Watch(BusState& state, unsigned thread, USHORT port, bool write, UCHAR value) {
    if (!IsConfigurationPort(port)) return;
    for (auto& sequence : state.sequences) {
        if (sequence.thread == thread || sequence.reported) continue;
        sequence.reported = true;
        char text[160];
        std::snprintf(text, sizeof text,
                      "thread %u accessed port 0x%02X inside thread %u's configuration "
                      "sequence on 0x%02X",
                      thread, port, sequence.thread, sequence.indexPort);
        AddReport(ReportKind::Interleave, text);
    }
    if (!write || (port != 0x2E && port != 0x4E)) return;
    const auto own = std::find_if(
        state.sequences.begin(), state.sequences.end(), [&](const OpenSequence& sequence) {
            return sequence.thread == thread && sequence.indexPort == port;
        });
    if (value == chip::kEnterKey && own == state.sequences.end()) {
        state.sequences.push_back(OpenSequence{thread, port, false});
    } else if (value == chip::kExitKey && own != state.sequences.end()) {
        state.sequences.erase(own);
    }
}

// Caller holds the bus mutex. Which port of the chip this is, if any.
enum class Decode { None, Index, Data };
Decode DecodePort(const BusState& state, USHORT port) {
    const USHORT index = state.chip.config.indexPort;
    if (index == 0) return Decode::None;
    if (port == index) return Decode::Index;
    if (port == index + 1) return Decode::Data;
    return Decode::None;
}

void Record(BusState& state, unsigned thread, USHORT port, bool write, UCHAR value) {
    ++state.accesses;
    if (state.traceEnabled) state.trace.push_back(PortAccess{thread, port, write, value});
    Watch(state, thread, port, write, value);
}

void CheckSupply(int supply) {
    if (supply != 1 && supply != 2) {
        throw std::invalid_argument("supply must be 1 or 2, not " + std::to_string(supply));
    }
}

}  // namespace bus

void ConfigureChip(const ChipConfig& config) {
    if (config.indexPort != 0 && config.indexPort != 0x2E && config.indexPort != 0x4E) {
        throw std::invalid_argument("ConfigureChip: the index port must be 0x2E, 0x4E or 0");
    }
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    chip::ResetChip(state.chip, config);
}

void SetSupplyLevel(int supply, bool level) {
    bus::CheckSupply(supply);
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    state.chip.supplyLevel[static_cast<std::size_t>(supply - 1)] = level;
}

UCHAR ChipRegister(UCHAR logicalDevice, UCHAR reg) {
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    return chip::StoredRegister(state.chip, logicalDevice, reg);
}

void SetChipRegister(UCHAR logicalDevice, UCHAR reg, UCHAR value) {
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    chip::StoreRegister(state.chip, logicalDevice, reg, value);
}

std::vector<PortAccess> PortTrace() {
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    return state.trace;
}

void ClearPortTrace() {
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    state.trace.clear();
}

void SetPortTraceEnabled(bool enabled) {
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    state.traceEnabled = enabled;
}

std::uint64_t PortAccessCount() {
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    return state.accesses;
}

std::string FormatPortAccess(const PortAccess& access) {
    char text[32];
    std::snprintf(text, sizeof text, "%s 0x%02X 0x%02X", access.write ? "out" : "in", access.port,
                  access.value);
    return text;
}

namespace detail {
void ResetPortBus() {
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    state.chip.supplyLevel = {true, true};
    chip::ResetChip(state.chip, ChipConfig{});
    state.trace.clear();
    state.traceEnabled = true;
    state.accesses = 0;
    state.sequences.clear();
}
}  // namespace detail
}  // namespace host

void HostPortWriteByte(USHORT Port, UCHAR Value) {
    using namespace host;
    detail::SchedulePoint();
    const unsigned thread = detail::ThreadNumber();
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    bus::Record(state, thread, Port, true, Value);
    const auto decoded = bus::DecodePort(state, Port);
    if (decoded != bus::Decode::None)
        chip::WritePort(state.chip, decoded == bus::Decode::Data, Value);
}

UCHAR HostPortReadByte(USHORT Port) {
    using namespace host;
    detail::SchedulePoint();
    const unsigned thread = detail::ThreadNumber();
    auto& state = bus::TheBus();
    std::lock_guard lock(state.mutex);
    const auto decoded = bus::DecodePort(state, Port);
    const UCHAR value = decoded == bus::Decode::None
                            ? UCHAR{0xFF}
                            : chip::ReadPort(state.chip, decoded == bus::Decode::Data);
    bus::Record(state, thread, Port, false, value);
    return value;
}

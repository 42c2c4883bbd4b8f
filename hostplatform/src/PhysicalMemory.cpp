// Physical memory: the 64 KiB BIOS image at 0xF0000-0xFFFFF, and mappings of it. A
// mapping of anything else (RAM on a real PC) is reported, and refused.
//
// Each mapping is a fresh heap buffer of exactly the mapped length, copied from the image,
// so the address sanitizer catches a read past its end; an unmap must name a live
// mapping's base and length.
#include "Internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace host {
namespace physical {

struct Range {
    std::uint64_t physical;
    std::size_t length;
};

struct MemoryState {
    std::mutex mutex;
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(kBiosSize, 0xFF);
    std::vector<Range> unmappable;
    std::vector<Mapping> mappings;  // live, in mapping order
    std::uint64_t count = 0;
};

MemoryState& TheMemory() {
    static MemoryState state;
    return state;
}

bool Overlaps(std::uint64_t start, std::size_t length, const Range& range) {
    return start < range.physical + range.length && range.physical < start + length;
}

std::string Describe(std::uint64_t physical, std::size_t length) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%05llX+%zu", static_cast<unsigned long long>(physical),
                  length);
    return text;
}

std::string Describe(std::uint64_t physical, std::size_t length, const void* base) {
    char text[32];
    std::snprintf(text, sizeof text, " at %p", base);
    return Describe(physical, length) + text;
}

}  // namespace physical

void SetBiosImage(const std::vector<std::uint8_t>& image) {
    if (image.size() != kBiosSize) {
        throw std::invalid_argument("SetBiosImage: the image must be exactly " +
                                    std::to_string(kBiosSize) + " bytes, not " +
                                    std::to_string(image.size()));
    }
    auto& state = physical::TheMemory();
    std::lock_guard lock(state.mutex);
    state.image = image;
}

void MarkUnmappable(std::uint64_t physical, std::size_t length) {
    auto& state = physical::TheMemory();
    std::lock_guard lock(state.mutex);
    state.unmappable.push_back(physical::Range{physical, length});
}

std::vector<Mapping> LiveMappings() {
    auto& state = physical::TheMemory();
    std::lock_guard lock(state.mutex);
    return state.mappings;
}

std::uint64_t MappingCount() {
    auto& state = physical::TheMemory();
    std::lock_guard lock(state.mutex);
    return state.count;
}

namespace detail {

std::size_t CheckMappingLeaks() {
    const auto mappings = LiveMappings();
    for (const auto& mapping : mappings) {
        AddReport(ReportKind::Mapping,
                  "mapping " + physical::Describe(mapping.physical, mapping.length, mapping.base) +
                      " left mapped");
    }
    return mappings.size();
}

void ResetPhysicalMemory() {
    auto& state = physical::TheMemory();
    std::lock_guard lock(state.mutex);
    for (const auto& mapping : state.mappings) std::free(const_cast<void*>(mapping.base));
    state.mappings.clear();
    state.unmappable.clear();
    state.image.assign(kBiosSize, 0xFF);
    state.count = 0;
}

}  // namespace detail
}  // namespace host

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheType) {
    using namespace host;
    UNREFERENCED_PARAMETER(CacheType);
    if (detail::EnterRoutine("MmMapIoSpace")) return nullptr;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        AddReport(ReportKind::Irql, "MmMapIoSpace at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    // Anything but the BIOS ROM is RAM or another device's memory on a real PC: mapping it
    // is a fault of the driver, not a refusal it may count on.
    const auto start = static_cast<std::uint64_t>(PhysicalAddress.QuadPart);
    if (PhysicalAddress.QuadPart < 0 || NumberOfBytes == 0 || start < kBiosBase ||
        start >= kBiosBase + kBiosSize || NumberOfBytes > kBiosBase + kBiosSize - start) {
        AddReport(ReportKind::Mapping, "MmMapIoSpace of " +
                                           physical::Describe(start, NumberOfBytes) +
                                           ", which is not inside the BIOS ROM 0xF0000-0xFFFFF");
        return nullptr;
    }
    auto& state = physical::TheMemory();
    std::lock_guard lock(state.mutex);
    for (const auto& range : state.unmappable) {
        if (physical::Overlaps(start, NumberOfBytes, range)) return nullptr;
    }
    auto* buffer = static_cast<std::uint8_t*>(std::malloc(NumberOfBytes));
    if (buffer == nullptr) return nullptr;
    std::memcpy(buffer, state.image.data() + (start - kBiosBase), NumberOfBytes);
    state.mappings.push_back(Mapping{start, NumberOfBytes, buffer});
    ++state.count;
    return buffer;
}

void NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    using namespace host;
    detail::EnterRoutine("MmUnmapIoSpace");
    auto& state = physical::TheMemory();
    std::unique_lock lock(state.mutex);
    const auto found =
        std::find_if(state.mappings.begin(), state.mappings.end(),
                     [BaseAddress](const Mapping& m) { return m.base == BaseAddress; });
    if (found == state.mappings.end()) {
        lock.unlock();
        char text[96];
        std::snprintf(text, sizeof text, "unmap of %zu bytes at %p, which is no live mapping",
                      NumberOfBytes, BaseAddress);
        AddReport(ReportKind::Mapping, text);
        return;
    }
    const Mapping mapping = *found;
    state.mappings.erase(found);
    lock.unlock();
    // The mapping goes either way; a wrong length is still the driver's fault.
    if (mapping.length != NumberOfBytes) {
        AddReport(ReportKind::Mapping,
                  "unmap of " + physical::Describe(mapping.physical, mapping.length, mapping.base) +
                      " with length " + std::to_string(NumberOfBytes));
    }
    std::free(const_cast<void*>(mapping.base));
}

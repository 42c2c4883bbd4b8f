// Pool memory: the driver's tagged allocations and the blocks the platform hands it.
//
// Every block is its own heap allocation of exactly the size asked for, so the address
// sanitizer catches any access outside it. Fresh driver blocks are filled with 0xCD so
// that code which forgets to initialise a block reads nonsense rather than zeros.
#include "Internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace host {
namespace pool {

constexpr UCHAR kFreshPoolByte = 0xCD;

struct Block {
    std::size_t size;
    ULONG tag;
    POOL_TYPE type;
    std::uint64_t serial;  // allocation order, for reports in the order of allocation
};

struct PoolState {
    std::mutex mutex;
    std::map<const void*, Block> blocks;
    std::vector<PoolBlock> driverAllocations;  // every one since the reset, freed or not
    std::uint64_t serial = 0;
};

PoolState& ThePool() {
    static PoolState state;
    return state;
}

// A tag reads as its four bytes in memory order when they are printable.
std::string TagText(ULONG tag) {
    char text[32];
    const auto byte = [tag](int i) { return static_cast<unsigned char>(tag >> (8 * i)); };
    bool printable = true;
    for (int i = 0; i < 4; ++i) printable = printable && byte(i) >= 0x20 && byte(i) < 0x7F;
    if (printable) {
        std::snprintf(text, sizeof text, "'%c%c%c%c' (0x%08X)", byte(0), byte(1), byte(2), byte(3),
                      tag);
    } else {
        std::snprintf(text, sizeof text, "0x%08X", tag);
    }
    return text;
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool byDriver) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    if (byDriver) std::memset(block, kFreshPoolByte, bytes);
    auto& state = ThePool();
    std::lock_guard lock(state.mutex);
    state.blocks.emplace(block, Block{bytes, tag, type, state.serial++});
    if (byDriver) state.driverAllocations.push_back(PoolBlock{block, bytes, tag, type});
    return block;
}

// Forgets and frees a live block; false when the address is no live block.
bool Release(PVOID address, ULONG* tag) {
    auto& state = ThePool();
    {
        std::lock_guard lock(state.mutex);
        const auto found = state.blocks.find(address);
        if (found == state.blocks.end()) return false;
        if (tag != nullptr) *tag = found->second.tag;
        state.blocks.erase(found);
    }
    std::free(address);
    return true;
}

}  // namespace pool

std::vector<PoolBlock> OutstandingPool() {
    auto& state = pool::ThePool();
    std::lock_guard lock(state.mutex);
    std::vector<std::pair<std::uint64_t, PoolBlock>> ordered;
    ordered.reserve(state.blocks.size());
    for (const auto& [address, block] : state.blocks) {
        ordered.push_back({block.serial, PoolBlock{address, block.size, block.tag, block.type}});
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PoolBlock> blocks;
    blocks.reserve(ordered.size());
    for (const auto& entry : ordered) blocks.push_back(entry.second);
    return blocks;
}

std::size_t OutstandingPoolWithTag(ULONG tag) {
    std::size_t count = 0;
    for (const auto& block : OutstandingPool()) count += block.tag == tag ? 1 : 0;
    return count;
}

std::uint64_t PoolAllocationCount() {
    auto& state = pool::ThePool();
    std::lock_guard lock(state.mutex);
    return state.driverAllocations.size();
}

std::vector<PoolBlock> PoolAllocations() {
    auto& state = pool::ThePool();
    std::lock_guard lock(state.mutex);
    return state.driverAllocations;
}

namespace detail {

PVOID AllocatePlatformBlock(SIZE_T bytes, ULONG tag) {
    return pool::Allocate(PagedPool, bytes, tag, false);
}

bool FreePlatformBlock(PVOID block) { return block != nullptr && pool::Release(block, nullptr); }

std::size_t CheckPoolLeaks() {
    const auto blocks = OutstandingPool();
    for (const auto& block : blocks) {
        char text[96];
        std::snprintf(text, sizeof text, "%zu bytes of %s pool at %p left allocated, tag ",
                      block.size, block.type == PagedPool ? "paged" : "non-paged", block.address);
        AddReport(ReportKind::Pool, text + pool::TagText(block.tag));
    }
    return blocks.size();
}

void ResetPool() {
    auto& state = pool::ThePool();
    std::lock_guard lock(state.mutex);
    for (const auto& entry : state.blocks) std::free(const_cast<void*>(entry.first));
    state.blocks.clear();
    state.driverAllocations.clear();
    state.serial = 0;
}

}  // namespace detail
}  // namespace host

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    using namespace host;
    const bool fail = detail::EnterRoutine("ExAllocatePoolWithTag");
    if (PoolType == PagedPool && KeGetCurrentIrql() > APC_LEVEL) {
        AddReport(ReportKind::Irql, "paged pool allocated at IRQL " +
                                        std::to_string(KeGetCurrentIrql()) + ", tag " +
                                        pool::TagText(Tag));
    }
    if (fail) return nullptr;
    return pool::Allocate(PoolType, NumberOfBytes, Tag, true);
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    using namespace host;
    detail::EnterRoutine("ExFreePoolWithTag");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        AddReport(ReportKind::Irql, "pool freed at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    char address[32];
    std::snprintf(address, sizeof address, "%p", P);
    ULONG allocatedTag = 0;
    if (P == nullptr || !pool::Release(P, &allocatedTag)) {
        AddReport(ReportKind::Pool, std::string("free of ") + address + ", which is no pool block");
        return;
    }
    if (Tag != 0 && Tag != allocatedTag) {
        AddReport(ReportKind::Pool, std::string("block ") + address + " allocated with tag " +
                                        pool::TagText(allocatedTag) + " freed with tag " +
                                        pool::TagText(Tag));
    }
}

// The table of mapped images that the loader fills and the fault handler reads.
//
// The fault handler runs inside a signal handler, so the table is a fixed array of plain
// records: the handler reads it without locks or allocation. The loader changes it under
// its own mutex. A record outlives its image's unload as "retired" (its address range stays
// reserved and inaccessible), so that a call into an unloaded image is recognised as such
// rather than landing in whatever memory the range would otherwise be reused for.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace host::detail {

constexpr std::size_t kMaxImages = 16;
constexpr std::size_t kMaxImageSections = 32;
constexpr std::size_t kImageNameLength = 64;

enum class SlotState : int { Free, Claimed, Live, Retired };

struct SectionRecord {
    char name[9];
    std::uint32_t rva;
    std::uint32_t size;  // whole pages
    int protection;      // PROT_* it was mapped with once loading finished
    std::atomic<bool> discarded;
};

struct ImageRecord {
    std::atomic<SlotState> state;
    std::uintptr_t begin;
    std::uintptr_t end;
    char name[kImageNameLength];  // the file's name without its folders
    std::size_t sectionCount;
    SectionRecord sections[kMaxImageSections];
    std::uint64_t loadNumber;  // which retired record is the oldest
};

// The records; index = slot number.
ImageRecord* ImageRecords();

// Reserves a record for an image about to be mapped; -1 when all are live. A retired
// record that has to make room has its reservation unmapped first.
int ClaimImageSlot();
// Marks a claimed record live once its fields are filled.
void PublishImageSlot(int slot);
// Releases a claimed, never published record.
void ReleaseImageSlot(int slot);
// The image was unloaded: its range is now a reservation with no access.
void RetireImageSlot(int slot);

// Makes the INIT section of the image in `slot` inaccessible (once).
void DiscardInit(int slot);

// The live or retired record whose range holds `address`, or NULL.
const ImageRecord* ImageRecordAt(std::uintptr_t address);
// The section of `record` that holds `address`, or NULL.
const SectionRecord* SectionAt(const ImageRecord& record, std::uintptr_t address);

// The loader's count of mapped bytes (ImageMappedBytes), kept by every mmap and munmap.
void CountImageBytes(std::ptrdiff_t bytes);

// Installs the fault handlers (once per process, after any sanitizer's own).
void InstallImageFaultHandlers();

}  // namespace host::detail

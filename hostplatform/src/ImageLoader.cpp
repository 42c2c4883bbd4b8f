// The image loader: a PE32+ file checked, mapped section by section with its own
// protection, relocated, and its imports bound to the platform's routines.
//
// The whole file is read and checked before anything is mapped; what can only be checked
// in the mapped copy (relocations, imports) is checked there, and a refusal unmaps it
// again. An image is always mapped where the host's mmap puts it, never at its preferred
// base, as a Windows driver gets whatever address the kernel gives it: the base
// relocations run on every load. An image without a relocation directory is taken as
// position-independent unless its header says its relocations were stripped; then it
// loads only at its preferred base. A driver's PE checksum, when the file has one (not 0),
// must match the file's contents; a library's is not checked, as Windows checks only
// drivers and boot-time DLLs.
#include "ImageRegistry.h"
#include "Internal.h"
#include "host/Image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

namespace host {
namespace {

constexpr std::uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::uint16_t kSubsystemWindowsGui = 2;
constexpr std::uint16_t kSubsystemWindowsConsole = 3;
constexpr std::uint16_t kFileRelocationsStripped = 0x0001;
constexpr std::uint16_t kFileDll = 0x2000;
constexpr std::uint32_t kSectionUninitialisedData = 0x00000080;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;
constexpr std::uint16_t kRelocationAbsolute = 0;
constexpr std::uint16_t kRelocationDir64 = 10;
constexpr std::uint64_t kImportByOrdinal = 0x8000000000000000ull;

constexpr std::size_t kDirectoryExport = 0;
constexpr std::size_t kDirectoryImport = 1;
constexpr std::size_t kDirectoryRelocation = 5;

constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kLargestFile = 64u << 20;
constexpr std::size_t kLargestImage = 256u << 20;

std::size_t PageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

std::size_t RoundUp(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string FileName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Little-endian reads from a byte range; every caller checked the bounds.
template <typename Value>
Value Get(const std::uint8_t* at) {
    Value value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct SectionHeader {
    std::string name;
    std::uint32_t virtualSize;
    std::uint32_t rva;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
    std::uint32_t characteristics;
};

// What the headers say, checked against the file.
struct Headers {
    std::uint16_t fileCharacteristics = 0;
    std::uint32_t entryRva = 0;
    std::uint64_t preferredBase = 0;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t imageSize = 0;
    std::uint32_t headerSize = 0;
    std::uint32_t checksum = 0;
    std::size_t checksumOffset = 0;
    std::uint16_t subsystem = 0;
    DataDirectory directories[16];
    std::vector<SectionHeader> sections;
};

// Refusals carry the reason only; LoadImage puts the file name in front.
struct Refusal {
    std::string reason;
};

[[noreturn]] void Refuse(std::string reason) { throw Refusal{std::move(reason)}; }

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) Refuse("cannot be read");
    file.seekg(0, std::ios::end);
    const auto length = static_cast<std::streamoff>(file.tellg());
    if (length < 0) Refuse("cannot be read");
    if (static_cast<std::uint64_t>(length) > kLargestFile)
        Refuse("is larger than " + std::to_string(kLargestFile >> 20) + " MiB");
    file.seekg(0);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    if (!bytes.empty() && !file.read(reinterpret_cast<char*>(bytes.data()), length))
        Refuse("cannot be read");
    return bytes;
}

// The usual PE checksum: 16-bit one's-complement-style sum of the file with its checksum
// field taken as zero, folded, plus the file's length.
std::uint32_t Checksum(const std::vector<std::uint8_t>& file, std::size_t checksumOffset) {
    std::uint64_t sum = 0;
    for (std::size_t offset = 0; offset < file.size(); offset += 2) {
        if (offset >= checksumOffset && offset < checksumOffset + 4) continue;
        std::uint32_t word = file[offset];
        if (offset + 1 < file.size()) word |= static_cast<std::uint32_t>(file[offset + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

Headers ReadHeaders(const std::vector<std::uint8_t>& file, ImageKind kind) {
    const std::uint8_t* const bytes = file.data();
    const std::size_t length = file.size();
    if (length < 64 || Get<std::uint16_t>(bytes) != kDosSignature)
        Refuse("not a PE image (no MZ header)");
    const std::uint32_t peOffset = Get<std::uint32_t>(bytes + 60);
    if (std::uint64_t{peOffset} + 4 + kCoffHeaderSize > length)
        Refuse(peOffset < length ? "truncated: the file ends inside the PE header"
                                 : "not a PE image (its PE header lies beyond the file)");
    if (Get<std::uint32_t>(bytes + peOffset) != kPeSignature)
        Refuse("not a PE image (no PE signature)");
    const std::uint8_t* const coff = bytes + peOffset + 4;
    const auto machine = Get<std::uint16_t>(coff);
    if (machine != kMachineAmd64)
        Refuse("machine " + Hex(machine) + " is not AMD64 (0x8664): wrong architecture");
    const auto sectionCount = Get<std::uint16_t>(coff + 2);
    const auto optionalSize = Get<std::uint16_t>(coff + 16);
    Headers headers;
    headers.fileCharacteristics = Get<std::uint16_t>(coff + 18);

    const std::size_t optionalOffset = peOffset + 4 + kCoffHeaderSize;
    if (optionalSize < 112)
        Refuse("optional header of " + std::to_string(optionalSize) +
               " bytes is too small for PE32+");
    if (optionalOffset + optionalSize > length)
        Refuse("truncated: the file ends inside the optional header");
    const std::uint8_t* const optional = bytes + optionalOffset;
    if (Get<std::uint16_t>(optional) != kOptionalMagicPe32Plus)
        Refuse("not a PE32+ image (optional header magic " + Hex(Get<std::uint16_t>(optional)) +
               ")");
    headers.entryRva = Get<std::uint32_t>(optional + 16);
    headers.preferredBase = Get<std::uint64_t>(optional + 24);
    headers.sectionAlignment = Get<std::uint32_t>(optional + 32);
    headers.imageSize = Get<std::uint32_t>(optional + 56);
    headers.headerSize = Get<std::uint32_t>(optional + 60);
    headers.checksumOffset = optionalOffset + 64;
    headers.checksum = Get<std::uint32_t>(optional + 64);
    headers.subsystem = Get<std::uint16_t>(optional + 68);
    const std::uint32_t directoryCount =
        std::min<std::uint32_t>(Get<std::uint32_t>(optional + 108), 16);
    if (112 + std::size_t{directoryCount} * 8 > optionalSize)
        Refuse("optional header too small for its " + std::to_string(directoryCount) +
               " data directories");
    for (std::size_t index = 0; index < directoryCount; ++index) {
        headers.directories[index].rva = Get<std::uint32_t>(optional + 112 + index * 8);
        headers.directories[index].size = Get<std::uint32_t>(optional + 116 + index * 8);
    }

    if (kind == ImageKind::Driver && headers.subsystem != kSubsystemNative)
        Refuse("subsystem " + std::to_string(headers.subsystem) +
               " is not native (1): not a kernel-mode driver");
    if (kind == ImageKind::Library && ((headers.fileCharacteristics & kFileDll) == 0 ||
                                       (headers.subsystem != kSubsystemWindowsGui &&
                                        headers.subsystem != kSubsystemWindowsConsole)))
        Refuse("not a Windows DLL (characteristics " + Hex(headers.fileCharacteristics) +
               ", subsystem " + std::to_string(headers.subsystem) + ")");

    const std::size_t page = PageSize();
    if (headers.sectionAlignment < page ||
        (headers.sectionAlignment & (headers.sectionAlignment - 1)))
        Refuse("section alignment " + Hex(headers.sectionAlignment) +
               " is not a power of two of at least a page (" + Hex(page) + ")");
    if (headers.imageSize == 0 || headers.imageSize > kLargestImage)
        Refuse("image size " + Hex(headers.imageSize) + " is out of range");
    if (headers.headerSize == 0 || headers.headerSize > length ||
        headers.headerSize > headers.imageSize)
        Refuse("header size " + Hex(headers.headerSize) + " does not fit the file");

    const std::size_t tableOffset = optionalOffset + optionalSize;
    if (sectionCount == 0 || sectionCount > detail::kMaxImageSections)
        Refuse(std::to_string(sectionCount) + " sections (the platform maps 1 to " +
               std::to_string(detail::kMaxImageSections) + ")");
    if (tableOffset + std::size_t{sectionCount} * kSectionHeaderSize > length)
        Refuse("truncated: the file ends inside the section table");
    std::uint64_t previousEnd = RoundUp(headers.headerSize, page);
    for (std::size_t index = 0; index < sectionCount; ++index) {
        const std::uint8_t* const at = bytes + tableOffset + index * kSectionHeaderSize;
        SectionHeader section;
        const char* const name = reinterpret_cast<const char*>(at);
        section.name.assign(name, strnlen(name, 8));
        section.virtualSize = Get<std::uint32_t>(at + 8);
        section.rva = Get<std::uint32_t>(at + 12);
        section.rawSize = Get<std::uint32_t>(at + 16);
        section.rawOffset = Get<std::uint32_t>(at + 20);
        section.characteristics = Get<std::uint32_t>(at + 36);
        const std::uint64_t extent =
            section.virtualSize != 0 ? section.virtualSize : section.rawSize;
        if (section.rva % headers.sectionAlignment != 0 || section.rva < previousEnd ||
            section.rva + extent > headers.imageSize)
            Refuse("section " + section.name + " at RVA " + Hex(section.rva) +
                   " is misplaced (unaligned, overlapping or beyond the image size)");
        previousEnd = section.rva + RoundUp(extent, headers.sectionAlignment);
        if ((section.characteristics & kSectionUninitialisedData) == 0 && section.rawSize != 0 &&
            std::uint64_t{section.rawOffset} + section.rawSize > length)
            Refuse("truncated: section " + section.name + " needs bytes up to " +
                   Hex(std::uint64_t{section.rawOffset} + section.rawSize) + ", the file has " +
                   Hex(length));
        headers.sections.push_back(section);
    }
    for (std::size_t index = 0; index < 16; ++index) {
        const auto& directory = headers.directories[index];
        if (directory.size != 0 &&
            std::uint64_t{directory.rva} + directory.size > headers.imageSize)
            Refuse("data directory " + std::to_string(index) + " lies beyond the image");
    }
    if (headers.entryRva != 0) {
        const auto holder = std::find_if(
            headers.sections.begin(), headers.sections.end(), [&](const SectionHeader& section) {
                return headers.entryRva >= section.rva &&
                       headers.entryRva <
                           section.rva + std::max(section.virtualSize, section.rawSize);
            });
        if (holder == headers.sections.end() || (holder->characteristics & kSectionExecute) == 0)
            Refuse("entry point RVA " + Hex(headers.entryRva) + " lies outside its code");
    } else if (kind == ImageKind::Driver) {
        Refuse("a driver without an entry point");
    }
    if (kind == ImageKind::Driver && headers.checksum != 0) {
        const std::uint32_t computed = Checksum(file, headers.checksumOffset);
        if (computed != headers.checksum)
            Refuse("checksum " + Hex(headers.checksum) + " does not match its contents (" +
                   Hex(computed) + ")");
    }
    return headers;
}

int ProtectionOf(std::uint32_t characteristics) {
    int protection = PROT_READ;
    if (characteristics & kSectionExecute) protection |= PROT_EXEC;
    if (characteristics & kSectionWrite) protection |= PROT_WRITE;
    return protection;
}

// The mapped copy while it is being prepared; unmapped again unless Keep() was called.
class ImageMapping {
  public:
    explicit ImageMapping(std::size_t size) : size_(size) {
        void* base =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) Refuse("cannot be mapped: out of address space");
        base_ = static_cast<std::uint8_t*>(base);
        detail::CountImageBytes(static_cast<std::ptrdiff_t>(size_));
    }
    ImageMapping(std::size_t size, std::uint64_t fixedBase) : size_(size) {
        void* base = mmap(reinterpret_cast<void*>(fixedBase), size, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (base != MAP_FAILED && base != reinterpret_cast<void*>(fixedBase)) munmap(base, size);
        if (base == MAP_FAILED || base != reinterpret_cast<void*>(fixedBase))
            Refuse("its relocations were stripped and its preferred base " + Hex(fixedBase) +
                   " is taken");
        base_ = static_cast<std::uint8_t*>(base);
        detail::CountImageBytes(static_cast<std::ptrdiff_t>(size_));
    }
    ~ImageMapping() {
        if (base_ == nullptr) return;
        munmap(base_, size_);
        detail::CountImageBytes(-static_cast<std::ptrdiff_t>(size_));
    }
    ImageMapping(const ImageMapping&) = delete;
    ImageMapping& operator=(const ImageMapping&) = delete;

    std::uint8_t* At(std::uint64_t rva) const { return base_ + rva; }
    std::uintptr_t Base() const { return reinterpret_cast<std::uintptr_t>(base_); }
    std::size_t Size() const { return size_; }
    // True when [rva, rva + bytes) lies inside the image.
    bool Holds(std::uint64_t rva, std::uint64_t bytes) const {
        return rva <= size_ && bytes <= size_ - rva;
    }
    // A NUL-terminated string at `rva` inside the image, or refuses naming `what`.
    std::string StringAt(std::uint64_t rva, const std::string& what) const {
        if (!Holds(rva, 1)) Refuse(what + " lies beyond the image");
        const char* const text = reinterpret_cast<const char*>(At(rva));
        const std::size_t limit = size_ - rva;
        const std::size_t length = strnlen(text, limit);
        if (length == limit) Refuse(what + " runs off the end of the image");
        return std::string(text, length);
    }
    void Keep() { base_ = nullptr; }

  private:
    std::uint8_t* base_ = nullptr;
    std::size_t size_;
};

void CopySections(const std::vector<std::uint8_t>& file, const Headers& headers,
                  ImageMapping& image) {
    std::memcpy(image.At(0), file.data(), headers.headerSize);
    for (const SectionHeader& section : headers.sections) {
        if (section.characteristics & kSectionUninitialisedData) continue;
        const std::uint32_t bytes = section.virtualSize != 0
                                        ? std::min(section.rawSize, section.virtualSize)
                                        : section.rawSize;
        if (bytes != 0) std::memcpy(image.At(section.rva), file.data() + section.rawOffset, bytes);
    }
}

void ApplyRelocations(const Headers& headers, ImageMapping& image) {
    const DataDirectory& directory = headers.directories[kDirectoryRelocation];
    const std::uint64_t delta = image.Base() - headers.preferredBase;
    std::uint32_t offset = 0;
    while (offset < directory.size) {
        const std::string where = "relocation block at RVA " + Hex(directory.rva + offset);
        if (directory.size - offset < 8) Refuse("malformed " + where + ": truncated block header");
        const std::uint8_t* const block = image.At(directory.rva + offset);
        const auto page = Get<std::uint32_t>(block);
        const auto blockSize = Get<std::uint32_t>(block + 4);
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > directory.size - offset)
            Refuse("malformed " + where + ": block size " + Hex(blockSize));
        for (std::uint32_t entry = 8; entry < blockSize; entry += 2) {
            const auto value = Get<std::uint16_t>(block + entry);
            const std::uint16_t type = value >> 12;
            const std::uint64_t target = std::uint64_t{page} + (value & 0x0FFF);
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationDir64)
                Refuse("malformed " + where + ": relocation type " + std::to_string(type) +
                       " is not one a PE32+ image uses");
            if (!image.Holds(target, 8))
                Refuse("malformed " + where + ": target RVA " + Hex(target) +
                       " lies beyond the image");
            std::uint64_t address = Get<std::uint64_t>(image.At(target));
            address += delta;
            std::memcpy(image.At(target), &address, sizeof address);
        }
        offset += blockSize;
    }
}

void BindImports(const Headers& headers, ImageMapping& image, ImageKind kind) {
    const DataDirectory& directory = headers.directories[kDirectoryImport];
    if (directory.size == 0) return;
    const std::string_view provided = kind == ImageKind::Driver ? "ntoskrnl.exe" : "KERNEL32.dll";
    for (std::uint64_t descriptor = directory.rva;; descriptor += 20) {
        if (!image.Holds(descriptor, 20)) Refuse("import directory runs off the end of the image");
        const std::uint8_t* const at = image.At(descriptor);
        const auto lookupRva = Get<std::uint32_t>(at);
        const auto nameRva = Get<std::uint32_t>(at + 12);
        const auto addressRva = Get<std::uint32_t>(at + 16);
        if (lookupRva == 0 && nameRva == 0 && addressRva == 0) break;
        const std::string dll = image.StringAt(nameRva, "an import's DLL name");
        if (!detail::EqualsIgnoreCase(dll, provided))
            Refuse("imports from " + dll + ", which the platform does not provide (only " +
                   std::string(provided) + ")");
        const std::uint64_t names = lookupRva != 0 ? lookupRva : addressRva;
        for (std::uint64_t index = 0;; ++index) {
            if (!image.Holds(names + index * 8, 8) || !image.Holds(addressRva + index * 8, 8))
                Refuse("import table of " + dll + " runs off the end of the image");
            const auto thunk = Get<std::uint64_t>(image.At(names + index * 8));
            if (thunk == 0) break;
            if (thunk & kImportByOrdinal)
                Refuse("imports ordinal " + std::to_string(thunk & 0xFFFF) + " from " + dll +
                       ", which the platform does not provide (imports are bound by name)");
            const std::string routine =
                image.StringAt((thunk & 0x7FFFFFFF) + 2, "an import's name");
            void* const address = detail::FindPlatformExport(provided, routine);
            if (address == nullptr) {
                std::string reason = "imports " + routine;
                reason += " from " + dll + ", a routine the platform does not provide";
                Refuse(reason);
            }
            const auto value = reinterpret_cast<std::uint64_t>(address);
            std::memcpy(image.At(addressRva + index * 8), &value, sizeof value);
        }
    }
}

void Protect(const Headers& headers, ImageMapping& image) {
    const std::size_t page = PageSize();
    mprotect(image.At(0), image.Size(), PROT_NONE);
    mprotect(image.At(0), RoundUp(headers.headerSize, page), PROT_READ);
    for (const SectionHeader& section : headers.sections) {
        const std::uint32_t extent =
            section.virtualSize != 0 ? section.virtualSize : section.rawSize;
        if (extent == 0) continue;
        mprotect(image.At(section.rva), RoundUp(extent, page),
                 ProtectionOf(section.characteristics));
    }
}

void Describe(const std::string& path, const Headers& headers, std::uintptr_t base,
              detail::ImageRecord& record) {
    const std::string name = FileName(path);
    std::snprintf(record.name, sizeof record.name, "%s", name.c_str());
    record.begin = base;
    record.end = base + RoundUp(headers.imageSize, PageSize());
    record.sectionCount = headers.sections.size();
    for (std::size_t index = 0; index < headers.sections.size(); ++index) {
        const SectionHeader& section = headers.sections[index];
        detail::SectionRecord& out = record.sections[index];
        std::snprintf(out.name, sizeof out.name, "%s", section.name.c_str());
        out.rva = section.rva;
        out.size = static_cast<std::uint32_t>(
            RoundUp(section.virtualSize != 0 ? section.virtualSize : section.rawSize, PageSize()));
        out.protection = ProtectionOf(section.characteristics);
        out.discarded.store(false);
    }
}

}  // namespace

std::unique_ptr<LoadedImage> LoadImage(const std::string& path, ImageKind kind) {
    detail::InstallImageFaultHandlers();
    int slot = -1;
    try {
        const std::vector<std::uint8_t> file = ReadFile(path);
        const Headers headers = ReadHeaders(file, kind);
        const std::size_t size = RoundUp(headers.imageSize, PageSize());
        const bool relocatable = headers.directories[kDirectoryRelocation].size != 0 ||
                                 (headers.fileCharacteristics & kFileRelocationsStripped) == 0;
        std::unique_ptr<ImageMapping> image =
            relocatable ? std::make_unique<ImageMapping>(size)
                        : std::make_unique<ImageMapping>(size, headers.preferredBase);
        CopySections(file, headers, *image);
        ApplyRelocations(headers, *image);
        BindImports(headers, *image, kind);
        Protect(headers, *image);

        slot = detail::ClaimImageSlot();
        if (slot < 0)
            Refuse("cannot be mapped: " + std::to_string(detail::kMaxImages) +
                   " images are loaded already");
        Describe(path, headers, image->Base(), detail::ImageRecords()[slot]);
        auto loaded = std::unique_ptr<LoadedImage>(new LoadedImage());
        loaded->path_ = path;
        loaded->base_ = image->Base();
        loaded->size_ = image->Size();
        loaded->slot_ = slot;
        loaded->entryRva_ = headers.entryRva;
        loaded->exports_ = {headers.directories[kDirectoryExport].rva,
                            headers.directories[kDirectoryExport].size};
        image->Keep();
        detail::PublishImageSlot(slot);
        return loaded;
    } catch (const Refusal& refusal) {
        if (slot >= 0) detail::ReleaseImageSlot(slot);
        throw ImageError(path + ": " + refusal.reason);
    }
}

}  // namespace host

// ---------------------------------------------------------------------------------------
// The loaded image
// ---------------------------------------------------------------------------------------
namespace host {

LoadedImage::~LoadedImage() { detail::RetireImageSlot(slot_); }

void* LoadedImage::EntryPoint() const {
    return entryRva_ == 0 ? nullptr : reinterpret_cast<void*>(base_ + entryRva_);
}

namespace {

bool InImage(std::size_t imageSize, std::uint64_t rva, std::uint64_t bytes) {
    return rva <= imageSize && bytes <= imageSize - rva;
}

}  // namespace

void* LoadedImage::Export(unsigned ordinal) const {
    if (exports_.size < 40 || !InImage(size_, exports_.rva, 40)) return nullptr;
    const auto* const directory = reinterpret_cast<const std::uint8_t*>(base_ + exports_.rva);
    const auto ordinalBase = Get<std::uint32_t>(directory + 16);
    const auto functionCount = Get<std::uint32_t>(directory + 20);
    const auto functions = Get<std::uint32_t>(directory + 28);
    if (ordinal < ordinalBase || ordinal - ordinalBase >= functionCount ||
        !InImage(size_, functions, std::uint64_t{functionCount} * 4))
        return nullptr;
    const auto rva = Get<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(
        base_ + functions + std::uint64_t{ordinal - ordinalBase} * 4));
    // An address inside the export directory forwards to another DLL: nothing here.
    if (rva == 0 || rva >= size_ || (rva >= exports_.rva && rva < exports_.rva + exports_.size))
        return nullptr;
    return reinterpret_cast<void*>(base_ + rva);
}

void* LoadedImage::Export(std::string_view name) const {
    if (exports_.size < 40 || !InImage(size_, exports_.rva, 40)) return nullptr;
    const auto* const directory = reinterpret_cast<const std::uint8_t*>(base_ + exports_.rva);
    const auto ordinalBase = Get<std::uint32_t>(directory + 16);
    const auto nameCount = Get<std::uint32_t>(directory + 24);
    const auto names = Get<std::uint32_t>(directory + 32);
    const auto nameOrdinals = Get<std::uint32_t>(directory + 36);
    if (!InImage(size_, names, std::uint64_t{nameCount} * 4) ||
        !InImage(size_, nameOrdinals, std::uint64_t{nameCount} * 2))
        return nullptr;
    for (std::size_t index = 0; index < nameCount; ++index) {
        const auto nameRva =
            Get<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(base_ + names + index * 4));
        if (nameRva >= size_) continue;
        const char* const text = reinterpret_cast<const char*>(base_ + nameRva);
        if (std::string_view(text, strnlen(text, size_ - nameRva)) != name) continue;
        const auto slot = Get<std::uint16_t>(
            reinterpret_cast<const std::uint8_t*>(base_ + nameOrdinals + index * 2));
        return Export(ordinalBase + slot);
    }
    return nullptr;
}

void LoadedImage::DiscardInit() { detail::DiscardInit(slot_); }

std::vector<ImageSection> LoadedImage::Sections() const {
    const detail::ImageRecord& record = detail::ImageRecords()[slot_];
    std::vector<ImageSection> sections;
    for (std::size_t index = 0; index < record.sectionCount; ++index) {
        const detail::SectionRecord& section = record.sections[index];
        sections.push_back(ImageSection{
            section.name, section.rva, section.size, (section.protection & PROT_EXEC) != 0,
            (section.protection & PROT_WRITE) != 0, section.discarded.load()});
    }
    return sections;
}

}  // namespace host

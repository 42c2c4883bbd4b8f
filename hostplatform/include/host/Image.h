// Windows x64 images on the host: the shipped driver (.sys) and library (.dll) loaded and
// run natively under the simulated platform.
//
// LoadImage maps a PE32+ file the way the Windows loader does: every section with its own
// protection (code read+execute, data read+write, read-only data read-only), base
// relocations applied, imports bound by name to the platform's own routines (ntoskrnl.exe
// for a driver, KERNEL32.dll for a library). A file it cannot load is refused with an
// ImageError whose message names the file and the reason; nothing stays mapped.
//
// Code in an image runs as ordinary host code, with two differences the platform takes
// care of. Its port instructions (`in al,dx`, `out dx,al` and the forms with an 8-bit port
// number) trap; the platform carries them out on the simulated ISA bus and resumes after
// them. Any other fault in image code (another privileged instruction, an access
// violation, a call into discarded INIT code, a jump to unmapped memory) stops the
// machine, as a bug check would: the fault becomes a verifier report of kind ImageFault
// naming the fault, the image, the section and the RVA, the images' code no longer runs,
// and the platform's call into the image returns with CallImageCode reporting false.
// Faults outside image code go on to whatever handler was installed before (so a host
// crash still ends in its sanitizer report).
#pragma once

#include "host/Kernel.h"

#include <csetjmp>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace host {

enum class ImageKind {
    Driver,   // native subsystem, imports from ntoskrnl.exe only
    Library,  // a DLL, imports from KERNEL32.dll only
};

// Why an image was refused; what() reads "<file>: <reason>".
class ImageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ImageSection {
    std::string name;
    std::uint32_t rva;
    std::uint32_t size;  // bytes mapped for it, a whole number of pages
    bool executable;
    bool writable;
    bool discarded;  // INIT once its driver's entry returned
};

class LoadedImage {
  public:
    ~LoadedImage();  // unmaps the image
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    const std::string& Path() const { return path_; }
    std::uintptr_t Base() const { return base_; }
    std::size_t Size() const { return size_; }
    // The entry point (DriverEntry, DllMain); NULL when the image declares none.
    void* EntryPoint() const;
    // An exported routine or variable; NULL when the image exports no such name or ordinal.
    void* Export(std::string_view name) const;
    void* Export(unsigned ordinal) const;
    // Makes the INIT section inaccessible, as Windows discards it once DriverEntry returned.
    void DiscardInit();
    std::vector<ImageSection> Sections() const;

  private:
    friend std::unique_ptr<LoadedImage> LoadImage(const std::string& path, ImageKind kind);
    LoadedImage() = default;

    std::string path_;
    std::uintptr_t base_ = 0;
    std::size_t size_ = 0;
    int slot_ = -1;  // the image's place in the fault handler's table
    std::uint32_t entryRva_ = 0;
    struct {
        std::uint32_t rva = 0;
        std::uint32_t size = 0;
    } exports_;
};

// Reads `path` afresh and maps it: each load is a new copy, whose variables start from the
// file's initial values. Throws ImageError.
std::unique_ptr<LoadedImage> LoadImage(const std::string& path, ImageKind kind);

// Bytes of address space the loader holds now: images loaded, reservations of unloaded
// ones (kept until ResetPlatform) and nothing else; a refused load leaves it unchanged.
std::size_t ImageMappedBytes();

namespace detail {

struct ImageRecoveryPoint {
    sigjmp_buf jump;
    ImageRecoveryPoint* outer;
};
// Whether a call to `routine` must be guarded: while any image is loaded, every call into
// driver or library code is, since a routine address the image stored may be garbage.
bool ImageGuardWanted(const void* routine);
// Pushes `point` as the calling thread's innermost recovery point; false (and nothing
// pushed) when the machine is stopped.
bool EnterImageCall(ImageRecoveryPoint* point);
void LeaveImageCall(ImageRecoveryPoint* point);
// Runs after the fault handler jumped back to `point`: pops it, unblocks the fault signals
// and reports the fault (the first of a machine only).
void RecoverFromImageFault(ImageRecoveryPoint* point);

}  // namespace detail

namespace detail {
template <typename Result, typename Routine, typename... Arguments>
void Invoke(Result* result, Routine routine, Arguments... arguments) {
    if constexpr (std::is_void_v<Result>) {
        routine(arguments...);
    } else {
        *result = routine(arguments...);
    }
}
}  // namespace detail

// Calls `routine(arguments...)`, which may lie in an image, and stores what it returns in
// `*result`. Returns false, leaving `*result` alone, when the image faulted during the
// call or the machine was stopped already (then nothing is called). Host routines are
// called straight away while no image is loaded.
template <typename Result, typename Routine, typename... Arguments>
bool CallImageCode(Result* result, Routine routine, Arguments... arguments) {
    if (!detail::ImageGuardWanted(reinterpret_cast<const void*>(routine))) {
        detail::Invoke(result, routine, arguments...);
        return true;
    }
    detail::ImageRecoveryPoint point;
    if (!detail::EnterImageCall(&point)) return false;
    if (sigsetjmp(point.jump, 0) != 0) {
        detail::RecoverFromImageFault(&point);
        return false;
    }
    detail::Invoke(result, routine, arguments...);
    detail::LeaveImageCall(&point);
    return true;
}

// The same for a routine that returns nothing.
template <typename Routine, typename... Arguments>
bool CallImageCodeNoResult(Routine routine, Arguments... arguments) {
    return CallImageCode(static_cast<void*>(nullptr), routine, arguments...);
}

}  // namespace host

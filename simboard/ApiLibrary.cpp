#include "ApiLibrary.h"

#include "host/Image.h"
#include "host/Platform.h"
#include "host/Win32.h"

#include <cstdio>
#include <utility>

namespace simboard {
namespace {

// The library's exports: ordinal and name.
struct Exported {
    unsigned ordinal;
    const char* name;
};
constexpr Exported kDeviceClose{1, "Railwatch_DeviceClose"};
constexpr Exported kDeviceOpen{2, "Railwatch_DeviceOpen"};
constexpr Exported kGet{3, "Railwatch_Get"};
constexpr Exported kGetErrorMessage{4, "Railwatch_GetErrorMessage"};

using DllMainRoutine = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

std::string Hex(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// The export's address, found both ways; throws when either is missing or they differ.
template <typename Routine>
Routine Find(const host::LoadedImage& image, const Exported& exported) {
    void* const byName = image.Export(exported.name);
    void* const byOrdinal = image.Export(exported.ordinal);
    const std::string what =
        std::string(exported.name) + " (ordinal " + std::to_string(exported.ordinal) + ")";
    if (byName == nullptr || byOrdinal == nullptr) {
        throw host::ImageError(image.Path() + ": does not export " + what +
                               (byName != nullptr      ? " by ordinal"
                                : byOrdinal != nullptr ? " by name"
                                                       : ""));
    }
    if (byName != byOrdinal) {
        const auto rva = [&](void* address) {
            return Hex(reinterpret_cast<std::uintptr_t>(address) - image.Base());
        };
        throw host::ImageError(image.Path() + ": " + what + ": the name leads to RVA " +
                               rva(byName) + ", the ordinal to RVA " + rva(byOrdinal));
    }
    return reinterpret_cast<Routine>(byName);
}

}  // namespace

struct ApiLibrary::Image {
    std::unique_ptr<host::LoadedImage> mapped;
    DllMainRoutine dllMain = nullptr;  // the entry point; none when the image declares none

    HINSTANCE Instance() const { return reinterpret_cast<HINSTANCE>(mapped->Base()); }
};

ApiLibrary::ApiLibrary(std::string name, const EntryPoints& entryPoints,
                       std::unique_ptr<Image> image)
    : name_(std::move(name)), entryPoints_(entryPoints), image_(std::move(image)) {}

ApiLibrary::~ApiLibrary() {
    if (image_ && image_->dllMain != nullptr) {
        BOOL ignored = FALSE;
        host::CallImageCode(&ignored, image_->dllMain, image_->Instance(),
                            DWORD{DLL_PROCESS_DETACH}, LPVOID{nullptr});
    }
}

std::unique_ptr<ApiLibrary> ApiLibrary::BuiltIn() {
    const EntryPoints builtIn{Railwatch_DeviceOpen, Railwatch_Get, Railwatch_DeviceClose,
                              Railwatch_GetErrorMessage};
    return std::unique_ptr<ApiLibrary>(new ApiLibrary("built-in", builtIn, nullptr));
}

std::unique_ptr<ApiLibrary> ApiLibrary::LoadImage(const std::string& path, std::string& error) {
    auto image = std::make_unique<Image>();
    EntryPoints entryPoints{};
    try {
        image->mapped = host::LoadImage(path, host::ImageKind::Library);
        const host::LoadedImage& mapped = *image->mapped;
        entryPoints.deviceOpen = Find<decltype(entryPoints.deviceOpen)>(mapped, kDeviceOpen);
        entryPoints.get = Find<decltype(entryPoints.get)>(mapped, kGet);
        entryPoints.deviceClose = Find<decltype(entryPoints.deviceClose)>(mapped, kDeviceClose);
        entryPoints.getErrorMessage =
            Find<decltype(entryPoints.getErrorMessage)>(mapped, kGetErrorMessage);
    } catch (const host::ImageError& refusal) {
        error = refusal.what();
        return nullptr;  // the image, if mapped, is unmapped on the way out
    }

    // As Windows does, a library whose DllMain refuses the attach is detached and unloaded.
    image->dllMain = reinterpret_cast<DllMainRoutine>(image->mapped->EntryPoint());
    if (image->dllMain != nullptr) {
        BOOL attached = FALSE;
        if (!host::CallImageCode(&attached, image->dllMain, image->Instance(),
                                 DWORD{DLL_PROCESS_ATTACH}, LPVOID{nullptr})) {
            error = path + ": DllMain faulted at DLL_PROCESS_ATTACH: " + host::FormatReports();
            return nullptr;
        }
        if (!attached) {
            BOOL ignored = FALSE;
            host::CallImageCode(&ignored, image->dllMain, image->Instance(),
                                DWORD{DLL_PROCESS_DETACH}, LPVOID{nullptr});
            error = path + ": DllMain returned FALSE for DLL_PROCESS_ATTACH";
            return nullptr;
        }
    }
    return std::unique_ptr<ApiLibrary>(new ApiLibrary(path, entryPoints, std::move(image)));
}

ApiLibrary::Range ApiLibrary::Mapped() const {
    if (!image_) return {};
    return {image_->mapped->Base(), image_->mapped->Size()};
}

std::unique_ptr<ApiLibrary> ApiLibrary::Choose(const std::string& imagePath, std::string& error) {
    return imagePath.empty() ? BuiltIn() : LoadImage(imagePath, error);
}

template <typename Routine, typename... Arguments>
int ApiLibrary::Call(Routine routine, Arguments... arguments) const {
    if (!image_) {
        return routine(arguments...);
    }
    int result = kFaulted;
    host::CallImageCode(&result, routine, arguments...);
    return result;
}

int ApiLibrary::DeviceOpen(DEVICE_HANDLE** phDevice) const {
    return Call(entryPoints_.deviceOpen, phDevice);
}

int ApiLibrary::Get(DEVICE_HANDLE* hDevice, unsigned char index, unsigned char* pStatus) const {
    return Call(entryPoints_.get, hDevice, index, pStatus);
}

int ApiLibrary::DeviceClose(DEVICE_HANDLE** phDevice) const {
    return Call(entryPoints_.deviceClose, phDevice);
}

int ApiLibrary::GetErrorMessage(unsigned int code, char* buffer) const {
    return Call(entryPoints_.getErrorMessage, code, buffer);
}

}  // namespace simboard

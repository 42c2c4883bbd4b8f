// The API library as the programs on the simulated machine call it: the library built into
// this program (windows/api compiled for the host), or the shipped x64 RailwatchApi.dll
// loaded as an image whose KERNEL32 imports are bound to the host Win32 layer.
//
// Both have the four functions under the Windows x64 calling convention, so a caller holds
// one ApiLibrary and never asks which it is. Each image load maps a fresh copy of the file,
// so the library's process-wide record starts empty, as in a new process.
#pragma once

#include "RailwatchApi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace simboard {

class ApiLibrary {
  public:
    // The library built into this program.
    static std::unique_ptr<ApiLibrary> BuiltIn();

    // Loads the DLL in `path`: maps a fresh copy, binds its KERNEL32 imports, finds the four
    // functions by ordinal and by name (the two must agree) and calls its entry point,
    // DllMain, for DLL_PROCESS_ATTACH. On failure (a file the loader refuses, a function
    // missing, a DllMain that returns FALSE or faults) nothing stays mapped, `error` names
    // the file and the reason, and the result is null.
    static std::unique_ptr<ApiLibrary> LoadImage(const std::string& path, std::string& error);

    // BuiltIn() for an empty path, else LoadImage(path, error).
    static std::unique_ptr<ApiLibrary> Choose(const std::string& imagePath, std::string& error);

    // An image gets DllMain for DLL_PROCESS_DETACH, then is unmapped.
    ~ApiLibrary();
    ApiLibrary(const ApiLibrary&) = delete;
    ApiLibrary& operator=(const ApiLibrary&) = delete;

    // What a call returns when it did not return: the image faulted during it (a verifier
    // report says where) or an earlier fault had stopped the machine. No result code of the
    // library, so every caller takes it as a failure.
    static constexpr int kFaulted = -1;

    // The library's four functions, called in the calling thread.
    int DeviceOpen(DEVICE_HANDLE** phDevice) const;
    int Get(DEVICE_HANDLE* hDevice, unsigned char index, unsigned char* pStatus) const;
    int DeviceClose(DEVICE_HANDLE** phDevice) const;
    int GetErrorMessage(unsigned int code, char* buffer) const;

    bool IsImage() const { return image_ != nullptr; }
    // Where the image lies in memory (for profiles); nothing for the built-in library.
    struct Range {
        std::uintptr_t base = 0;
        std::size_t size = 0;
    };
    Range Mapped() const;
    // "built-in", or the image's file.
    const std::string& Name() const { return name_; }

  private:
    struct EntryPoints {
        int(RAILWATCH_CALL* deviceOpen)(DEVICE_HANDLE**);
        int(RAILWATCH_CALL* get)(DEVICE_HANDLE*, unsigned char, unsigned char*);
        int(RAILWATCH_CALL* deviceClose)(DEVICE_HANDLE**);
        int(RAILWATCH_CALL* getErrorMessage)(unsigned int, char*);
    };
    struct Image;

    ApiLibrary(std::string name, const EntryPoints& entryPoints, std::unique_ptr<Image> image);

    template <typename Routine, typename... Arguments>
    int Call(Routine routine, Arguments... arguments) const;

    std::string name_;
    EntryPoints entryPoints_;
    std::unique_ptr<Image> image_;
};

}  // namespace simboard

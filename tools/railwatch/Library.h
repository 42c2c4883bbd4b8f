// The API library that railwatch calls. The Windows tool calls the RailwatchApi.dll it is
// linked with. The host tool calls the library built into it or, with --api-image, the
// shipped x64 RailwatchApi.dll loaded as an image (simboard::ApiLibrary); the board options
// choose, and a LibraryChoice holds the choice while the commands run.
#pragma once

#include "RailwatchApi.h"

#ifndef _WIN32
#include "ApiLibrary.h"

#include <memory>
#include <string>
#endif

namespace railwatch {

#ifdef _WIN32

class Library {
  public:
    int DeviceOpen(DEVICE_HANDLE** phDevice) const { return Railwatch_DeviceOpen(phDevice); }
    int Get(DEVICE_HANDLE* hDevice, unsigned char index, unsigned char* pStatus) const {
        return Railwatch_Get(hDevice, index, pStatus);
    }
    int DeviceClose(DEVICE_HANDLE** phDevice) const { return Railwatch_DeviceClose(phDevice); }
    int GetErrorMessage(unsigned int code, char* buffer) const {
        return Railwatch_GetErrorMessage(code, buffer);
    }
};

#else

using Library = simboard::ApiLibrary;

// Loads the library named by the board options (the built-in one when none is named) and
// makes it the one TheLibrary() returns while this lives.
class LibraryChoice {
  public:
    explicit LibraryChoice(const std::string& apiImage);
    ~LibraryChoice();
    LibraryChoice(const LibraryChoice&) = delete;
    LibraryChoice& operator=(const LibraryChoice&) = delete;

    // False when the image cannot be loaded; Refusal() then names the file and the reason.
    bool Loaded() const { return library_ != nullptr; }
    const std::string& Refusal() const { return refusal_; }

  private:
    std::string refusal_;  // before library_, which Choose() fills it for
    std::unique_ptr<Library> library_;
};

#endif

// The library the commands call (the host tool: the built-in one while no LibraryChoice
// lives).
const Library& TheLibrary();

}  // namespace railwatch

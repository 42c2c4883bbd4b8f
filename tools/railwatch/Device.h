// The library's open device and the readings railwatch takes through it.
#pragma once

#include "RailwatchApi.h"

#include <string>

namespace railwatch {

// The library's message for a result code, or "Railwatch result code N" for a code
// without one.
std::string Message(int code);

// Both supplies at one moment, or the library's result code when they could not be read:
// then neither supply is known, and systemError holds GetLastError() of the failed call.
struct Reading {
    int result = Railwatch_SUCCESS;
    bool good[2] = {false, false};  // PWR1, PWR2
    unsigned long systemError = 0;

    bool Known() const { return result == Railwatch_SUCCESS; }
    bool operator==(const Reading&) const = default;
};

// The library's one open device for the life of a command.
class Device {
  public:
    Device();
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Reads PWR1 then PWR2; the first failure (of the open, or of a read) makes both unknown.
    Reading Read() const;

    // Closes the device if it is open and opens it again: a monitor that outlives an
    // outage (no driver yet, a device removed) reads through a fresh open.
    void Reopen();

  private:
    void Open();

    DEVICE_HANDLE* handle_ = nullptr;
    int openResult_ = Railwatch_SUCCESS;
    unsigned long openError_ = 0;
};

}  // namespace railwatch

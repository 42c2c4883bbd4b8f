// The library's open device and the readings railwatch takes through it.
#include "Device.h"

#include "Library.h"
#include "Win32Services.h"

#include <cstdio>

namespace railwatch {

std::string Message(int code) {
    char buffer[Railwatch_MESSAGE_BUFFER_SIZE];
    // Codes without a message of the library's own leave the buffer as it is.
    std::snprintf(buffer, sizeof buffer, "Railwatch result code %d", code);
    TheLibrary().GetErrorMessage(static_cast<unsigned int>(code), buffer);
    return buffer;
}

Device::Device() { Open(); }

Device::~Device() {
    if (handle_ != nullptr) {
        TheLibrary().DeviceClose(&handle_);
    }
}

void Device::Open() {
    openResult_ = TheLibrary().DeviceOpen(&handle_);
    openError_ = openResult_ == Railwatch_SUCCESS ? 0 : GetLastError();
}

void Device::Reopen() {
    if (handle_ != nullptr) {
        TheLibrary().DeviceClose(&handle_);
        handle_ = nullptr;
    }
    Open();
}

Reading Device::Read() const {
    Reading reading;
    reading.result = openResult_;
    reading.systemError = openError_;
    for (unsigned char supply = Railwatch_PWR1;
         supply <= Railwatch_PWR2 && reading.result == Railwatch_SUCCESS; ++supply) {
        unsigned char state = 0;
        reading.result = TheLibrary().Get(handle_, supply, &state);
        reading.good[supply - 1] = state != 0;
        if (reading.result != Railwatch_SUCCESS) {
            reading.systemError = GetLastError();
        }
    }
    if (reading.result != Railwatch_SUCCESS) {
        reading.good[0] = reading.good[1] = false;
    }
    return reading;
}

}  // namespace railwatch

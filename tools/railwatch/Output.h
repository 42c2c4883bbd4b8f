// How railwatch writes its readings: text lines, JSON objects, and failures on stderr.
#pragma once

#include "Device.h"

#include <string>
#include <string_view>

namespace railwatch {

inline constexpr const char* kSupplyNames[] = {"PWR1", "PWR2"};

// The local time with milliseconds: "2025-06-02 10:15:00.012".
std::string Timestamp();

// "PWR1: good, PWR2: FAILED" (separator ", ") or with another separator; "unknown" for
// both when the reading failed.
std::string TextReading(const Reading& reading, std::string_view separator);

// {"pwr1": 1, "pwr2": 0}, with a leading "time" field when one is given; unknown states
// are null and the library's message is added as "error". The host build's objects end
// with "simulated": true.
std::string JsonReading(const Reading& reading, const std::string& time = {});

// The library's message for a failed reading, on stderr after what stdout holds so far.
void ReportFailure(const Reading& reading);

}  // namespace railwatch

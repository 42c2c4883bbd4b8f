// How railwatch writes its readings: text lines, JSON objects, and failures on stderr.
#include "Output.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace railwatch {

namespace {

std::string JsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    char text[40] = "";
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms.count()));
    return full;
}

// "PWR1: good, PWR2: FAILED" (separator ", ") or with another separator.
std::string TextReading(const Reading& reading, std::string_view separator) {
    std::string text;
    for (int supply = 0; supply < 2; ++supply) {
        text += supply == 0 ? "" : std::string(separator);
        text += std::string(kSupplyNames[supply]) + ": ";
        text += reading.result != Railwatch_SUCCESS ? "unknown"
                : reading.good[supply]              ? "good"
                                                    : "FAILED";
    }
    return text;
}

// {"pwr1": 1, "pwr2": 0}; unknown states are null and the library's message is added.
std::string JsonReading(const Reading& reading, const std::string& time) {
    std::string json = "{";
    if (!time.empty()) {
        json += "\"time\": " + JsonString(time) + ", ";
    }
    for (int supply = 0; supply < 2; ++supply) {
        json += supply == 0 ? "\"pwr1\": " : ", \"pwr2\": ";
        json += reading.result != Railwatch_SUCCESS ? "null" : reading.good[supply] ? "1" : "0";
    }
    if (reading.result != Railwatch_SUCCESS) {
        json += ", \"error\": " + JsonString(Message(reading.result));
    }
#ifndef _WIN32
    json += ", \"simulated\": true";  // the host build reads a simulated board
#endif
    return json + "}";
}

void ReportFailure(const Reading& reading) {
    std::fflush(stdout);
    std::fprintf(stderr, "railwatch: %s\n", Message(reading.result).c_str());
}

}  // namespace railwatch

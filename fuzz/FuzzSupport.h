// What the fuzz targets share: invariant checks that abort with a readable message (so
// that libFuzzer keeps the input), and the verifier and leak checks every input ends with.
#pragma once

#include "host/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzsupport {

[[noreturn]] inline void Fail(const std::string& message, const char* condition, const char* file,
                              int line) {
    std::fprintf(stderr, "\n*** invariant violated at %s:%d: %s\n*** %s\n", file, line, condition,
                 message.c_str());
    std::fflush(stderr);
    std::abort();
}

// The message is built only when the check fails.
#define FUZZ_CHECK(condition, message)                                                 \
    do {                                                                               \
        if (!(condition)) {                                                            \
            ::fuzzsupport::Fail(std::string(message), #condition, __FILE__, __LINE__); \
        }                                                                              \
    } while (0)

// RAILWATCH_FUZZ_TRACE=1 prints each step of an input (to replay a finding by hand).
inline bool Tracing() {
    static const bool tracing = std::getenv("RAILWATCH_FUZZ_TRACE") != nullptr;
    return tracing;
}

#define FUZZ_TRACE(...)                        \
    do {                                       \
        if (::fuzzsupport::Tracing()) {        \
            std::fprintf(stderr, __VA_ARGS__); \
            std::fputc('\n', stderr);          \
        }                                      \
    } while (0)

inline std::string Hex(unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", value);
    return text;
}

// The verifier has nothing to say.
inline void CheckVerifierSilent(const char* when) {
    FUZZ_CHECK(host::Reports().empty(),
               std::string("verifier reports ") + when + ":\n" + host::FormatReports());
}

// After the driver is gone: nothing left and nothing reported.
inline void CheckNothingLeft() {
    const std::size_t leaks = host::CheckForLeaks();
    FUZZ_CHECK(leaks == 0, "left behind after unload:\n" + host::FormatReports());
    CheckVerifierSilent("at the end of the input");
}

}  // namespace fuzzsupport

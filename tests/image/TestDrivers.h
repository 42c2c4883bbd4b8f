// The small test drivers of tests/image/drivers, built with the mingw-w64 compiler when
// the build found one (scripts/build-test-drivers); tests that need them skip otherwise.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifndef RAILWATCH_TEST_DRIVERS_DIR
#define RAILWATCH_TEST_DRIVERS_DIR ""
#endif

// The path of drivers/NAME.c built as NAME.sys, or "" when the test drivers were not built.
inline std::string TestDriverPath(const std::string& name) {
    const std::filesystem::path folder(RAILWATCH_TEST_DRIVERS_DIR);
    if (folder.empty()) return "";
    const auto path = folder / (name + ".sys");
    return std::filesystem::exists(path) ? path.string() : "";
}

#define REQUIRE_TEST_DRIVER(variable, name)               \
    const std::string variable = TestDriverPath(name);    \
    if (variable.empty())                                 \
    GTEST_SKIP() << "test driver " name                   \
                    ".sys not built: the build found no " \
                    "x86_64-w64-mingw32-gcc (install mingw-w64 and reconfigure)"

// How the platform calls a driver's entry: the Windows x64 convention.
using TestDriverEntry = NTSTATUS(__attribute__((ms_abi)) *)(void* driverObject, void* registryPath);

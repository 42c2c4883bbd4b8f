// Image runs of the driver tests: ctest runs the driver tests a second time with
// RAILWATCH_IMAGE_RUN=1, and then every board runs the shipped RailwatchDrv.sys (from
// $RAILWATCH_DIST, else the source tree's dist/) instead of the built-in driver. Without the
// image those runs skip, saying why; tests that call the driver's internal routines or read
// its globals skip there too (HostBuildOnly).
#pragma once

#include "ShippedBinaries.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

inline bool IsDriverImageRun() {
    const char* run = std::getenv("RAILWATCH_IMAGE_RUN");
    return run != nullptr && std::string(run) == "1";
}

inline std::string ShippedDriverImage() {
    return (simboard::DistFolder() / simboard::kShippedDriverImage).string();
}

// In an image run: the image every board runs, or a skip when it is not there.
#define REQUIRE_DRIVER_IMAGE_IF_IMAGE_RUN()                                          \
    if (IsDriverImageRun() && !simboard::FindShipped(simboard::kShippedDriverImage)) \
    GTEST_SKIP() << "image run without an image: "                                   \
                 << simboard::MissingShipped(simboard::kShippedDriverImage)

// The test calls the driver's internal routines or reads its globals: the built-in driver only.
#define HostBuildOnly()                                                                    \
    if (IsDriverImageRun())                                                                \
    GTEST_SKIP() << "calls the driver's internal routines or reads its globals: built-in " \
                    "driver only"

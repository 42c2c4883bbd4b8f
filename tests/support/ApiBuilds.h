// Which build of the API library a test runs on: the one built into the test program, or
// the shipped x64 RailwatchApi.dll loaded as an image (ShippedBinaries.h says where).
#pragma once

#include <gtest/gtest.h>

#include <string>

enum class ApiBuild { BuiltIn, Image };

inline void PrintTo(ApiBuild build, std::ostream* out) {
    *out << (build == ApiBuild::BuiltIn ? "the built-in library" : "the shipped DLL image");
}

inline std::string ApiBuildName(const ::testing::TestParamInfo<ApiBuild>& info) {
    return info.param == ApiBuild::BuiltIn ? "BuiltIn" : "Image";
}

// Runs every TEST_P of the suite on both builds of the library.
#define RAILWATCH_ON_BOTH_API_BUILDS(suite)  \
    INSTANTIATE_TEST_SUITE_P(Library, suite, \
                             ::testing::Values(ApiBuild::BuiltIn, ApiBuild::Image), ApiBuildName)

// A test of RailwatchApi that runs twice: on the library built into the test program, and on
// the shipped x64 RailwatchApi.dll loaded as an image, a fresh copy for each test (skipped,
// with the reason, when dist/ holds no such DLL). Tests call the library through Api().
#pragma once

#include "ApiBuilds.h"
#include "ApiLibrary.h"
#include "PlatformFixture.h"
#include "ShippedBinaries.h"

#include <memory>
#include <string>

class ApiLibraryTest : public PlatformTest, public ::testing::WithParamInterface<ApiBuild> {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        std::string path;
        if (GetParam() == ApiBuild::Image) {
            const auto found = simboard::FindShipped(simboard::kShippedApiImage);
            if (!found) {
                GTEST_SKIP() << simboard::MissingShipped(simboard::kShippedApiImage);
            }
            path = *found;
        }
        std::string error;
        api_ = simboard::ApiLibrary::Choose(path, error);
        ASSERT_NE(api_, nullptr) << error;
    }

    void TearDown() override {
        api_.reset();
        PlatformTest::TearDown();
    }

    // False when SetUp skipped the test or failed to load the library.
    bool HasLibrary() const { return api_ != nullptr; }
    const simboard::ApiLibrary& Api() const { return *api_; }

  private:
    std::unique_ptr<simboard::ApiLibrary> api_;
};

// A test on the simulated platform: a fresh machine before, and after the test a check
// that the verifier reported nothing the test did not expect.
#pragma once

#include "host/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetPlatform(); }

    void TearDown() override {
        auto reports = host::Reports();
        std::erase_if(reports, [this](const host::Report& report) {
            return std::find(expected_.begin(), expected_.end(), report.kind) != expected_.end();
        });
        for (const auto& report : reports) {
            ADD_FAILURE() << "verifier: " << host::ReportKindName(report.kind) << ": "
                          << report.text;
        }
        host::ResetPlatform();
    }

    // The test provokes reports of this kind on purpose.
    void ExpectReports(host::ReportKind kind) { expected_.push_back(kind); }

    static bool HasReport(host::ReportKind kind) {
        const auto reports = host::Reports();
        return std::any_of(reports.begin(), reports.end(),
                           [kind](const host::Report& report) { return report.kind == kind; });
    }

private:
    std::vector<host::ReportKind> expected_;
};

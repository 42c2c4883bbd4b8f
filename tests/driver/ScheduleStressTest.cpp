// Status requests from several threads during stops, starts, sleep, wake and hibernation,
// then removal and unload, with every platform call yielding or sleeping a pseudo-random
// time chosen by a seed. Each seed is one fresh board; a failure names its seed and how to
// replay it.
//
// RAILWATCH_STRESS_SEEDS sets the number of seeds (default 5), RAILWATCH_STRESS_FIRST_SEED
// the first one (default 1).
#include "LifecycleStress.h"

#include <cstdlib>
#include <iostream>

namespace {

std::uint64_t EnvironmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 10);
}

class ScheduleStressTest : public SupplyBoardTest {
  protected:
    static int FailureCount() {
        return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    }

    // One seed: returns the requests made.
    long RunSeed(std::uint64_t seed) {
        auto& board = MakeBoard();
        host::SetPortTraceEnabled(false);
        host::EnableScheduleStress(seed);
        EXPECT_TRUE(board.Boot());
        if (board.Device() == nullptr) {
            host::DisableScheduleStress();
            return 0;
        }
        stress::Options options;
        options.levelSeed = seed;
        const stress::Totals total = stress::RunLifecycle(board, options);
        host::DisableScheduleStress();

        EXPECT_EQ(host::CheckForLeaks(), 0u);
        for (const auto& report : host::Reports()) {
            ADD_FAILURE() << "verifier: " << host::ReportKindName(report.kind) << ": "
                          << report.text;
        }
        host::ClearReports();
        return total.requests;
    }
};

TEST_F(ScheduleStressTest, RequestsDuringLifecycleUnderSeededSchedules) {
    const std::uint64_t first = EnvironmentNumber("RAILWATCH_STRESS_FIRST_SEED", 1);
    const std::uint64_t seeds = EnvironmentNumber("RAILWATCH_STRESS_SEEDS", 5);
    long requests = 0;
    std::uint64_t failedSeeds = 0;
    for (std::uint64_t seed = first; seed < first + seeds; ++seed) {
        const std::string replay =
            "seed " + std::to_string(seed) +
            "; replay with RAILWATCH_STRESS_FIRST_SEED=" + std::to_string(seed) +
            " RAILWATCH_STRESS_SEEDS=1 ./driver_tests "
            "--gtest_filter=ScheduleStressTest.RequestsDuringLifecycleUnderSeededSchedules";
        SCOPED_TRACE(replay);
        const int failuresBefore = FailureCount();
        requests += RunSeed(seed);
        if (FailureCount() != failuresBefore) {
            ++failedSeeds;
            std::cout << "[ stress   ] FAILED " << replay << "\n";
        }
    }
    std::cout << "[ stress   ] seeds " << first << ".." << first + seeds - 1 << ": " << requests
              << " status requests, " << failedSeeds << " seeds failed\n";
}

}  // namespace

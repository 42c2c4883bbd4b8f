// Status requests from several threads while the device is stopped and started, the
// system sleeps, wakes and hibernates, and the supplies change between phases; then the
// device is removed under the requests and the driver unloaded.
//
// RAILWATCH_STRESS_CYCLES sets the number of cycles (a long run can use thousands).
#include "LifecycleStress.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace {

constexpr int kDefaultCycles = 400;

int StressCycles() {
    const char* text = std::getenv("RAILWATCH_STRESS_CYCLES");
    const int cycles = text != nullptr ? std::atoi(text) : 0;
    return cycles > 0 ? cycles : kDefaultCycles;
}

class LifecycleStressTest : public SupplyBoardTest {};

TEST_F(LifecycleStressTest, RequestsThroughStartStopSleepWakeAndRemoval) {
    // Its thousands of requests under contention take minutes through the image's trapped
    // port instructions; the seeded schedule stress runs the image through the same life.
    if (IsDriverImageRun()) GTEST_SKIP() << "too slow on the image: see ScheduleStressTest";
    stress::Options options;
    options.cycles = StressCycles();
    options.requestThreads = 4;
    options.requestsAfterRemoval = 100;
    options.levelSeed = 20240611;
    auto& board = BootedBoard();
    host::SetPortTraceEnabled(false);

    const stress::Totals total = stress::RunLifecycle(board, options);
    std::cout << "lifecycle stress: " << options.cycles << " cycles, " << options.requestThreads
              << " request threads, " << total.requests << " requests (" << total.answered
              << " answered, " << total.refused << " refused)\n";
    EXPECT_GT(total.answered, 0);

    EXPECT_EQ(host::CheckForLeaks(), 0u) << host::FormatReports();
    // What the driver leaves behind on purpose: its two registry values.
    std::vector<std::u16string> values;
    for (const auto& value : host::RegistryValues()) {
        values.push_back(value.name);
    }
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<std::u16string>{u"ChipsetType", u"InterfaceName"}));
}

}  // namespace

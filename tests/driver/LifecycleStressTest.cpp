// Status requests from several threads while the device is stopped and started, the
// system sleeps, wakes and hibernates, and the supplies change between phases; then the
// device is removed under the requests and the driver unloaded.
//
// RAILWATCH_STRESS_CYCLES sets the number of cycles (a long run can use thousands).
#include "SupplyBoardTest.h"

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

namespace {

constexpr int kDefaultCycles = 400;
constexpr int kRequestThreads = 4;
constexpr int kRequestsAfterRemoval = 100;  // per thread

int StressCycles() {
    const char* text = std::getenv("RAILWATCH_STRESS_CYCLES");
    const int cycles = text != nullptr ? std::atoi(text) : 0;
    return cycles > 0 ? cycles : kDefaultCycles;
}

// What one request thread saw.
struct Tally {
    long requests = 0;
    long answered = 0;
    long refused = 0;
    long wrongLevel = 0;        // a success whose state is not the supply's level
    long badShape = 0;          // a success whose Information or byte 0 is off
    long unexpectedStatus = 0;  // outside success, delete pending, no such device
    long answeredAfterRemoval = 0;
};

// The supplies' levels. The main thread changes them only while it holds the lock
// exclusively; a request thread holds it shared around each request, so every answer
// must be the level that was set while the request ran. Readers pass the gate first, so
// that a waiting writer holds new readers back instead of starving behind them.
struct Levels {
    std::mutex gate;
    std::shared_mutex lock;
    bool level[2] = {true, true};

    std::shared_lock<std::shared_mutex> Read() {
        std::lock_guard passage(gate);
        return std::shared_lock(lock);
    }

    std::unique_lock<std::shared_mutex> Write() {
        std::lock_guard passage(gate);
        return std::unique_lock(lock);
    }

    void Set(std::mt19937& random) {
        const auto exclusive = Write();
        for (int supply = 1; supply <= 2; ++supply) {
            level[supply - 1] = (random() & 1) != 0;
            host::SetSupplyLevel(supply, level[supply - 1]);
        }
    }
};

void AskUntilRemovedAndBeyond(FILE_OBJECT* file, int thread, Levels& levels,
                              const std::atomic<bool>& removed, Tally& tally) {
    int afterRemoval = 0;
    for (long i = 0; afterRemoval < kRequestsAfterRemoval; ++i) {
        const int supply = int((thread + i) % 2) + 1;
        const bool removedBefore = removed.load();
        SupplyAnswer answer;
        bool expected = false;
        {
            const auto shared = levels.Read();
            expected = levels.level[supply - 1];
            answer = AskSupply(file, supply);
        }
        ++tally.requests;
        afterRemoval += removedBefore;
        const NTSTATUS status = answer.result.status;
        if (status == STATUS_SUCCESS) {
            ++tally.answered;
            tally.answeredAfterRemoval += removedBefore;
            tally.wrongLevel += answer.buffer[1] != UCHAR(expected);
            tally.badShape += answer.result.information != 2 || answer.buffer[0] != kCallerByte;
        } else if (status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE) {
            ++tally.refused;
        } else {
            ++tally.unexpectedStatus;
        }
    }
}

class LifecycleStressTest : public SupplyBoardTest {
  protected:
    void SetPower(simboard::SimulatedBoard& board, ULONG state, POWER_ACTION action) {
        EXPECT_EQ(board.Power(IRP_MN_SET_POWER, SystemPowerState, state, action).status,
                  STATUS_SUCCESS);
    }

    void ExpectLatched(const Levels& levels) {
        EXPECT_EQ(Extension()->m_PWR1Status, UCHAR(levels.level[0]));
        EXPECT_EQ(Extension()->m_PWR2Status, UCHAR(levels.level[1]));
    }
};

TEST_F(LifecycleStressTest, RequestsThroughStartStopSleepWakeAndRemoval) {
    const int cycles = StressCycles();
    auto& board = BootedBoard();
    host::SetPortTraceEnabled(false);
    Levels levels;
    std::mt19937 random(20240611);
    levels.Set(random);

    std::vector<FILE_OBJECT*> files;
    for (int t = 0; t < kRequestThreads; ++t) {
        NTSTATUS opened = STATUS_UNSUCCESSFUL;
        files.push_back(host::OpenFile(simboard::kLinkName, &opened));
        ASSERT_EQ(opened, STATUS_SUCCESS);
    }
    std::atomic<bool> removed{false};
    std::vector<Tally> tallies(kRequestThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kRequestThreads; ++t) {
        threads.emplace_back(AskUntilRemovedAndBeyond, files[t], t, std::ref(levels),
                             std::cref(removed), std::ref(tallies[t]));
    }

    for (int cycle = 0; cycle < cycles && !HasFailure(); ++cycle) {
        EXPECT_EQ(board.Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        EXPECT_EQ(board.Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        levels.Set(random);
        // Enabling the interface again answers with an informational status.
        EXPECT_TRUE(NT_SUCCESS(board.Start().status));

        SetPower(board, PowerSystemSleeping3, PowerActionSleep);
        ExpectLatched(levels);
        levels.Set(random);
        SetPower(board, PowerSystemWorking, PowerActionSleep);

        SetPower(board, PowerSystemHibernate, PowerActionHibernate);
        ExpectLatched(levels);
        levels.Set(random);
        SetPower(board, PowerSystemWorking, PowerActionSleep);
    }

    // The removal meets requests in flight: those it drains are answered, later ones are
    // refused. A request that starts once Remove has returned must be refused.
    EXPECT_EQ(board.Remove().returned, STATUS_SUCCESS);
    removed = true;
    for (auto& thread : threads) {
        thread.join();
    }
    for (FILE_OBJECT* file : files) {
        EXPECT_EQ(host::CloseFile(file), STATUS_SUCCESS);
    }
    board.Unload();

    Tally total;
    for (const auto& tally : tallies) {
        total.requests += tally.requests;
        total.answered += tally.answered;
        total.refused += tally.refused;
        total.wrongLevel += tally.wrongLevel;
        total.badShape += tally.badShape;
        total.unexpectedStatus += tally.unexpectedStatus;
        total.answeredAfterRemoval += tally.answeredAfterRemoval;
    }
    std::cout << "lifecycle stress: " << cycles << " cycles, " << kRequestThreads
              << " request threads, " << total.requests << " requests (" << total.answered
              << " answered, " << total.refused << " refused)\n";

    EXPECT_EQ(total.requests, total.answered + total.refused + total.unexpectedStatus);
    EXPECT_GT(total.answered, 0);
    EXPECT_GE(total.refused, long(kRequestThreads) * kRequestsAfterRemoval);
    EXPECT_EQ(total.wrongLevel, 0);
    EXPECT_EQ(total.badShape, 0);
    EXPECT_EQ(total.unexpectedStatus, 0);
    EXPECT_EQ(total.answeredAfterRemoval, 0);

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

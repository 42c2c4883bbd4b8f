// Status requests from several threads during stops, starts, sleep, wake and hibernation,
// then removal and unload, with every platform call yielding or sleeping a pseudo-random
// time chosen by a seed. Each seed is one fresh board; a failure names its seed and how to
// replay it.
//
// RAILWATCH_STRESS_SEEDS sets the number of seeds (default 5), RAILWATCH_STRESS_FIRST_SEED
// the first one (default 1).
#include "SupplyBoardTest.h"

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace {

constexpr int kRequestThreads = 3;
constexpr int kCycles = 2;
constexpr int kRequestsAfterRemoval = 10;  // per thread

std::uint64_t EnvironmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 10);
}

struct Tally {
    long requests = 0;
    long answered = 0;
    long refused = 0;
    long wrongAnswers = 0;  // wrong level, Information or byte 0
    long unexpected = 0;    // a status outside the allowed set
    long answeredAfterRemoval = 0;
    NTSTATUS firstUnexpected = STATUS_SUCCESS;
};

// The supplies' levels change only under the exclusive lock; a request holds it shared,
// so its answer must be the level set at the time. Requests pass the turnstile first, which
// a change holds while it waits, so that requests in a tight loop cannot starve it.
struct Levels {
    std::shared_mutex lock;
    std::mutex turnstile;
    bool level[2] = {true, true};

    std::shared_lock<std::shared_mutex> Share() {
        std::lock_guard pass(turnstile);
        return std::shared_lock(lock);
    }

    void Set(std::uint64_t& state) {
        std::lock_guard hold(turnstile);
        std::unique_lock exclusive(lock);
        for (int supply = 1; supply <= 2; ++supply) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            level[supply - 1] = (state >> 40) & 1;
            host::SetSupplyLevel(supply, level[supply - 1]);
        }
    }
};

void Ask(FILE_OBJECT* file, int thread, Levels& levels, const std::atomic<bool>& removed,
         Tally& tally) {
    for (int afterRemoval = 0, i = 0; afterRemoval < kRequestsAfterRemoval; ++i) {
        const int supply = (thread + i) % 2 + 1;
        const bool removedBefore = removed.load();
        bool expected;
        SupplyAnswer answer;
        {
            const auto shared = levels.Share();
            expected = levels.level[supply - 1];
            answer = AskSupply(file, supply);
        }
        ++tally.requests;
        afterRemoval += removedBefore;
        const NTSTATUS status = answer.result.status;
        if (status == STATUS_SUCCESS) {
            ++tally.answered;
            tally.answeredAfterRemoval += removedBefore;
            tally.wrongAnswers +=
                answer.buffer[1] != UCHAR(expected) || answer.buffer[0] != kCallerByte ||
                answer.result.information != 2 || answer.result.returned != STATUS_SUCCESS;
        } else if (status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE) {
            ++tally.refused;
            tally.wrongAnswers += answer.result.information != 0 || answer.buffer[0] != kUntouched;
        } else {
            if (tally.unexpected++ == 0) {
                tally.firstUnexpected = status;
            }
        }
    }
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
        std::uint64_t random = seed;
        Levels levels;
        levels.Set(random);
        EXPECT_TRUE(board.Boot());
        if (board.Device() == nullptr) {
            return 0;
        }

        std::vector<FILE_OBJECT*> files;
        for (int t = 0; t < kRequestThreads; ++t) {
            NTSTATUS opened = STATUS_UNSUCCESSFUL;
            files.push_back(host::OpenFile(simboard::kLinkName, &opened));
            EXPECT_EQ(opened, STATUS_SUCCESS);
        }
        std::atomic<bool> removed{false};
        std::vector<Tally> tallies(kRequestThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kRequestThreads; ++t) {
            threads.emplace_back(Ask, files[t], t, std::ref(levels), std::cref(removed),
                                 std::ref(tallies[t]));
        }

        const auto power = [&board](ULONG state, POWER_ACTION action) {
            EXPECT_EQ(board.Power(IRP_MN_SET_POWER, SystemPowerState, state, action).status,
                      STATUS_SUCCESS);
        };
        const auto latched = [this, &levels] {
            const auto* extension = Extension();
            EXPECT_EQ(extension->m_PWR1Status, UCHAR(levels.level[0]));
            EXPECT_EQ(extension->m_PWR2Status, UCHAR(levels.level[1]));
        };
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            EXPECT_EQ(board.Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
            EXPECT_EQ(board.Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
            levels.Set(random);
            EXPECT_TRUE(NT_SUCCESS(board.Start().status));
            power(PowerSystemSleeping3, PowerActionSleep);
            latched();
            levels.Set(random);
            power(PowerSystemWorking, PowerActionSleep);
            power(PowerSystemHibernate, PowerActionHibernate);
            latched();
            levels.Set(random);
            power(PowerSystemWorking, PowerActionSleep);
        }
        EXPECT_EQ(board.Remove().returned, STATUS_SUCCESS);
        removed = true;
        for (auto& thread : threads) {
            thread.join();
        }
        for (FILE_OBJECT* file : files) {
            EXPECT_EQ(host::CloseFile(file), STATUS_SUCCESS);
        }
        board.Unload();
        host::DisableScheduleStress();

        Tally total;
        for (const auto& tally : tallies) {
            total.requests += tally.requests;
            total.answered += tally.answered;
            total.refused += tally.refused;
            total.wrongAnswers += tally.wrongAnswers;
            total.answeredAfterRemoval += tally.answeredAfterRemoval;
            if (tally.unexpected > 0 && total.unexpected == 0) {
                total.firstUnexpected = tally.firstUnexpected;
            }
            total.unexpected += tally.unexpected;
        }
        EXPECT_EQ(total.requests, total.answered + total.refused + total.unexpected);
        EXPECT_EQ(total.wrongAnswers, 0);
        EXPECT_EQ(total.unexpected, 0)
            << "first unexpected status 0x" << std::hex << ULONG(total.firstUnexpected);
        EXPECT_EQ(total.answeredAfterRemoval, 0);
        EXPECT_GE(total.refused, long(kRequestThreads) * kRequestsAfterRemoval);

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

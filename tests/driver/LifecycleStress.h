// The lifecycle stress scenario that the plain and the seeded-schedule stress tests share:
// status requests from several threads while the device is stopped and started, the system
// sleeps, wakes and hibernates and the supplies change between phases; then the device is
// removed under the requests, the files are closed and the driver unloaded.
#pragma once

#include "SupplyBoardTest.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace stress {

struct Options {
    int cycles = 2;
    int requestThreads = 3;
    int requestsAfterRemoval = 10;  // per thread, once the removal has returned
    std::uint64_t levelSeed = 1;    // the sequence of supply levels
};

struct Totals {
    long requests = 0;
    long answered = 0;
    long refused = 0;
    long wrongAnswers = 0;  // wrong level, Information or byte 0
    long unexpected = 0;    // a status outside success, delete pending, no such device
    long answeredAfterRemoval = 0;
    NTSTATUS firstUnexpected = STATUS_SUCCESS;

    void Add(const Totals& other) {
        requests += other.requests;
        answered += other.answered;
        refused += other.refused;
        wrongAnswers += other.wrongAnswers;
        answeredAfterRemoval += other.answeredAfterRemoval;
        if (other.unexpected > 0 && unexpected == 0) firstUnexpected = other.firstUnexpected;
        unexpected += other.unexpected;
    }
};

// The supplies' levels change only under the exclusive lock; a request holds it shared,
// so its answer must be the level set at the time. Requests pass the turnstile first,
// which a change holds while it waits, so requests in a tight loop cannot starve it.
struct Levels {
    std::shared_mutex lock;
    std::mutex turnstile;
    bool level[2] = {true, true};
    std::uint64_t random;

    explicit Levels(std::uint64_t seed) : random(seed) {}

    std::shared_lock<std::shared_mutex> Share() {
        std::lock_guard pass(turnstile);
        return std::shared_lock(lock);
    }

    void Change() {
        std::lock_guard hold(turnstile);
        std::unique_lock exclusive(lock);
        for (int supply = 1; supply <= 2; ++supply) {
            random = random * 6364136223846793005ull + 1442695040888963407ull;
            level[supply - 1] = (random >> 40) & 1;
            host::SetSupplyLevel(supply, level[supply - 1]);
        }
    }
};

// One request thread: asks both supplies in turn until it has made its requests after
// the removal, and tallies what it saw.
inline void Ask(FILE_OBJECT* file, int thread, Levels& levels, const std::atomic<bool>& removed,
                int requestsAfterRemoval, Totals& tally) {
    for (int afterRemoval = 0, i = 0; afterRemoval < requestsAfterRemoval; ++i) {
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
        } else if (tally.unexpected++ == 0) {
            tally.firstUnexpected = status;
        }
    }
}

// Runs the scenario on a booted board and checks every request's answer; returns the
// totals. The driver is unloaded at the end.
inline Totals RunLifecycle(simboard::SimulatedBoard& board, const Options& options) {
    Levels levels(options.levelSeed);
    levels.Change();

    std::vector<FILE_OBJECT*> files;
    for (int t = 0; t < options.requestThreads; ++t) {
        NTSTATUS opened = STATUS_UNSUCCESSFUL;
        files.push_back(host::OpenFile(simboard::kLinkName, &opened));
        EXPECT_EQ(opened, STATUS_SUCCESS);
    }
    std::atomic<bool> removed{false};
    std::vector<Totals> tallies(options.requestThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < options.requestThreads; ++t) {
        threads.emplace_back(Ask, files[t], t, std::ref(levels), std::cref(removed),
                             options.requestsAfterRemoval, std::ref(tallies[t]));
    }

    const auto power = [&board](ULONG state, POWER_ACTION action) {
        EXPECT_EQ(board.Power(IRP_MN_SET_POWER, SystemPowerState, state, action).status,
                  STATUS_SUCCESS);
    };
    const auto expectLatched = [&board, &levels] {
        const auto* extension = static_cast<DEVICE_EXTENSION*>(board.Device()->DeviceExtension);
        EXPECT_EQ(extension->m_PWR1Status, UCHAR(levels.level[0]));
        EXPECT_EQ(extension->m_PWR2Status, UCHAR(levels.level[1]));
    };
    for (int cycle = 0; cycle < options.cycles && !testing::Test::HasFailure(); ++cycle) {
        EXPECT_EQ(board.Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        EXPECT_EQ(board.Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        levels.Change();
        // Enabling the interface again answers with an informational status.
        EXPECT_TRUE(NT_SUCCESS(board.Start().status));

        power(PowerSystemSleeping3, PowerActionSleep);
        expectLatched();
        levels.Change();
        power(PowerSystemWorking, PowerActionSleep);

        power(PowerSystemHibernate, PowerActionHibernate);
        expectLatched();
        levels.Change();
        power(PowerSystemWorking, PowerActionSleep);
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

    Totals total;
    for (const auto& tally : tallies) total.Add(tally);
    EXPECT_EQ(total.requests, total.answered + total.refused + total.unexpected);
    EXPECT_EQ(total.wrongAnswers, 0);
    EXPECT_EQ(total.unexpected, 0)
        << "first unexpected status 0x" << std::hex << ULONG(total.firstUnexpected);
    EXPECT_EQ(total.answeredAfterRemoval, 0);
    EXPECT_GE(total.refused, long(options.requestThreads) * options.requestsAfterRemoval);
    return total;
}

}  // namespace stress

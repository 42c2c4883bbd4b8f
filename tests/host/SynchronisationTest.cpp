// IRQL, spin locks, events and remove locks of the simulated kernel.
#include "PlatformFixture.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr NTSTATUS kStatusTimeout = 0x102;

using SynchronisationTest = PlatformTest;

TEST_F(SynchronisationTest, SpinLockRaisesToDispatchAndRestoresTheCallersIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (const KIRQL start : {KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}}) {
        host::SetCurrentIrql(start);
        const KIRQL previous = KeAcquireSpinLockRaiseToDpc(&lock);
        EXPECT_EQ(previous, start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, previous);
        EXPECT_EQ(KeGetCurrentIrql(), start);
    }
}

TEST_F(SynchronisationTest, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // plain: only the spin lock protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
                if (inside.fetch_add(1) != 0) overlap = true;
                if (KeGetCurrentIrql() != DISPATCH_LEVEL) overlap = true;
                ++counter;
                inside.fetch_sub(1);
                KeReleaseSpinLock(&lock, irql);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(lock, 0u);
}

TEST_F(SynchronisationTest, RecursiveAcquireAndForeignReleaseAreReported) {
    ExpectReports(host::ReportKind::SpinLock);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
    KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(host::Reports().size(), 1u);

    std::thread other([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
    other.join();
    EXPECT_EQ(host::Reports().size(), 2u);
    EXPECT_NE(lock, 0u) << "a foreign release must not free the owner's lock";

    KeReleaseSpinLock(&lock, irql);
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(host::Reports().size(), 2u);
}

TEST_F(SynchronisationTest, PageableCodeAboveApcLevelIsReported) {
    ExpectReports(host::ReportKind::Irql);
    host::SetCurrentIrql(APC_LEVEL);
    PAGED_CODE();
    EXPECT_TRUE(host::Reports().empty());
    host::SetCurrentIrql(DISPATCH_LEVEL);
    PAGED_CODE();
    ASSERT_EQ(host::Reports().size(), 1u);
    EXPECT_NE(host::Reports()[0].text.find(__func__), std::string::npos);
}

TEST_F(SynchronisationTest, EventWaitBlocksUntilSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -10'000;  // 1 ms
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait),
              kStatusTimeout);

    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    waiter.join();
    EXPECT_TRUE(woke);
    // A notification event stays signalled.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait),
              STATUS_SUCCESS);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
}

TEST_F(SynchronisationTest, SynchronisationEventReleasesOneWait) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), kStatusTimeout);
}

TEST_F(SynchronisationTest, WaitingAtDispatchLevelIsReported) {
    ExpectReports(host::ReportKind::Irql);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    host::SetCurrentIrql(DISPATCH_LEVEL);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll);  // a poll is allowed
    EXPECT_TRUE(host::Reports().empty());
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(host::Reports().size(), 1u);
}

class RemoveLockTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        IoInitializeRemoveLockEx(&lock_, 0x524F4953, 0, 0, sizeof lock_);
    }
    NTSTATUS Acquire(const void* tag) {
        return IoAcquireRemoveLockEx(&lock_, const_cast<void*>(tag), __FILE__, __LINE__,
                                     sizeof lock_);
    }
    void Release(const void* tag) {
        IoReleaseRemoveLockEx(&lock_, const_cast<void*>(tag), sizeof lock_);
    }

    IO_REMOVE_LOCK lock_;
    int tagA_ = 0, tagB_ = 0;
};

TEST_F(RemoveLockTest, ReleaseAndWaitDrainsThenRefusesEveryAcquire) {
    ASSERT_EQ(Acquire(&tagA_), STATUS_SUCCESS);
    ASSERT_EQ(Acquire(&tagB_), STATUS_SUCCESS);
    EXPECT_EQ(lock_.Common.IoCount, 3);

    std::atomic<bool> drained{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWaitEx(&lock_, &tagB_, sizeof lock_);
        drained = true;
    });
    while (std::atomic_ref<BOOLEAN>(lock_.Common.Removed).load() == 0) std::this_thread::yield();
    EXPECT_EQ(Acquire(&tagB_), STATUS_DELETE_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(drained) << "release-and-wait returned while tag A was held";
    Release(&tagA_);
    remover.join();
    EXPECT_TRUE(drained);
    EXPECT_EQ(lock_.Common.IoCount, 0);
    EXPECT_EQ(Acquire(&tagA_), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock_.Common.IoCount, 0);
    EXPECT_EQ(host::RemoveLockHighestIoCount(&lock_), 3);
}

TEST_F(RemoveLockTest, ReleaseWithATagNeverAcquiredIsReported) {
    ExpectReports(host::ReportKind::RemoveLock);
    ASSERT_EQ(Acquire(&tagA_), STATUS_SUCCESS);
    Release(&tagA_);
    EXPECT_TRUE(host::Reports().empty());
    ASSERT_EQ(Acquire(&tagA_), STATUS_SUCCESS);
    Release(&tagB_);
    ASSERT_EQ(host::Reports().size(), 1u);
    EXPECT_EQ(host::Reports()[0].kind, host::ReportKind::RemoveLock);
}

TEST_F(RemoveLockTest, AcquiringUnderASpinLockBreaksTheLockOrder) {
    ExpectReports(host::ReportKind::SpinLock);
    KSPIN_LOCK spin;
    KeInitializeSpinLock(&spin);
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&spin);
    ASSERT_EQ(Acquire(&tagA_), STATUS_SUCCESS);
    KeReleaseSpinLock(&spin, irql);
    Release(&tagA_);
    ASSERT_EQ(host::Reports().size(), 1u);
    EXPECT_NE(host::Reports()[0].text.find("lock order"), std::string::npos);
}

}  // namespace

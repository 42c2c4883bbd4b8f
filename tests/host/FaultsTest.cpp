// Fault injection, call counting and schedule stress.
#include "PlatformFixture.h"

#include <thread>

namespace {

using FaultsTest = PlatformTest;

TEST_F(FaultsTest, OnlyTheNthCallFails) {
    host::FailCall("ExAllocatePoolWithTag", 2);
    void* first = ExAllocatePoolWithTag(PagedPool, 4, 1);
    void* second = ExAllocatePoolWithTag(PagedPool, 4, 1);
    void* third = ExAllocatePoolWithTag(PagedPool, 4, 1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(host::CallCount("ExAllocatePoolWithTag"), 3u);
    EXPECT_EQ(host::PoolAllocationCount(), 2u);
    ExFreePoolWithTag(first, 0);
    ExFreePoolWithTag(third, 0);
    EXPECT_EQ(host::CallCount("ExFreePoolWithTag"), 2u);
}

TEST_F(FaultsTest, FailureStatusIsTheGivenOneOrTheRoutinesUsual) {
    host::CreateRegistryKey(u"K");
    ULONG one = 1;
    host::FailCall("RtlWriteRegistryValue", 1);
    host::FailCall("RtlWriteRegistryValue", 2, STATUS_ACCESS_DENIED);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"K", u"V", REG_DWORD, &one, 4),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"K", u"V", REG_DWORD, &one, 4),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"K", u"V", REG_DWORD, &one, 4),
              STATUS_SUCCESS);
}

TEST_F(FaultsTest, ResetForgetsFaultsAndCounts) {
    host::FailCall("MmMapIoSpace", 1);
    DbgPrint("x");
    host::ResetPlatform();
    EXPECT_EQ(host::CallCount("DbgPrint"), 0u);
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF0000;
    void* mapping = MmMapIoSpace(at, 1, MmCached);
    EXPECT_NE(mapping, nullptr);
    MmUnmapIoSpace(mapping, 1);
}

TEST_F(FaultsTest, UnknownRoutinesAreRefused) {
    EXPECT_THROW(host::FailCall("ExAllocatePool", 1), std::invalid_argument);
    EXPECT_THROW(host::FailCall("MmMapIoSpace", 0), std::invalid_argument);
    EXPECT_EQ(host::FailableRoutines().size(), 11u);
}

TEST_F(FaultsTest, ScheduleStressKeepsLocksCorrect) {
    host::EnableScheduleStress(42);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
                ++counter;
                KeReleaseSpinLock(&lock, irql);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 600);
    EXPECT_EQ(host::CallCount("KeAcquireSpinLockRaiseToDpc"), 600u);
}

}  // namespace

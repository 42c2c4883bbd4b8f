// Pool blocks and counted wide strings.
#include "PlatformFixture.h"

#include <algorithm>

namespace {

constexpr ULONG kTagSior = 0x524F4953;
constexpr ULONG kTagChkB = 0x426B6843;

using PoolTest = PlatformTest;

TEST_F(PoolTest, BlocksAreTrackedByTagAndArriveUninitialised) {
    auto* path = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 260, kTagSior));
    auto* window = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 2049, kTagChkB));
    ASSERT_NE(path, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(std::all_of(window, window + 2049, [](UCHAR b) { return b == 0xCD; }));

    const auto blocks = host::OutstandingPool();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, path);
    EXPECT_EQ(blocks[0].size, 260u);
    EXPECT_EQ(blocks[0].tag, kTagSior);
    EXPECT_EQ(blocks[0].type, PagedPool);
    EXPECT_EQ(host::OutstandingPoolWithTag(kTagChkB), 1u);

    ExFreePoolWithTag(window, 0);
    ExFreePoolWithTag(path, 0);
    EXPECT_TRUE(host::OutstandingPool().empty());
    EXPECT_EQ(host::PoolAllocationCount(), 2u);
    EXPECT_EQ(host::CheckForLeaks(), 0u);
}

TEST_F(PoolTest, LeftoverBlocksAreLeaks) {
    ExpectReports(host::ReportKind::Pool);
    ExAllocatePoolWithTag(PagedPool, 16, kTagSior);
    ExAllocatePoolWithTag(NonPagedPool, 8, kTagChkB);
    EXPECT_EQ(host::CheckForLeaks(), 2u);
    const std::string reports = host::FormatReports();
    EXPECT_NE(reports.find("Pool: 16 bytes of paged pool"), std::string::npos) << reports;
    EXPECT_NE(reports.find("'SIOR'"), std::string::npos) << reports;
    EXPECT_NE(reports.find("'ChkB'"), std::string::npos) << reports;
}

TEST_F(PoolTest, FreeOfSomethingElseIsReportedAndHarmless) {
    ExpectReports(host::ReportKind::Pool);
    int onStack = 0;
    ExFreePoolWithTag(&onStack, 0);
    void* block = ExAllocatePoolWithTag(PagedPool, 4, kTagSior);
    ExFreePoolWithTag(block, 0);
    ExFreePoolWithTag(block, 0);  // twice
    EXPECT_EQ(host::Reports().size(), 2u);
}

TEST_F(PoolTest, PagedPoolAtDispatchLevelIsReported) {
    ExpectReports(host::ReportKind::Irql);
    host::SetCurrentIrql(DISPATCH_LEVEL);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 4, kTagSior);
    EXPECT_TRUE(host::Reports().empty());
    void* paged = ExAllocatePoolWithTag(PagedPool, 4, kTagSior);
    EXPECT_EQ(host::Reports().size(), 1u);
    host::SetCurrentIrql(PASSIVE_LEVEL);
    ExFreePoolWithTag(nonPaged, 0);
    ExFreePoolWithTag(paged, 0);
}

using StringTest = PlatformTest;

TEST_F(StringTest, InitCountsBytesWithoutTheNul) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, u"\\Device\\RailwatchDrv");
    EXPECT_EQ(string.Length, 40);
    EXPECT_EQ(string.MaximumLength, 42);
    RtlInitUnicodeString(&string, nullptr);
    EXPECT_EQ(string.Length, 0);
    EXPECT_EQ(string.MaximumLength, 0);
    EXPECT_EQ(string.Buffer, nullptr);
}

TEST_F(StringTest, CopyTruncatesToTheDestinationAndAddsANulWhenThereIsRoom) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"ABCD");  // 8 bytes
    struct Case {
        USHORT maximum;
        USHORT length;
        bool nul;
    };
    for (const Case c : {Case{20, 8, true}, Case{10, 8, true}, Case{9, 8, false}, Case{8, 8, false},
                         Case{4, 4, false}}) {
        SCOPED_TRACE(c.maximum);
        WCHAR buffer[10];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        UNICODE_STRING destination{0, c.maximum, buffer};
        RtlCopyUnicodeString(&destination, &source);
        EXPECT_EQ(destination.Length, c.length);
        EXPECT_EQ(std::u16string(buffer, c.length / 2),
                  std::u16string(u"ABCD").substr(0, c.length / 2));
        EXPECT_EQ(buffer[c.length / 2], c.nul ? u'\0' : u'#');
    }
    WCHAR buffer[4] = {u'x', u'x', u'x', u'x'};
    UNICODE_STRING destination{6, 8, buffer};
    RtlCopyUnicodeString(&destination, nullptr);
    EXPECT_EQ(destination.Length, 0);
}

TEST_F(StringTest, FreeReleasesPoolAndRefusesOtherBuffers) {
    ExpectReports(host::ReportKind::Pool);
    // A pool block standing in for a buffer the kernel allocated.
    auto* buffer =
        static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, 8, host::kInterfaceNameTag));
    UNICODE_STRING owned{6, 8, buffer};
    RtlFreeUnicodeString(&owned);
    EXPECT_EQ(owned.Buffer, nullptr);
    EXPECT_EQ(owned.Length, 0);
    EXPECT_TRUE(host::OutstandingPool().empty());
    EXPECT_TRUE(host::Reports().empty());

    WCHAR local[4] = {};
    UNICODE_STRING foreign{0, 8, local};
    RtlFreeUnicodeString(&foreign);
    EXPECT_EQ(host::Reports().size(), 1u);
    EXPECT_EQ(foreign.Buffer, nullptr);
}

}  // namespace

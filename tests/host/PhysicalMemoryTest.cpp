// Mappings of the BIOS image.
#include "PlatformFixture.h"

namespace {

using PhysicalMemoryTest = PlatformTest;

PHYSICAL_ADDRESS At(std::uint64_t address) {
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = static_cast<LONGLONG>(address);
    return physical;
}

std::vector<std::uint8_t> ImageWith(std::uint64_t address, std::string_view bytes) {
    std::vector<std::uint8_t> image(host::kBiosSize, 0x00);
    std::copy(bytes.begin(), bytes.end(),
              image.begin() + static_cast<long>(address - host::kBiosBase));
    return image;
}

TEST_F(PhysicalMemoryTest, MappingCopiesExactlyTheRangeAsked) {
    host::SetBiosImage(ImageWith(0xFF400, "AMIBIOS"));
    const auto* bytes = static_cast<const char*>(MmMapIoSpace(At(0xFF400), 7, MmCached));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(bytes, 7), "AMIBIOS");
    const auto live = host::LiveMappings();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].physical, 0xFF400u);
    EXPECT_EQ(live[0].length, 7u);
    EXPECT_EQ(live[0].base, bytes);
    MmUnmapIoSpace(const_cast<char*>(bytes), 7);
    EXPECT_TRUE(host::LiveMappings().empty());
    EXPECT_EQ(host::MappingCount(), 1u);
}

TEST_F(PhysicalMemoryTest, DefaultImageIsAllOnesAndItsLastByteIsMappable) {
    auto* last = static_cast<UCHAR*>(MmMapIoSpace(At(0xFFFFF), 1, MmCached));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(*last, 0xFF);
    MmUnmapIoSpace(last, 1);
}

// Outside the BIOS ROM lies RAM on a real PC: every such mapping is a verifier report.
TEST_F(PhysicalMemoryTest, MappingOutsideTheBiosRomIsReported) {
    ExpectReports(host::ReportKind::Mapping);
    struct Case {
        std::int64_t address;
        std::size_t length;
    };
    const Case cases[] = {{0xEFFFF, 2}, {0xEFFFF, 1}, {0xFFFFF, 2},  {0x100000, 1},
                          {0xF0000, 0}, {0, 4096},    {-0x10000, 1}, {0xF0000, 0x10001}};
    std::size_t reports = 0;
    for (const Case c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address << "+" << c.length);
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = c.address;
        EXPECT_EQ(MmMapIoSpace(physical, c.length, MmCached), nullptr);
        EXPECT_EQ(host::Reports().size(), ++reports);
    }
    EXPECT_EQ(host::CallCount("MmMapIoSpace"), std::size(cases));
    EXPECT_EQ(host::MappingCount(), 0u);
    EXPECT_TRUE(host::LiveMappings().empty());
}

TEST_F(PhysicalMemoryTest, RangesOverUnmappableMemoryFailQuietly) {
    host::MarkUnmappable(0xFE840, 32);
    struct Case {
        std::uint64_t address;
        std::size_t length;
    };
    for (const Case c : {Case{0xFE830, 17}, Case{0xFE85F, 1}, Case{0xFE800, 2048}}) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(MmMapIoSpace(At(c.address), c.length, MmCached), nullptr);
    }
    void* before = MmMapIoSpace(At(0xFE830), 16, MmCached);
    void* after = MmMapIoSpace(At(0xFE860), 16, MmCached);
    EXPECT_NE(before, nullptr);
    EXPECT_NE(after, nullptr);
    MmUnmapIoSpace(before, 16);
    MmUnmapIoSpace(after, 16);
    EXPECT_EQ(host::MappingCount(), 2u);
}

TEST_F(PhysicalMemoryTest, UnmapMustMatchALiveMapping) {
    ExpectReports(host::ReportKind::Mapping);
    void* window = MmMapIoSpace(At(0xF0000), 2048, MmCached);
    ASSERT_NE(window, nullptr);
    MmUnmapIoSpace(window, 2047);
    EXPECT_EQ(host::Reports().size(), 1u);
    MmUnmapIoSpace(window, 2048);  // already gone
    EXPECT_EQ(host::Reports().size(), 2u);
    EXPECT_TRUE(host::LiveMappings().empty());
}

TEST_F(PhysicalMemoryTest, LeftoverMappingsAreLeaksAndBadImagesAreRefused) {
    ExpectReports(host::ReportKind::Mapping);
    MmMapIoSpace(At(0xFEC80), 32, MmCached);
    EXPECT_EQ(host::CheckForLeaks(), 1u);
    EXPECT_THROW(host::SetBiosImage(std::vector<std::uint8_t>(100)), std::invalid_argument);
}

}  // namespace

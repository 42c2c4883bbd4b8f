// Board validation on small crafted BIOS images: which signature wins, where the marker
// is looked for, the family-name scan window by window, unmappable areas, and the debug
// text of each decision byte for byte. No mapping or pool block survives a call.
#include "PlatformFixture.h"
#include "RailwatchDrv.h"
#include "DriverImageRun.h"
#include "SimulatedBoard.h"

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t kAwardSignature = 0xFE061;
constexpr std::uint32_t kAwardWindow = 0xFEC80;
constexpr std::uint32_t kAmiSignature = 0xFF400;
constexpr std::uint32_t kAmiWindow = 0xFE840;
constexpr std::uint32_t kScanWindow = 2048;

const std::string kAward = "Phoenix - AwardBIOS";
const std::string kAmi = "AMIBIOS";

const std::string kEntered = "---->CheckValidBoard!---->\n\n";
const std::string kAwardLine = "AWARD_BIOS \n\n";
const std::string kAmiLine = "AMI_BIOS \n\n";
const std::string kValid = "<---- CheckValidBoard!    bValid = TRUE<----\n\n";
const std::string kInvalid = "<---- CheckValidBoard!    bValid = FALSE<----\n\n";

struct Bytes {
    std::uint32_t physical;
    std::string bytes;
};

struct Unmappable {
    std::uint64_t physical;
    std::size_t length;
};

struct BoardCase {
    const char* name;
    std::vector<Bytes> writes;
    std::vector<Unmappable> unmappable;
    bool valid;
    std::string debugText;
};

// CheckValidBoard and its helpers called directly: the built-in driver only.
class BoardValidationTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        HostBuildOnly();
    }

    // A blank image (all zeros: no signature, no marker, no family name) with the writes.
    static void UseImage(const std::vector<Bytes>& writes) {
        std::vector<std::uint8_t> image(host::kBiosSize, 0x00);
        for (const auto& write : writes) {
            simboard::PutBytes(image, write.physical, write.bytes);
        }
        host::SetBiosImage(image);
    }

    static void ExpectNothingLeft() {
        EXPECT_TRUE(host::LiveMappings().empty());
        EXPECT_TRUE(host::OutstandingPool().empty());
    }
};

TEST_F(BoardValidationTest, DecisionAndDebugTextForEachImage) {
    const std::string marker = "AK";
    const BoardCase cases[] = {
        {"AMI with the marker",
         {{kAmiSignature, kAmi}, {kAmiWindow + 5, marker}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"Award with the marker",
         {{kAwardSignature, kAward}, {kAwardWindow, marker}},
         {},
         true,
         kEntered + kAwardLine + kValid},
        {"both signatures: Award wins, its window is empty and no family scan follows",
         {{kAwardSignature, kAward},
          {kAmiSignature, kAmi},
          {kAmiWindow, marker},
          {0xF4000, "KEV-"}},
         {},
         false,
         kEntered + kAwardLine + kInvalid},
        {"Award without the marker ignores a family name",
         {{kAwardSignature, kAward}, {0xF4000, "KEV-"}},
         {},
         false,
         kEntered + kAwardLine + kInvalid},
        {"marker at offsets 30 and 31",
         {{kAmiSignature, kAmi}, {kAmiWindow + 30, marker}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"0x41 at offset 31 is not completed by the byte after the window",
         {{kAmiSignature, kAmi}, {kAmiWindow + 31, marker}},
         {},
         false,
         kEntered + kAmiLine + kInvalid},
        {"0x41 0x41 0x4B",
         {{kAmiSignature, kAmi}, {kAmiWindow + 10, "AAK"}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"marker in lower case",
         {{kAmiSignature, kAmi}, {kAmiWindow, "ak"}},
         {},
         false,
         kEntered + kAmiLine + kInvalid},
        {"a lone 0x41 in the AMI window",
         {{kAmiSignature, kAmi}, {kAmiWindow + 5, "A"}},
         {},
         false,
         kEntered + kAmiLine + kInvalid},
        {"a lone 0x4B in the AMI window",
         {{kAmiSignature, kAmi}, {kAmiWindow + 6, "K"}},
         {},
         false,
         kEntered + kAmiLine + kInvalid},
        {"the marker's bytes the other way round in the AMI window",
         {{kAmiSignature, kAmi}, {kAmiWindow + 5, "KA"}},
         {},
         false,
         kEntered + kAmiLine + kInvalid},
        {"a lone 0x41 in the Award window",
         {{kAwardSignature, kAward}, {kAwardWindow, "A"}},
         {},
         false,
         kEntered + kAwardLine + kInvalid},
        {"a lone 0x4B in the Award window",
         {{kAwardSignature, kAward}, {kAwardWindow + 1, "K"}},
         {},
         false,
         kEntered + kAwardLine + kInvalid},
        {"the marker's bytes the other way round in the Award window",
         {{kAwardSignature, kAward}, {kAwardWindow, "KA"}},
         {},
         false,
         kEntered + kAwardLine + kInvalid},
        {"the AMI signature with its last byte changed",
         {{kAmiSignature, "AMIBIOT"}, {kAmiWindow, marker}},
         {},
         false,
         kEntered},
        {"the Award signature with its last byte changed",
         {{kAwardSignature, "Phoenix - AwardBIOT"}, {kAwardWindow, marker}},
         {},
         false,
         kEntered},
        {"no signature at all",
         {{kAmiWindow, marker}, {kAwardWindow, marker}},
         {},
         false,
         kEntered},
        {"a NUL inside the AMI signature",
         {{kAmiSignature, std::string("AMI\0IOS", 7)}, {kAmiWindow, marker}},
         {},
         false,
         kEntered},
        {"a NUL inside the Award signature falls through to AMI",
         {{kAwardSignature, std::string("Phoenix - Award\0IOS", 19)},
          {kAmiSignature, kAmi},
          {kAmiWindow, marker}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"AMI family name inside one window",
         {{kAmiSignature, kAmi}, {0xF9A10, "KEV-6150"}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"AMI family name inside a longer word",
         {{kAmiSignature, kAmi}, {0xF1234, "XXJOKYY"}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"AMI family name in lower case",
         {{kAmiSignature, kAmi}, {0xF1234, "kev-"}},
         {},
         false,
         kEntered + kAmiLine + kInvalid},
        {"family name ending on a window's last byte",
         {{kAmiSignature, kAmi}, {0xF0000 + 5 * kScanWindow - 3, "WYN"}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"family name ending on the BIOS area's last byte",
         {{kAmiSignature, kAmi}, {0x100000 - 3, "VEB"}},
         {},
         true,
         kEntered + kAmiLine + kValid},
        {"family name across two windows",
         {{kAmiSignature, kAmi}, {0xF0000 + 5 * kScanWindow - 2, "KEV-"}},
         {},
         false,
         kEntered + kAmiLine + kInvalid},
        {"unmappable marker window",
         {{kAmiSignature, kAmi}, {kAmiWindow, marker}},
         {{kAmiWindow, 32}},
         false,
         kEntered + kAmiLine},
        {"unmappable Award signature counts as absent",
         {{kAwardSignature, kAward}, {kAmiSignature, kAmi}, {kAmiWindow, marker}},
         {{kAwardSignature, 1}},
         true,
         kEntered + kAmiLine + kValid},
        {"unmappable scan window hides its family name",
         {{kAmiSignature, kAmi}, {0xF9A10, "KEV-"}},
         {{0xF9800, kScanWindow}},
         false,
         kEntered + kAmiLine + kInvalid},
        {"an unmappable window does not stop the scan",
         {{kAmiSignature, kAmi}, {0xF0010, "RBZ"}, {0xFA010, "FOJ"}},
         {{0xF0000, kScanWindow}},
         true,
         kEntered + kAmiLine + kValid},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        host::ResetPlatform();
        UseImage(test.writes);
        for (const auto& range : test.unmappable) {
            host::MarkUnmappable(range.physical, range.length);
        }
        EXPECT_EQ(CheckValidBoard(), test.valid ? TRUE : FALSE);
        EXPECT_EQ(host::DebugText(), test.debugText);
        ExpectNothingLeft();
    }
}

// Every family prefix counts whole and only whole: with its last character changed it is
// no family name (a search that compared one character too few would take it).
TEST_F(BoardValidationTest, EachFamilyPrefixWholeOrWithItsLastCharacterChanged) {
    const std::string prefixes[] = {"KEV-", "RBZ", "OLMI", "ZUTR", "HEGO",
                                    "WYN",  "FOJ", "VEB",  "JOK"};
    for (const auto& prefix : prefixes) {
        std::string changed = prefix;
        changed.back() = char(changed.back() + 1);
        for (const auto& name : {prefix, changed}) {
            SCOPED_TRACE(name);
            host::ResetPlatform();
            UseImage({{kAmiSignature, kAmi}, {0xF4810, name}});
            const bool valid = name == prefix;
            EXPECT_EQ(CheckValidBoard(), valid ? TRUE : FALSE);
            EXPECT_EQ(host::DebugText(), kEntered + kAmiLine + (valid ? kValid : kInvalid));
            ExpectNothingLeft();
        }
    }
}

// Each window is mapped and copied anew for every prefix tried in it: a board with no
// family name costs 2 signature maps, the marker window and 32 x 9 window searches, every
// one of them inside the BIOS ROM (a mapping past it would be reported).
TEST_F(BoardValidationTest, FamilyScanSearchesEveryWindowForEveryPrefix) {
    UseImage({{kAmiSignature, kAmi}});
    EXPECT_FALSE(CheckValidBoard());
    EXPECT_EQ(host::CallCount("MmMapIoSpace"), 2u + 1u + 32u * 9u);
    EXPECT_EQ(host::MappingCount(), 2u + 1u + 32u * 9u);
    EXPECT_EQ(host::PoolAllocationCount(), 32u * 9u);
    ExpectNothingLeft();
}

TEST_F(BoardValidationTest, ComparePhysicalMemory) {
    UseImage({{kAmiSignature, kAmi}, {0xF0100, std::string("AMI\0IOS", 7)}});
    EXPECT_TRUE(ComparePhysicalMemory(kAmiSignature, "AMIBIOS", 7));
    EXPECT_TRUE(ComparePhysicalMemory(kAmiSignature, "AMIXXXX", 3));  // only the length counts
    EXPECT_FALSE(ComparePhysicalMemory(kAmiSignature + 1, "AMIBIOS", 7));
    EXPECT_FALSE(ComparePhysicalMemory(0xF0100, "AMIBIOS", 7));  // NUL in memory differs
    host::MarkUnmappable(kAmiSignature, 7);
    EXPECT_FALSE(ComparePhysicalMemory(kAmiSignature, "AMIBIOS", 7));
    ExpectNothingLeft();
}

TEST_F(BoardValidationTest, FindStringInPhysicalWindow) {
    // NUL bytes before the needle are ordinary bytes: the search goes on past them.
    UseImage({{0xF0800 + 100, "HEGO"}});
    EXPECT_TRUE(FindStringInPhysicalWindow(0xF0800, "HEGO"));
    EXPECT_FALSE(FindStringInPhysicalWindow(0xF0000, "HEGO"));
    EXPECT_FALSE(FindStringInPhysicalWindow(0xF0800, "HEGOX"));
    ExpectNothingLeft();

    const auto mappingsBefore = host::CallCount("MmMapIoSpace");
    EXPECT_FALSE(FindStringInPhysicalWindow(0xF0800, nullptr));
    EXPECT_EQ(host::CallCount("MmMapIoSpace"), mappingsBefore) << "a null needle maps nothing";
    EXPECT_TRUE(FindStringInPhysicalWindow(0xF0800, ""));
    EXPECT_EQ(host::CallCount("MmMapIoSpace"), mappingsBefore + 1)
        << "an empty needle maps and copies";

    host::FailCall("ExAllocatePoolWithTag", host::CallCount("ExAllocatePoolWithTag") + 1);
    EXPECT_FALSE(FindStringInPhysicalWindow(0xF0800, "HEGO")) << "no window copy";
    ExpectNothingLeft();

    host::MarkUnmappable(0xF0800 + 2047, 1);
    EXPECT_FALSE(FindStringInPhysicalWindow(0xF0800, "HEGO"));
    EXPECT_FALSE(FindStringInPhysicalWindow(0xF0800, ""));
    EXPECT_TRUE(host::DebugText().empty());
    ExpectNothingLeft();
}

}  // namespace

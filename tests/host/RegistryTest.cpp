// The registry: keys, value writes and the dump format.
#include "PlatformFixture.h"

namespace {

const char16_t kKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RailwatchDrv";

using RegistryTest = PlatformTest;

NTSTATUS WriteDword(const char16_t* key, const char16_t* name, ULONG value) {
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, name, REG_DWORD, &value, sizeof value);
}

TEST_F(RegistryTest, DumpShowsDwordsAndStringsInFirstWriteOrder) {
    host::CreateRegistryKey(kKey);
    const char16_t text[] = u"\\\\?\\ROOT#SYSTEM#0000";
    EXPECT_EQ(WriteDword(kKey, u"ChipsetType", 1), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKey, u"InterfaceName", REG_SZ,
                                    const_cast<char16_t*>(text), sizeof text),
              STATUS_SUCCESS);
    EXPECT_EQ(WriteDword(kKey, u"CHIPSETTYPE", 0xAB), STATUS_SUCCESS);  // same value

    const std::string key =
        "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RailwatchDrv";
    EXPECT_EQ(host::DumpRegistry(), key + "\\ChipsetType REG_DWORD 0x000000AB\n" + key +
                                        "\\InterfaceName REG_SZ 42 \"\\\\?\\ROOT#SYSTEM#0000\"\n");
    const auto value = host::FindRegistryValue(
        u"\\registry\\machine\\system\\currentcontrolset\\services\\railwatchdrv", u"chipsettype");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->key, kKey);  // the spelling it was made with
    EXPECT_EQ(value->type, ULONG{REG_DWORD});
    EXPECT_EQ(value->data, (std::vector<std::uint8_t>{0xAB, 0, 0, 0}));
}

TEST_F(RegistryTest, StringTextEndsAtItsFirstNulButTheLengthIsKept) {
    host::CreateRegistryKey(u"K");
    const char16_t text[] = u"ab\0cd";
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"k", u"V", REG_SZ, const_cast<char16_t*>(text),
                          sizeof text);
    EXPECT_EQ(host::DumpRegistry(), "K\\V REG_SZ 12 \"ab\"\n");
}

TEST_F(RegistryTest, WritesThatCannotLandChangeNothing) {
    EXPECT_EQ(WriteDword(kKey, u"ChipsetType", 1), STATUS_OBJECT_NAME_NOT_FOUND);
    host::CreateRegistryKey(kKey);
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(1, kKey, u"ChipsetType", REG_DWORD, &one, 4),
              STATUS_INVALID_PARAMETER);
    host::FailCall("RtlWriteRegistryValue", 3);
    EXPECT_EQ(WriteDword(kKey, u"ChipsetType", 1), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(host::RegistryValues().empty());
    EXPECT_EQ(host::DumpRegistry(), "");
}

TEST_F(RegistryTest, WritingAbovePassiveLevelIsReported) {
    ExpectReports(host::ReportKind::Irql);
    host::CreateRegistryKey(kKey);
    host::SetCurrentIrql(DISPATCH_LEVEL);
    WriteDword(kKey, u"ChipsetType", 1);
    EXPECT_EQ(host::Reports().size(), 1u);
}

}  // namespace

// DbgPrint text capture and its formatter.
#include "PlatformFixture.h"

namespace {

using DebugPrintTest = PlatformTest;

std::string Printed() {
    std::string text = host::DebugText();
    host::ClearDebugText();
    return text;
}

TEST_F(DebugPrintTest, PrintfConversionsTheDriverUses) {
    DbgPrint("<---- CheckValidBoard!    bValid = %s<----\n\n", "TRUE");
    EXPECT_EQ(Printed(), "<---- CheckValidBoard!    bValid = TRUE<----\n\n");
    DbgPrint("%u|%d|%x|%X|%c|%%|%08X|%-4d|%4s|%.2s", 4000000000u, -5, 0xBEEFu, 0xBEEFu, 'k', 0x1Fu,
             7, "ab", "xyz");
    EXPECT_EQ(Printed(), "4000000000|-5|beef|BEEF|k|%|0000001F|7   |  ab|xy");
    DbgPrint("%lu %ld %lx %llu %s", ULONG{0xFFFFFFFFu}, LONG{-1}, ULONG{0x10}, ULONGLONG{1} << 40,
             nullptr);
    EXPECT_EQ(Printed(), "4294967295 -1 10 1099511627776 (null)");
}

TEST_F(DebugPrintTest, CountedWideStringsAndPointers) {
    WCHAR buffer[] = u"RailwatchDrvXYZ";
    UNICODE_STRING string{24, 32, buffer};  // 12 characters, no NUL inside the count
    DbgPrint("path=%wZ.", &string);
    EXPECT_EQ(Printed(), "path=RailwatchDrv.");

    void* pointer = reinterpret_cast<void*>(std::uintptr_t{0xABCDEF12});
    DbgPrint("at 0x%p", pointer);
    EXPECT_EQ(Printed(), "at 0x00000000ABCDEF12");
    DbgPrint("%p", nullptr);
    EXPECT_EQ(Printed(), "0000000000000000");
}

TEST_F(DebugPrintTest, TextAccumulatesUntilCleared) {
    DbgPrint("a");
    DbgPrint("b%d", 1);
    EXPECT_EQ(host::DebugText(), "ab1");
    host::ClearDebugText();
    EXPECT_EQ(host::DebugText(), "");
}

}  // namespace

// Super I/O detection: which pairs a probe touches, access for access, where the reading
// pair ends up, and the "ChipsetType" value it publishes.
#include "SupplyBoardTest.h"

namespace {

using Trace = std::vector<std::string>;

// The registry path handed over at load; "ChipsetType" goes under it, not under the
// fixed service key.
constexpr std::u16string_view kLoadPath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\RailwatchDrv";

// One probe: both enter keys, chip ID, revision, exit key.
const Trace kFoundAt2E = {"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x20", "in 0x2F 0x52",
                          "out 0x2E 0x21", "in 0x2F 0x41",  "out 0x2E 0xAA"};
const Trace kNothingAt2E = {"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x20", "in 0x2F 0xFF",
                            "out 0x2E 0x21", "in 0x2F 0xFF",  "out 0x2E 0xAA"};
const Trace kOtherChipAt2E = {"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x20", "in 0x2F 0x53",
                              "out 0x2E 0x21", "in 0x2F 0x52",  "out 0x2E 0xAA"};
const Trace kFoundAt4E = {"out 0x4E 0x87", "out 0x4E 0x87", "out 0x4E 0x20", "in 0x4F 0x52",
                          "out 0x4E 0x21", "in 0x4F 0x41",  "out 0x4E 0xAA"};
const Trace kNothingAt4E = {"out 0x4E 0x87", "out 0x4E 0x87", "out 0x4E 0x20", "in 0x4F 0xFF",
                            "out 0x4E 0x21", "in 0x4F 0xFF",  "out 0x4E 0xAA"};
const Trace kOtherChipAt4E = {"out 0x4E 0x87", "out 0x4E 0x87", "out 0x4E 0x20", "in 0x4F 0x53",
                              "out 0x4E 0x21", "in 0x4F 0x52",  "out 0x4E 0xAA"};

Trace Then(Trace first, const Trace& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class SuperIoTest : public SupplyBoardTest {
  protected:
    DEVICE_EXTENSION* AddedWithChip(const host::ChipConfig& chip) {
        simboard::BoardOptions options;
        options.registryPath = kLoadPath;
        AddedBoard(options);
        host::ConfigureChip(chip);
        host::ClearPortTrace();
        return Extension();
    }

    static std::optional<host::RegistryValue> ChipsetTypeValue() {
        return host::FindRegistryValue(kLoadPath, u"ChipsetType");
    }
};

struct DetectionCase {
    const char* name;
    host::ChipConfig chip;
    BOOLEAN found;
    Trace first;         // the first detection
    Trace second;        // a detection right after it
    LONG chipIndexPort;  // the pair that the reads use, 0 when the chip was not found
};

// Before the chip has been found a probe tries 0x2E, then 0x4E; once found, it tries that
// pair first.
TEST_F(SuperIoTest, DetectionProbesItsPairsInOrder) {
    HostBuildOnly();
    const DetectionCase cases[] = {
        {"chip at 0x2E", {0x2E, 0x52, 0x41}, TRUE, kFoundAt2E, kFoundAt2E, 0x2E},
        {"chip at 0x4E only",
         {0x4E, 0x52, 0x41},
         TRUE,
         Then(kNothingAt2E, kFoundAt4E),
         kFoundAt4E,
         0x4E},
        {"no chip",
         {0, 0x52, 0x41},
         FALSE,
         Then(kNothingAt2E, kNothingAt4E),
         Then(kNothingAt2E, kNothingAt4E),
         0},
        {"another chip at 0x2E, its revision 0x52",
         {0x2E, 0x53, 0x52},
         FALSE,
         Then(kOtherChipAt2E, kNothingAt4E),
         Then(kOtherChipAt2E, kNothingAt4E),
         0},
        {"another chip at 0x4E",
         {0x4E, 0x53, 0x52},
         FALSE,
         Then(kNothingAt2E, kOtherChipAt4E),
         Then(kNothingAt2E, kOtherChipAt4E),
         0},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        DEVICE_EXTENSION* extension = AddedWithChip(row.chip);
        ASSERT_NE(extension, nullptr);
        const unsigned writesBefore = host::CallCount("RtlWriteRegistryValue");

        EXPECT_EQ(DetectSuperIo(extension), row.found);

        EXPECT_EQ(PortTraceText(), row.first);
        EXPECT_EQ(g_IndexPort, row.chipIndexPort);
        EXPECT_EQ(g_DataPort, row.found ? row.chipIndexPort + 1 : 0);
        EXPECT_EQ(extension->m_ChipsetType, row.found ? 1u : 0u);
        EXPECT_EQ(host::CallCount("RtlWriteRegistryValue") - writesBefore, row.found ? 1u : 0u);
        const auto value = ChipsetTypeValue();
        ASSERT_EQ(value.has_value(), bool(row.found));
        if (value) {
            EXPECT_EQ(value->type, ULONG{REG_DWORD});
            EXPECT_EQ(value->data, (std::vector<std::uint8_t>{1, 0, 0, 0}));
        }
        EXPECT_FALSE(host::FindRegistryValue(simboard::kServiceKeyPath, u"ChipsetType"));

        host::ClearPortTrace();
        EXPECT_EQ(DetectSuperIo(extension), row.found);
        EXPECT_EQ(PortTraceText(), row.second);
        EXPECT_EQ(host::CallCount("RtlWriteRegistryValue") - writesBefore, row.found ? 2u : 0u);

        host::ClearPortTrace();
        const auto answer = AskSupply(Board().Device(), 1);
        if (row.found) {
            const USHORT chipPort = USHORT(row.chipIndexPort);
            EXPECT_EQ(answer.result.status, STATUS_SUCCESS);
            EXPECT_EQ(PortsUsed(), (std::vector<USHORT>{chipPort, USHORT(chipPort + 1)}));
        } else {
            EXPECT_EQ(answer.result.status, STATUS_DEVICE_NOT_READY);
            EXPECT_EQ(PortTraceText(), Trace{});
        }
    }
}

// Once found, the chip is read where it was found, also after a probe that misses: a read
// on an empty pair would see a floating bus and report every supply as good. The probe
// that misses tries the chip's pair first, and so does the next one.
TEST_F(SuperIoTest, ReadsStayWhereTheChipWasLastFound) {
    HostBuildOnly();
    for (const USHORT chipPort : {USHORT{0x2E}, USHORT{0x4E}}) {
        SCOPED_TRACE(chipPort);
        DEVICE_EXTENSION* extension = AddedWithChip({chipPort, 0x52, 0x41});
        ASSERT_NE(extension, nullptr);
        ASSERT_TRUE(DetectSuperIo(extension));

        host::ConfigureChip({0, 0x52, 0x41});  // the chip stops answering
        host::ClearPortTrace();
        EXPECT_FALSE(DetectSuperIo(extension));
        EXPECT_EQ(PortsUsed(), chipPort == 0x2E ? (std::vector<USHORT>{0x2E, 0x2F, 0x4E, 0x4F})
                                                : (std::vector<USHORT>{0x4E, 0x4F, 0x2E, 0x2F}));
        EXPECT_EQ(g_IndexPort, chipPort);
        EXPECT_EQ(g_DataPort, chipPort + 1);
        EXPECT_EQ(extension->m_ChipsetType, 1u);  // a failed detection keeps it

        host::ConfigureChip({chipPort, 0x52, 0x41});  // back again
        Board().SetSupply(1, false);
        host::ClearPortTrace();
        const auto answer = AskSupply(Board().Device(), 1);
        EXPECT_EQ(answer.buffer, (std::array<UCHAR, 2>{kCallerByte, 0}));
        EXPECT_EQ(PortsUsed(), (std::vector<USHORT>{chipPort, USHORT(chipPort + 1)}));

        host::ClearPortTrace();
        EXPECT_TRUE(DetectSuperIo(extension));
        EXPECT_EQ(PortTraceText(), chipPort == 0x2E ? kFoundAt2E : kFoundAt4E);
    }
}

// A chip slow to answer on wake: the wake's probe misses it on both pairs, and the next
// start still finds it where it sits, with one probe.
TEST_F(SuperIoTest, AStartAfterAWakeWhoseProbeMissedFindsTheChip) {
    for (const USHORT chipPort : {USHORT{0x2E}, USHORT{0x4E}}) {
        SCOPED_TRACE(chipPort);
        simboard::BoardOptions options;
        options.superIoIndexPort = chipPort;
        auto& board = BootedBoard(options);
        EXPECT_EQ(
            board.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep)
                .status,
            STATUS_SUCCESS);
        host::ConfigureChip({0, 0x52, 0x41});  // not answering yet when the wake probes
        EXPECT_EQ(
            board.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionSleep)
                .status,
            STATUS_SUCCESS);
        host::ConfigureChip({chipPort, 0x52, 0x41});

        EXPECT_EQ(board.Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        host::ClearPortTrace();
        EXPECT_TRUE(NT_SUCCESS(board.Start().status));
        EXPECT_EQ(PortTraceText(), chipPort == 0x2E ? kFoundAt2E : kFoundAt4E);
        EXPECT_EQ(AskSupply(board.Device(), 2).result.status, STATUS_SUCCESS);
    }
}

TEST_F(SuperIoTest, UnnoticedRegistryFailureStillFindsTheChip) {
    HostBuildOnly();
    DEVICE_EXTENSION* extension = AddedWithChip({0x2E, 0x52, 0x41});
    ASSERT_NE(extension, nullptr);
    host::FailCall("RtlWriteRegistryValue", host::CallCount("RtlWriteRegistryValue") + 1);

    EXPECT_TRUE(DetectSuperIo(extension));
    EXPECT_EQ(extension->m_ChipsetType, 1u);
    EXPECT_FALSE(ChipsetTypeValue());
}

}  // namespace

// The W83627 model behind the simulated ISA bus: configuration keys, register file, pin
// visibility, port positions, the trace and the interleave watch.
#include "PlatformFixture.h"

#include <thread>

namespace {

using host::ChipConfig;

constexpr USHORT kIndex = 0x2E;

void Out(USHORT port, UCHAR value) { HostPortWriteByte(port, value); }
void Enter(USHORT index = kIndex) {
    Out(index, 0x87);
    Out(index, 0x87);
}
void Leave(USHORT index = kIndex) { Out(index, 0xAA); }
UCHAR ReadReg(UCHAR reg, USHORT index = kIndex) {
    Out(index, reg);
    return HostPortReadByte(static_cast<USHORT>(index + 1));
}
void WriteReg(UCHAR reg, UCHAR value, USHORT index = kIndex) {
    Out(index, reg);
    Out(static_cast<USHORT>(index + 1), value);
}

// The driver's read of one supply, access for access: select, route, activate, input,
// no inversion, read the data register.
struct Supply {
    UCHAR device;
    UCHAR pinSelectRegister;
    UCHAR pinSelectBit;
    UCHAR mask;
};
constexpr Supply kSupply1{8, 0x2B, 0x04, 0x40};
constexpr Supply kSupply2{9, 0x29, 0x40, 0x10};

UCHAR ReadSupplyData(const Supply& supply) {
    Enter();
    WriteReg(0x07, supply.device);
    const auto setBits = [](UCHAR reg, UCHAR bits, bool set) {
        const UCHAR value = ReadReg(reg);
        WriteReg(reg, static_cast<UCHAR>(set ? (value | bits) : (value & ~bits)));
    };
    setBits(supply.pinSelectRegister, supply.pinSelectBit, true);
    setBits(0x30, 0x01, true);
    setBits(0xF0, supply.mask, true);
    setBits(0xF2, supply.mask, false);
    const UCHAR data = ReadReg(0xF1);
    Leave();
    return data;
}

using SuperIoChipTest = PlatformTest;

TEST_F(SuperIoChipTest, RegistersAnswerOnlyInsideConfigurationMode) {
    // Before the keys: data reads float high and data writes go nowhere.
    EXPECT_EQ(ReadReg(0x20), 0xFF);
    WriteReg(0x2B, 0x04);
    EXPECT_EQ(host::ChipRegister(0xFF, 0x2B), 0x00);

    // One key, something else, one key: still not in configuration mode.
    Out(kIndex, 0x87);
    Out(kIndex, 0x55);
    Out(kIndex, 0x87);
    EXPECT_EQ(ReadReg(0x20), 0xFF);

    Enter();
    EXPECT_EQ(ReadReg(0x20), 0x52);
    EXPECT_EQ(ReadReg(0x21), 0x41);
    WriteReg(0x2B, 0x04);
    EXPECT_EQ(ReadReg(0x2B), 0x04);
    Leave();

    EXPECT_EQ(ReadReg(0x2B), 0xFF);
    EXPECT_EQ(host::ChipRegister(0xFF, 0x2B), 0x04);
}

TEST_F(SuperIoChipTest, IdAndRevisionAreReadOnlyAndConfigurable) {
    host::ConfigureChip(ChipConfig{0x2E, 0x53, 0x17});
    Enter();
    WriteReg(0x20, 0x52);
    WriteReg(0x21, 0x00);
    EXPECT_EQ(ReadReg(0x20), 0x53);
    EXPECT_EQ(ReadReg(0x21), 0x17);
    Leave();
}

TEST_F(SuperIoChipTest, RegistersArePerLogicalDevice) {
    Enter();
    WriteReg(0x07, 8);
    WriteReg(0xF0, 0x12);
    WriteReg(0x07, 9);
    WriteReg(0xF0, 0x34);
    EXPECT_EQ(ReadReg(0xF0), 0x34);
    WriteReg(0x07, 8);
    EXPECT_EQ(ReadReg(0xF0), 0x12);
    EXPECT_EQ(ReadReg(0x07), 8);
    Leave();
    EXPECT_EQ(host::ChipRegister(9, 0xF0), 0x34);
}

TEST_F(SuperIoChipTest, SupplyPinShowsItsLevelOnlyWhenRoutedActiveAndInput) {
    struct Case {
        const char* name;
        bool routed, active, input, inverted, level;
        UCHAR latch;
        bool expected;
    };
    const Case cases[] = {
        {"visible high", true, true, true, false, true, 0x00, true},
        {"visible low", true, true, true, false, false, 0xFF, false},
        {"visible inverted", true, true, true, true, false, 0x00, true},
        {"not routed: latch xor inversion", false, true, true, true, true, 0x00, true},
        {"not routed: latch", false, true, true, false, true, 0x00, false},
        {"inactive device: latch", true, false, true, false, true, 0x00, false},
        {"output: latch, no inversion", true, true, false, true, false, 0xFF, true},
    };
    for (const Supply& supply : {kSupply1, kSupply2}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", device " + std::to_string(supply.device));
            host::ResetPlatform();
            host::SetSupplyLevel(supply.device == 8 ? 1 : 2, c.level);
            host::SetChipRegister(0xFF, supply.pinSelectRegister,
                                  c.routed ? supply.pinSelectBit : 0);
            host::SetChipRegister(supply.device, 0x30, c.active ? 0x01 : 0x00);
            host::SetChipRegister(supply.device, 0xF0, c.input ? supply.mask : 0x00);
            host::SetChipRegister(supply.device, 0xF2, c.inverted ? supply.mask : 0x00);
            host::SetChipRegister(supply.device, 0xF1, c.latch);
            Enter();
            WriteReg(0x07, supply.device);
            EXPECT_EQ((ReadReg(0xF1) & supply.mask) != 0, c.expected);
            Leave();
        }
    }
}

TEST_F(SuperIoChipTest, DriverReadSequenceFollowsEachSupplyAndNoOtherBit) {
    for (const Supply& supply : {kSupply1, kSupply2}) {
        const int index = supply.device == 8 ? 1 : 2;
        // Every other bit of the data register set: only the supply's own bit matters.
        host::SetChipRegister(supply.device, 0xF1, static_cast<UCHAR>(~supply.mask));
        host::SetChipRegister(supply.device, 0xF2, 0xFF);
        host::SetSupplyLevel(index, false);
        EXPECT_EQ(ReadSupplyData(supply) & supply.mask, 0);
        host::SetSupplyLevel(index, true);
        EXPECT_EQ(ReadSupplyData(supply) & supply.mask, supply.mask);
    }
    // The settings stay in the chip.
    EXPECT_EQ(host::ChipRegister(0xFF, 0x2B) & 0x04, 0x04);
    EXPECT_EQ(host::ChipRegister(0xFF, 0x29) & 0x40, 0x40);
    EXPECT_EQ(host::ChipRegister(8, 0x30) & 0x01, 0x01);
    EXPECT_EQ(host::ChipRegister(9, 0xF2) & 0x10, 0);
}

TEST_F(SuperIoChipTest, ChipAt4EAnswersThereOnly) {
    host::ConfigureChip(ChipConfig{0x4E, 0x52, 0x41});
    Enter(0x2E);
    EXPECT_EQ(ReadReg(0x20, 0x2E), 0xFF);
    Leave(0x2E);
    Enter(0x4E);
    EXPECT_EQ(ReadReg(0x20, 0x4E), 0x52);
    Leave(0x4E);
}

TEST_F(SuperIoChipTest, NoChipMeansEveryPortFloatsHigh) {
    host::ConfigureChip(ChipConfig{0, 0x52, 0x41});
    for (const USHORT index : {USHORT{0x2E}, USHORT{0x4E}}) {
        Enter(index);
        EXPECT_EQ(ReadReg(0x20, index), 0xFF);
        EXPECT_EQ(HostPortReadByte(index), 0xFF);
        Leave(index);
    }
    EXPECT_EQ(HostPortReadByte(0x80), 0xFF);
}

TEST_F(SuperIoChipTest, BadChipSettingsAreRefused) {
    EXPECT_THROW(host::ConfigureChip(ChipConfig{0x3F0, 0x52, 0x41}), std::invalid_argument);
    EXPECT_THROW(host::SetSupplyLevel(0, true), std::invalid_argument);
    EXPECT_THROW(host::SetSupplyLevel(3, true), std::invalid_argument);
}

TEST_F(SuperIoChipTest, TraceRecordsEachAccessAndCountingOutlivesIt) {
    Enter();
    EXPECT_EQ(ReadReg(0x20), 0x52);
    Leave();
    std::string text;
    for (const auto& access : host::PortTrace()) {
        EXPECT_EQ(access.thread, 0u);
        text += host::FormatPortAccess(access) + "\n";
    }
    EXPECT_EQ(text, "out 0x2E 0x87\nout 0x2E 0x87\nout 0x2E 0x20\nin 0x2F 0x52\nout 0x2E 0xAA\n");
    EXPECT_EQ(host::PortAccessCount(), 5u);

    host::ClearPortTrace();
    host::SetPortTraceEnabled(false);
    Enter();
    Leave();
    EXPECT_TRUE(host::PortTrace().empty());
    EXPECT_EQ(host::PortAccessCount(), 8u);
}

TEST_F(SuperIoChipTest, AccessInsideAnotherThreadsSequenceIsReportedOnce) {
    ExpectReports(host::ReportKind::Interleave);
    Enter();  // thread 0 opens a sequence
    std::thread other([] {
        ReadReg(0x20);           // thread 1 walks into it
        ReadReg(0x21);           // same sequence: no second report
        HostPortReadByte(0x80);  // not a configuration port
    });
    other.join();
    Leave();

    const auto reports = host::Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].kind, host::ReportKind::Interleave);
    EXPECT_NE(reports[0].text.find("thread 1"), std::string::npos) << reports[0].text;
    EXPECT_NE(reports[0].text.find("thread 0"), std::string::npos) << reports[0].text;
}

TEST_F(SuperIoChipTest, SequencesOneAfterAnotherAreFineEvenWithoutAChip) {
    host::ConfigureChip(ChipConfig{0, 0x52, 0x41});
    Enter();
    Leave();
    std::thread other([] {
        Enter(0x4E);
        ReadReg(0x20, 0x4E);
        Leave(0x4E);
    });
    other.join();
    Enter();
    Leave();
    EXPECT_TRUE(host::Reports().empty());
}

}  // namespace

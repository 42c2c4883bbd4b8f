// Status requests: the outcome of every kind of request, the controller sequence of each
// supply access for access, which data bit decides the answer, and requests from two
// threads at once.
#include "SupplyBoardTest.h"

#include <atomic>
#include <thread>

namespace {

using Trace = std::vector<std::string>;
constexpr UCHAR kGlobal = 0xFF;  // "logical device" of the chip's global registers
constexpr ULONG kUnknownCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x913, METHOD_BUFFERED, FILE_ANY_ACCESS);

class StatusRequestTest : public SupplyBoardTest {};

// ---------------------------------------------------------------------------------------
// Outcomes
// ---------------------------------------------------------------------------------------

struct OutcomeCase {
    const char* name;
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
    bool systemBuffer;
    NTSTATUS status;
    ULONG_PTR information;
    bool answered;  // the controller is read and byte 1 carries the state
};

TEST_F(StatusRequestTest, EveryKindOfRequestHasItsOutcome) {
    const OutcomeCase cases[] = {
        {"supply 1", IOCTL_GET_PWR1_STATUS, 2, 2, true, STATUS_SUCCESS, 2, true},
        {"supply 2", IOCTL_GET_PWR2_STATUS, 2, 2, true, STATUS_SUCCESS, 2, true},
        {"16-byte buffers", IOCTL_GET_PWR1_STATUS, 16, 16, true, STATUS_SUCCESS, 2, true},
        {"input 2, output 16", IOCTL_GET_PWR2_STATUS, 2, 16, true, STATUS_SUCCESS, 2, true},
        {"input 1", IOCTL_GET_PWR1_STATUS, 1, 2, true, STATUS_BUFFER_TOO_SMALL, 2, false},
        {"output 1", IOCTL_GET_PWR1_STATUS, 2, 1, true, STATUS_BUFFER_TOO_SMALL, 2, false},
        {"no lengths", IOCTL_GET_PWR1_STATUS, 0, 0, true, STATUS_BUFFER_TOO_SMALL, 2, false},
        {"supply 2, output 0", IOCTL_GET_PWR2_STATUS, 2, 0, true, STATUS_BUFFER_TOO_SMALL, 2,
         false},
        {"supply 2, input 1, 16 out", IOCTL_GET_PWR2_STATUS, 1, 16, true, STATUS_BUFFER_TOO_SMALL,
         2, false},
        // Lengths are tested before the buffer.
        {"too short and no buffer", IOCTL_GET_PWR1_STATUS, 1, 1, false, STATUS_BUFFER_TOO_SMALL, 2,
         false},
        {"supply 1, no buffer", IOCTL_GET_PWR1_STATUS, 2, 2, false, STATUS_INVALID_PARAMETER, 0,
         false},
        {"supply 2, no buffer", IOCTL_GET_PWR2_STATUS, 16, 16, false, STATUS_INVALID_PARAMETER, 0,
         false},
        {"unknown code", kUnknownCode, 2, 2, true, STATUS_INVALID_PARAMETER, 0, false},
        {"unknown code, no lengths", kUnknownCode, 0, 0, true, STATUS_INVALID_PARAMETER, 0, false},
        {"unknown code, no buffer", kUnknownCode, 2, 2, false, STATUS_INVALID_PARAMETER, 0, false},
        {"code 0", 0, 2, 2, true, STATUS_INVALID_PARAMETER, 0, false},
    };
    simboard::BoardOptions options;
    options.pwr1 = true;
    options.pwr2 = false;
    DEVICE_OBJECT* device = BootedBoard(options).Device();
    ASSERT_NE(device, nullptr);

    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        std::array<UCHAR, 16> input{};
        input.fill(0x33);
        input[0] = kCallerByte;
        input[1] = 0x77;
        std::array<UCHAR, 16> output{};
        output.fill(kUntouched);
        const auto accessesBefore = host::PortAccessCount();

        const auto result =
            host::DeviceControlTo(device, row.code, input.data(), row.inputLength, output.data(),
                                  row.outputLength, row.systemBuffer);

        EXPECT_EQ(result.returned, row.status);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.information, row.information);
        std::array<UCHAR, 16> expected{};
        expected.fill(kUntouched);
        if (row.answered) {
            expected[0] = kCallerByte;
            expected[1] = row.code == IOCTL_GET_PWR1_STATUS ? 1 : 0;
        }
        EXPECT_EQ(output, expected);
        EXPECT_EQ(host::PortAccessCount() - accessesBefore, row.answered ? 23u : 0u);
    }
}

// Until a probe has found the chip, on a device not started yet or one whose start found
// no chip, there is nothing to read: an empty pair's floating pins would read as "good".
// A well-formed request is refused as not ready with no port access and no probe of its
// own; malformed ones keep their refusals.
TEST_F(StatusRequestTest, RequestsBeforeTheChipIsKnownAreRefusedWithoutPortAccess) {
    struct Board {
        const char* name;
        USHORT chipPort;
        UCHAR chipId;
        bool start;  // a start that finds no chip
    };
    const Board boards[] = {
        {"not started, chip at 0x2E", 0x2E, 0x52, false},
        {"not started, chip at 0x4E", 0x4E, 0x52, false},
        {"start found no chip", 0, 0x52, true},
        {"start found another chip", 0x2E, 0x53, true},
    };
    struct Request {
        ULONG code;
        ULONG length;
        bool systemBuffer;
        NTSTATUS status;
        ULONG_PTR information;
    };
    const Request requests[] = {
        {IOCTL_GET_PWR1_STATUS, 2, true, STATUS_DEVICE_NOT_READY, 0},
        {IOCTL_GET_PWR2_STATUS, 16, true, STATUS_DEVICE_NOT_READY, 0},
        {IOCTL_GET_PWR1_STATUS, 1, true, STATUS_BUFFER_TOO_SMALL, 2},
        {IOCTL_GET_PWR2_STATUS, 2, false, STATUS_INVALID_PARAMETER, 0},
        {kUnknownCode, 2, true, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Board& row : boards) {
        SCOPED_TRACE(row.name);
        simboard::BoardOptions options;
        options.superIoIndexPort = row.chipPort;
        options.chipId = row.chipId;
        auto& board = AddedBoard(options);
        if (row.start) {
            EXPECT_EQ(board.Start().status, STATUS_UNSUCCESSFUL);
        }
        ASSERT_NE(board.Device(), nullptr);
        host::ClearPortTrace();
        for (const Request& request : requests) {
            SCOPED_TRACE(request.code);
            std::array<UCHAR, 16> input{kCallerByte, 0x77};
            std::array<UCHAR, 16> output{};
            output.fill(kUntouched);
            const auto result =
                host::DeviceControlTo(board.Device(), request.code, input.data(), request.length,
                                      output.data(), request.length, request.systemBuffer);
            EXPECT_EQ(result.status, request.status);
            EXPECT_EQ(result.returned, request.status);
            EXPECT_EQ(result.information, request.information);
            EXPECT_EQ(output[1], kUntouched);
        }
        EXPECT_EQ(PortTraceText(), Trace{});
    }
}

// ---------------------------------------------------------------------------------------
// The controller sequence
// ---------------------------------------------------------------------------------------

struct ChipRegister {
    UCHAR logicalDevice;
    UCHAR reg;
    UCHAR value;
};

struct SequenceCase {
    int supply;
    bool level;
    std::vector<ChipRegister> before;  // chosen so that every write-back differs from its read
    Trace first;
    Trace second;  // the same read again: every register already holds what it is given
    UCHAR state;
};

TEST_F(StatusRequestTest, EachSupplyReadIsItsLiteralSequence) {
    const SequenceCase cases[] = {
        {1,
         true,
         {{kGlobal, 0x2B, 0x81},
          {8, 0x30, 0x60},
          {8, 0xF0, 0x0A},
          {8, 0xF2, 0xFF},
          {8, 0xF1, 0x00}},
         {"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x07", "out 0x2F 0x08", "out 0x2E 0x2B",
          "in 0x2F 0x81",  "out 0x2E 0x2B", "out 0x2F 0x85", "out 0x2E 0x30", "in 0x2F 0x60",
          "out 0x2E 0x30", "out 0x2F 0x61", "out 0x2E 0xF0", "in 0x2F 0x0A",  "out 0x2E 0xF0",
          "out 0x2F 0x4A", "out 0x2E 0xF2", "in 0x2F 0xFF",  "out 0x2E 0xF2", "out 0x2F 0xBF",
          "out 0x2E 0xF1", "in 0x2F 0x4A",  "out 0x2E 0xAA"},
         {"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x07", "out 0x2F 0x08", "out 0x2E 0x2B",
          "in 0x2F 0x85",  "out 0x2E 0x2B", "out 0x2F 0x85", "out 0x2E 0x30", "in 0x2F 0x61",
          "out 0x2E 0x30", "out 0x2F 0x61", "out 0x2E 0xF0", "in 0x2F 0x4A",  "out 0x2E 0xF0",
          "out 0x2F 0x4A", "out 0x2E 0xF2", "in 0x2F 0xBF",  "out 0x2E 0xF2", "out 0x2F 0xBF",
          "out 0x2E 0xF1", "in 0x2F 0x4A",  "out 0x2E 0xAA"},
         1},
        {2,
         false,
         {{kGlobal, 0x29, 0x12},
          {9, 0x30, 0x60},
          {9, 0xF0, 0x03},
          {9, 0xF2, 0x30},
          {9, 0xF1, 0xC0}},
         {"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x07", "out 0x2F 0x09", "out 0x2E 0x29",
          "in 0x2F 0x12",  "out 0x2E 0x29", "out 0x2F 0x52", "out 0x2E 0x30", "in 0x2F 0x60",
          "out 0x2E 0x30", "out 0x2F 0x61", "out 0x2E 0xF0", "in 0x2F 0x03",  "out 0x2E 0xF0",
          "out 0x2F 0x13", "out 0x2E 0xF2", "in 0x2F 0x30",  "out 0x2E 0xF2", "out 0x2F 0x20",
          "out 0x2E 0xF1", "in 0x2F 0xC0",  "out 0x2E 0xAA"},
         {"out 0x2E 0x87", "out 0x2E 0x87", "out 0x2E 0x07", "out 0x2F 0x09", "out 0x2E 0x29",
          "in 0x2F 0x52",  "out 0x2E 0x29", "out 0x2F 0x52", "out 0x2E 0x30", "in 0x2F 0x61",
          "out 0x2E 0x30", "out 0x2F 0x61", "out 0x2E 0xF0", "in 0x2F 0x13",  "out 0x2E 0xF0",
          "out 0x2F 0x13", "out 0x2E 0xF2", "in 0x2F 0x20",  "out 0x2E 0xF2", "out 0x2F 0x20",
          "out 0x2E 0xF1", "in 0x2F 0xC0",  "out 0x2E 0xAA"},
         0},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.supply);
        DEVICE_OBJECT* device = BootedBoard().Device();
        ASSERT_NE(device, nullptr);
        Board().SetSupply(row.supply, row.level);
        for (const auto& reg : row.before) {
            host::SetChipRegister(reg.logicalDevice, reg.reg, reg.value);
        }

        for (const Trace* expected : {&row.first, &row.second}) {
            host::ClearPortTrace();
            const auto answer = AskSupply(device, row.supply);
            EXPECT_EQ(answer.result.status, STATUS_SUCCESS);
            EXPECT_EQ(answer.buffer, (std::array<UCHAR, 2>{kCallerByte, row.state}));
            EXPECT_EQ(PortTraceText(), *expected);
        }
    }
}

// Only the supply's own bit of the data register decides; the read makes the pin a
// non-inverted input first, whatever it was.
struct DataBitCase {
    const char* name;
    int supply;
    bool level;
    UCHAR outputLatch;  // the data register's stored value; the other bits are outputs
    UCHAR inversion;
    UCHAR data;  // what the read finds in the data register
    UCHAR state;
};

TEST_F(StatusRequestTest, OnlyTheSupplysDataBitCounts) {
    const DataBitCase cases[] = {
        {"supply 1, every bit but 0x40", 1, false, 0xBF, 0x00, 0xBF, 0},
        {"supply 1, only 0x40", 1, true, 0x00, 0x00, 0x40, 1},
        {"supply 1, inverted before the read", 1, true, 0x00, 0x40, 0x40, 1},
        {"supply 2, every bit but 0x10", 2, false, 0xEF, 0x00, 0xEF, 0},
        {"supply 2, only 0x10", 2, true, 0x00, 0x00, 0x10, 1},
        {"supply 2, supply 1's bit set", 2, false, 0x40, 0x00, 0x40, 0},
        {"supply 2, inverted before the read", 2, false, 0x00, 0x10, 0x00, 0},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        DEVICE_OBJECT* device = BootedBoard().Device();
        ASSERT_NE(device, nullptr);
        const UCHAR logicalDevice = row.supply == 1 ? 8 : 9;
        Board().SetSupply(row.supply, row.level);
        host::SetChipRegister(logicalDevice, 0xF0, 0x00);  // every pin an output
        host::SetChipRegister(logicalDevice, 0xF1, row.outputLatch);
        host::SetChipRegister(logicalDevice, 0xF2, row.inversion);
        host::ClearPortTrace();

        const auto answer = AskSupply(device, row.supply);

        EXPECT_EQ(answer.result.status, STATUS_SUCCESS);
        EXPECT_EQ(answer.buffer[1], row.state);
        const auto trace = PortTraceText();
        ASSERT_EQ(trace.size(), 23u);
        char dataRead[32];
        std::snprintf(dataRead, sizeof dataRead, "in 0x2F 0x%02X", row.data);
        EXPECT_EQ(trace[20], "out 0x2E 0xF1");
        EXPECT_EQ(trace[21], dataRead);
    }
}

// ---------------------------------------------------------------------------------------
// Two threads at once
// ---------------------------------------------------------------------------------------

// Each thread asks for its own supply; the two supplies read differently, so a sequence
// disturbed by the other thread's shows as a wrong answer, and the bus watch reports any
// access of one thread inside the other's configuration sequence.
void AskFromTwoThreads(DEVICE_OBJECT* device, int requestsPerThread, UCHAR state1, UCHAR state2) {
    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    const auto accessesBefore = host::PortAccessCount();
    auto ask = [&](int supply, UCHAR state) {
        for (int i = 0; i < requestsPerThread; ++i) {
            const auto answer = AskSupply(device, supply);
            if (answer.result.status != STATUS_SUCCESS) {
                ++failed;
            } else if (answer.buffer != std::array<UCHAR, 2>{kCallerByte, state}) {
                ++wrong;
            }
        }
    };
    std::thread first(ask, 1, state1);
    std::thread second(ask, 2, state2);
    first.join();
    second.join();

    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(host::PortAccessCount() - accessesBefore, 23u * 2u * unsigned(requestsPerThread));
}

struct TwoThreadCase {
    const char* name;
    bool pwr1;
    bool pwr2;
    int requestsPerThread;
    bool scheduleStress;  // every platform call yields or sleeps a moment first
};

TEST_F(StatusRequestTest, TwoThreadsEachGetTheirOwnSupply) {
    const TwoThreadCase cases[] = {
        {"free running", true, false, 3000, false},
        {"schedule stress", false, true, 100, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        simboard::BoardOptions options;
        options.pwr1 = row.pwr1;
        options.pwr2 = row.pwr2;
        DEVICE_OBJECT* device = BootedBoard(options).Device();
        ASSERT_NE(device, nullptr);
        host::SetPortTraceEnabled(false);
        if (row.scheduleStress) {
            host::EnableScheduleStress(0x5EED);
        }

        AskFromTwoThreads(device, row.requestsPerThread, row.pwr1, row.pwr2);
        host::DisableScheduleStress();
    }
}

}  // namespace

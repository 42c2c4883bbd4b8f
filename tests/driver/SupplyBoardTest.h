// Shared pieces of the driver tests that run the real driver on a simulated board: the
// fixture that owns the board, status requests as one call, and the port trace as text.
#pragma once

#include "DriverImageRun.h"
#include "PlatformFixture.h"
#include "RailwatchDrv.h"
#include "SimulatedBoard.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

// A test with a simulated board. The board is built after the platform's reset (its
// constructor resets the platform too), and torn down, driver unloaded first, before the
// fixture looks at the verifier's reports. A test may build several boards in turn; each
// one's reports are looked at before the next resets the platform.
class SupplyBoardTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        REQUIRE_DRIVER_IMAGE_IF_IMAGE_RUN();
    }

    // In an image run the board runs the shipped image instead of the built-in driver.
    static simboard::BoardOptions ForThisRun(simboard::BoardOptions options) {
        if (IsDriverImageRun()) options.driverImage = ShippedDriverImage();
        return options;
    }

    simboard::SimulatedBoard& MakeBoard(const simboard::BoardOptions& options = {}) {
        if (board_) {
            TearDown();
        }
        board_.emplace(ForThisRun(options));
        return *board_;
    }

    // A board whose driver is loaded and whose device exists but has not been started.
    simboard::SimulatedBoard& AddedBoard(const simboard::BoardOptions& options = {}) {
        auto& board = MakeBoard(options);
        EXPECT_EQ(board.Load(), STATUS_SUCCESS);
        EXPECT_EQ(board.Add(), STATUS_SUCCESS);
        return board;
    }

    simboard::SimulatedBoard& BootedBoard(const simboard::BoardOptions& options = {}) {
        auto& board = MakeBoard(options);
        EXPECT_TRUE(board.Boot());
        return board;
    }

    simboard::SimulatedBoard& Board() { return *board_; }

    DEVICE_EXTENSION* Extension() {
        DEVICE_OBJECT* device = board_->Device();
        return device == nullptr ? nullptr
                                 : static_cast<DEVICE_EXTENSION*>(device->DeviceExtension);
    }

    void TearDown() override {
        if (board_) {
            if (board_->Loaded()) {
                board_->Unload();
            }
            board_.reset();
        }
        PlatformTest::TearDown();
    }

  private:
    std::optional<simboard::SimulatedBoard> board_;
};

// Every pool block the driver allocated since the platform's reset is paged and carries
// the tag of what it holds: the copy of the service key path (`pathCharacters` long, and a
// NUL) 'SIOR', a board-validation window copy (2048 bytes and a NUL) 'ChkB', and the
// "InterfaceName" buffer tag 1.
inline void ExpectDriverPoolTags(std::size_t pathCharacters = simboard::kServiceKeyPath.size()) {
    constexpr ULONG kPathTag = 0x524F4953;    // "SIOR" in memory
    constexpr ULONG kWindowTag = 0x426B6843;  // "ChkB" in memory
    constexpr ULONG kInterfaceNameTag = 1;
    const std::size_t pathBytes = (pathCharacters + 1) * sizeof(WCHAR);
    for (const auto& block : host::PoolAllocations()) {
        const ULONG expected = block.size == pathBytes ? kPathTag
                               : block.size == 2049    ? kWindowTag
                                                       : kInterfaceNameTag;
        EXPECT_EQ(block.tag, expected) << "a block of " << block.size << " bytes";
        EXPECT_EQ(block.type, PagedPool) << "a block of " << block.size << " bytes";
    }
}

inline ULONG SupplyCode(int supply) {
    return supply == 1 ? IOCTL_GET_PWR1_STATUS : IOCTL_GET_PWR2_STATUS;
}

// What a status request brought back: the request's outcome and the caller's buffer.
struct SupplyAnswer {
    host::IoResult result;
    std::array<UCHAR, 2> buffer;
};

// Byte 0 of every exchange buffer the tests send; the driver must hand it back untouched.
constexpr UCHAR kCallerByte = 0x5A;
// What the caller's output buffer holds before the request.
constexpr UCHAR kUntouched = 0xEE;

// One 2-byte status request for the supply, sent by `send` (code, input, output).
template <typename Send>
SupplyAnswer AskSupplyWith(Send send, int supply) {
    const std::array<UCHAR, 2> input{kCallerByte, 0x77};
    SupplyAnswer answer{{}, {kUntouched, kUntouched}};
    answer.result = send(SupplyCode(supply), input.data(), answer.buffer.data());
    return answer;
}

// The request straight to the device.
inline SupplyAnswer AskSupply(DEVICE_OBJECT* device, int supply) {
    return AskSupplyWith(
        [device](ULONG code, const UCHAR* input, UCHAR* output) {
            return host::DeviceControlTo(device, code, input, 2, output, 2);
        },
        supply);
}

// The same request through an open handle.
inline SupplyAnswer AskSupply(FILE_OBJECT* file, int supply) {
    return AskSupplyWith(
        [file](ULONG code, const UCHAR* input, UCHAR* output) {
            return host::DeviceControl(file, code, input, 2, output, 2);
        },
        supply);
}

// The port trace as "out 0x2E 0x87" / "in 0x2F 0x52" lines, so that a test can spell out
// the expected accesses literally and a mismatch shows which access differs.
inline std::vector<std::string> PortTraceText() {
    std::vector<std::string> lines;
    for (const auto& access : host::PortTrace()) {
        lines.push_back(host::FormatPortAccess(access));
    }
    return lines;
}

// The ports that the trace touched, in order of first use.
inline std::vector<USHORT> PortsUsed() {
    std::vector<USHORT> ports;
    for (const auto& access : host::PortTrace()) {
        if (std::find(ports.begin(), ports.end(), access.port) == ports.end()) {
            ports.push_back(access.port);
        }
    }
    return ports;
}

// The tool's Device on the simulated board: a reading keeps the reason of a failure, and a
// monitor that outlives an outage (the service) reads again through a fresh open.
#include "Device.h"
#include "PlatformFixture.h"
#include "SimulatedBoard.h"
#include "host/Win32.h"

#include <optional>

namespace {

class DeviceTest : public PlatformTest {
  protected:
    void TearDown() override {
        device_.reset();  // closes the library's device before the board goes
        if (board_) {
            if (board_->Device() != nullptr) {
                board_->Remove();
            }
            if (board_->Loaded()) {
                board_->Unload();
            }
        }
        EXPECT_EQ(host::OpenHandleCount(), 0u);
        PlatformTest::TearDown();
    }

    std::optional<simboard::SimulatedBoard> board_;
    std::optional<railwatch::Device> device_;
};

void ExpectGood(const railwatch::Reading& reading) {
    EXPECT_EQ(reading.result, Railwatch_SUCCESS);
    EXPECT_TRUE(reading.good[0]);
    EXPECT_TRUE(reading.good[1]);
    EXPECT_EQ(reading.systemError, 0u);
}

void ExpectUnknown(const railwatch::Reading& reading, int result) {
    EXPECT_EQ(reading.result, result);
    EXPECT_FALSE(reading.good[0]);
    EXPECT_FALSE(reading.good[1]);
    EXPECT_NE(reading.systemError, 0u);  // GetLastError() of the call that failed
}

// The device goes (removed) and comes back as a new one: the old handle does not reach
// it, a reopen does.
TEST_F(DeviceTest, AfterTheDeviceWasReplacedAReopenReadsTheNewOne) {
    board_.emplace(simboard::BoardOptions{});
    ASSERT_TRUE(board_->Boot());
    device_.emplace();
    ExpectGood(device_->Read());

    ASSERT_EQ(board_->Remove().status, STATUS_SUCCESS);
    ExpectUnknown(device_->Read(), Railwatch_INVALID_HANDLE);
    ASSERT_EQ(board_->Add(), STATUS_SUCCESS);
    ASSERT_EQ(board_->Start().status, STATUS_SUCCESS);
    ExpectUnknown(device_->Read(), Railwatch_INVALID_HANDLE);  // still the old handle

    device_->Reopen();
    ExpectGood(device_->Read());
    EXPECT_EQ(host::OpenHandleCount(), 1u);  // the old handle was closed
}

// No device at the start (no chip found): the reading says why, and once the device is
// there a reopen reads it.
TEST_F(DeviceTest, WithoutADeviceTheReadingKeepsTheReasonUntilAReopenFindsOne) {
    simboard::BoardOptions noChip;
    noChip.superIoIndexPort = 0;
    board_.emplace(noChip);
    ASSERT_FALSE(board_->Boot());
    device_.emplace();
    SetLastError(0);  // whatever came after the open, the reading keeps its reason
    const railwatch::Reading reading = device_->Read();
    ExpectUnknown(reading, Railwatch_OpenDevice_Failed);
    EXPECT_EQ(reading.systemError, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));

    device_->Reopen();
    ExpectUnknown(device_->Read(), Railwatch_OpenDevice_Failed);
    board_->MoveChip(0x2E);
    ASSERT_EQ(board_->Add(), STATUS_SUCCESS);
    ASSERT_EQ(board_->Start().status, STATUS_SUCCESS);
    device_->Reopen();
    ExpectGood(device_->Read());
}

}  // namespace

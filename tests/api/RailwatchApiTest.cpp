// RailwatchApi against RailwatchDrv on the simulated board: the whole road of a status
// query (library, Win32 layer, I/O manager, driver, Super I/O chip), the one shared
// instance, the guards, the messages, and what the library does when no driver answers.
#include "ApiLibraryTest.h"
#include "RailwatchApi.h"
#include "SimulatedBoard.h"
#include "host/Win32.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr unsigned char kUntouched = 0xEE;

// Railwatch_DeviceClose closes the process's one instance whatever non-null value the
// variable holds; this is such a value, which no open ever handed out.
DEVICE_HANDLE* AnyNonNullHandle() {
    static int marker;
    return reinterpret_cast<DEVICE_HANDLE*>(&marker);
}

// One supply read through the library: the result code and the caller's byte.
struct Answer {
    int result;
    unsigned char state;
};

// A test on a booted board, on either build of the library. The library's instance is
// process-wide, so every test ends with it closed (whatever the test left open), then
// checks that no handle and no block is left, then removes the device and unloads the
// driver before the verifier's reports are looked at.
class ApiTest : public ApiLibraryTest {
  protected:
    simboard::SimulatedBoard& BootBoard(const simboard::BoardOptions& options = {}) {
        board_.emplace(options);
        EXPECT_TRUE(board_->Boot());
        return *board_;
    }

    // A board whose device exists; a start is sent only when asked for.
    simboard::SimulatedBoard& AddBoard(const simboard::BoardOptions& options, bool start) {
        board_.emplace(options);
        EXPECT_EQ(board_->Load(), STATUS_SUCCESS);
        EXPECT_EQ(board_->Add(), STATUS_SUCCESS);
        if (start) {
            (void)board_->Start();
        }
        return *board_;
    }

    // A board on which the driver ends up with no device.
    void BoardWithoutDevice(const simboard::BoardOptions& options) {
        board_.emplace(options);
        EXPECT_FALSE(board_->Boot());
        EXPECT_EQ(board_->Device(), nullptr);
    }

    // Closes the library's instance, checks that nothing of it is left, and takes the board
    // down; the verifier's reports are looked at afterwards.
    void FinishBoard() {
        DEVICE_HANDLE* any = AnyNonNullHandle();
        EXPECT_EQ(Api().DeviceClose(&any), Railwatch_SUCCESS);
        EXPECT_EQ(host::OpenHandleCount(), 0u);
        EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);
        if (board_) {
            if (board_->Device() != nullptr) {
                board_->Remove();
            }
            if (board_->Loaded()) {
                board_->Unload();
            }
            EXPECT_EQ(host::CheckForLeaks(), 0u);
            board_.reset();
        }
    }

    // Ends one case of a test that runs several boards in turn.
    void FinishCase() {
        FinishBoard();
        PlatformTest::TearDown();
    }

    void TearDown() override {
        if (HasLibrary()) {
            FinishBoard();
        }
        ApiLibraryTest::TearDown();
    }

    DEVICE_HANDLE* Open() {
        DEVICE_HANDLE* handle = nullptr;
        EXPECT_EQ(Api().DeviceOpen(&handle), Railwatch_SUCCESS);
        EXPECT_NE(handle, nullptr);
        return handle;
    }

    Answer Get(DEVICE_HANDLE* handle, unsigned char index) const {
        Answer answer{-1, kUntouched};
        answer.result = Api().Get(handle, index, &answer.state);
        return answer;
    }

    simboard::SimulatedBoard& Board() { return *board_; }

  private:
    std::optional<simboard::SimulatedBoard> board_;
};

// ---------------------------------------------------------------------------------------
// The one instance
// ---------------------------------------------------------------------------------------

TEST_P(ApiTest, OpeningTwiceHandsOutTheSameHandleAndOpensTheDeviceOnce) {
    BootBoard();
    DEVICE_HANDLE* first = Open();
    DEVICE_HANDLE* second = Open();
    EXPECT_EQ(first, second);
    EXPECT_EQ(host::OpenHandleCount(), 1u);
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 1u);
    EXPECT_EQ(host::CallCount("CreateFileA"), 1u);
    EXPECT_EQ(host::CallCount("GlobalAlloc"), 1u);
}

TEST_P(ApiTest, OpenAfterCloseOpensTheDeviceAgainWithANewRecord) {
    BootBoard();
    DEVICE_HANDLE* first = Open();
    EXPECT_EQ(Get(first, Railwatch_PWR1).result, Railwatch_SUCCESS);
    EXPECT_EQ(Api().DeviceClose(&first), Railwatch_SUCCESS);
    EXPECT_EQ(host::OpenHandleCount(), 0u);
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);

    DEVICE_HANDLE* second = Open();
    EXPECT_EQ(host::CallCount("GlobalAlloc"), 2u);
    EXPECT_EQ(host::CallCount("CreateFileA"), 2u);
    EXPECT_EQ(host::OpenHandleCount(), 1u);
    const Answer answer = Get(second, Railwatch_PWR2);
    EXPECT_EQ(answer.result, Railwatch_SUCCESS);
    EXPECT_EQ(answer.state, 1);
}

// Whatever non-null value the variable holds, close ends the process's one instance; the
// caller's variable keeps its value. A second close finds nothing and still succeeds.
TEST_P(ApiTest, CloseWithAnyNonNullValueEndsTheInstanceAndASecondCloseDoesNothing) {
    BootBoard();
    struct Case {
        const char* name;
        bool useOpenedHandle;
    };
    for (const Case& c : {Case{"the handle open returned", true}, Case{"another value", false}}) {
        SCOPED_TRACE(c.name);
        DEVICE_HANDLE* opened = Open();
        DEVICE_HANDLE* variable = c.useOpenedHandle ? opened : AnyNonNullHandle();
        DEVICE_HANDLE* const before = variable;
        EXPECT_EQ(Api().DeviceClose(&variable), Railwatch_SUCCESS);
        EXPECT_EQ(variable, before);
        EXPECT_EQ(host::OpenHandleCount(), 0u);
        EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);

        const unsigned closes = host::CallCount("CloseHandle");
        const unsigned frees = host::CallCount("GlobalFree");
        EXPECT_EQ(Api().DeviceClose(&variable), Railwatch_SUCCESS);
        EXPECT_EQ(host::CallCount("CloseHandle"), closes);
        EXPECT_EQ(host::CallCount("GlobalFree"), frees);
    }
}

TEST_P(ApiTest, CloseWithANullVariableIsRefusedAndTheInstanceStaysOpen) {
    BootBoard();
    DEVICE_HANDLE* opened = Open();
    DEVICE_HANDLE* null = nullptr;
    EXPECT_EQ(Api().DeviceClose(&null), Railwatch_INVALID_HANDLE);
    EXPECT_EQ(host::OpenHandleCount(), 1u);
    const Answer answer = Get(opened, Railwatch_PWR1);
    EXPECT_EQ(answer.result, Railwatch_SUCCESS);
    EXPECT_EQ(answer.state, 1);
}

// ---------------------------------------------------------------------------------------
// Refusals: nothing is sent, nothing of the caller's is written
// ---------------------------------------------------------------------------------------

TEST_P(ApiTest, IndexesOtherThanOneAndTwoAreRefusedWithoutARequest) {
    BootBoard();
    DEVICE_HANDLE* handle = Open();
    for (const unsigned char index : {0, 3, 255}) {
        SCOPED_TRACE(static_cast<int>(index));
        const auto ports = host::PortAccessCount();
        const unsigned requests = host::CallCount("DeviceIoControl");
        const Answer answer = Get(handle, index);
        EXPECT_EQ(answer.result, Railwatch_INVALID_INDEX);
        EXPECT_EQ(answer.state, kUntouched);
        EXPECT_EQ(host::CallCount("DeviceIoControl"), requests);
        EXPECT_EQ(host::PortAccessCount(), ports);
    }
}

TEST_P(ApiTest, NullArgumentsAreRefusedWithoutCrashing) {
    BootBoard();
    // A null handle, with no instance open and with one open.
    EXPECT_EQ(Get(nullptr, Railwatch_PWR1).result, Railwatch_INVALID_HANDLE);
    EXPECT_EQ(Get(nullptr, Railwatch_PWR1).state, kUntouched);
    DEVICE_HANDLE* handle = Open();
    const Answer answer = Get(nullptr, Railwatch_PWR2);
    EXPECT_EQ(answer.result, Railwatch_INVALID_HANDLE);
    EXPECT_EQ(answer.state, kUntouched);
    EXPECT_EQ(host::CallCount("DeviceIoControl"), 0u);

    // Null addresses for the status byte, the handle variable and the message buffer.
    EXPECT_EQ(Api().Get(handle, Railwatch_PWR1, nullptr), Railwatch_INVALID_HANDLE);
    EXPECT_EQ(Api().DeviceOpen(nullptr), Railwatch_INVALID_HANDLE);
    EXPECT_EQ(Api().DeviceClose(nullptr), Railwatch_INVALID_HANDLE);
    EXPECT_EQ(Api().GetErrorMessage(2, nullptr), Railwatch_SUCCESS);
    EXPECT_EQ(host::OpenHandleCount(), 1u);
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 1u);
}

// A handle that is not the process's open device (one that an earlier close ended, or
// one that no open handed out) is refused by its value alone: nothing is read through it,
// nothing is sent, and GetLastError() says the handle is invalid.
TEST_P(ApiTest, AHandleOtherThanTheOpenDeviceIsRefusedWithoutARequest) {
    BootBoard();
    DEVICE_HANDLE* closed = Open();
    DEVICE_HANDLE* variable = closed;
    ASSERT_EQ(Api().DeviceClose(&variable), Railwatch_SUCCESS);

    struct Case {
        const char* name;
        DEVICE_HANDLE* handle;
        bool openAnother;  // another instance is open when the handle is used
    };
    for (const Case& c : {Case{"closed, nothing open", closed, false},
                          Case{"never opened, nothing open", AnyNonNullHandle(), false},
                          Case{"never opened, the device open", AnyNonNullHandle(), true}}) {
        SCOPED_TRACE(c.name);
        if (c.openAnother) {
            Open();
        }
        const unsigned requests = host::CallCount("DeviceIoControl");
        const auto ports = host::PortAccessCount();
        SetLastError(0);
        const Answer answer = Get(c.handle, Railwatch_PWR1);
        EXPECT_EQ(answer.result, Railwatch_INVALID_HANDLE);
        EXPECT_EQ(answer.state, kUntouched);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(host::CallCount("DeviceIoControl"), requests);
        EXPECT_EQ(host::PortAccessCount(), ports);
    }
}

// Until a probe has found the chip the driver does not answer: the read is refused with
// 3, the byte is left alone, and GetLastError() gives ERROR_NOT_READY, as Windows maps the
// driver's STATUS_DEVICE_NOT_READY.
TEST_P(ApiTest, ReadsBeforeTheChipIsKnownAreNotReady) {
    simboard::BoardOptions noChip;
    noChip.superIoIndexPort = 0;
    struct Case {
        const char* name;
        simboard::BoardOptions board;
        bool start;
    };
    for (const Case& c :
         {Case{"not started yet", {}, false}, Case{"the start found no chip", noChip, true}}) {
        SCOPED_TRACE(c.name);
        AddBoard(c.board, c.start);
        DEVICE_HANDLE* handle = Open();
        for (const unsigned char index : {Railwatch_PWR1, Railwatch_PWR2}) {
            SetLastError(0);
            const Answer answer = Get(handle, index);
            EXPECT_EQ(answer.result, Railwatch_INVALID_HANDLE);
            EXPECT_EQ(answer.state, kUntouched);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
        }
        EXPECT_EQ(host::PortAccessCount(), c.start ? 14u : 0u);  // the start's probe only
        FinishCase();
    }
}

// ---------------------------------------------------------------------------------------
// End to end: library, Win32 layer, I/O manager, driver, chip
// ---------------------------------------------------------------------------------------

TEST_P(ApiTest, EachSupplyReadsItsOwnPinOnEitherPortPair) {
    struct Levels {
        bool pwr1;
        bool pwr2;
    };
    for (const USHORT indexPort : {USHORT{0x2E}, USHORT{0x4E}}) {
        for (const Levels levels :
             {Levels{true, true}, Levels{true, false}, Levels{false, true}, Levels{false, false}}) {
            SCOPED_TRACE(::testing::Message()
                         << "index port 0x" << std::hex << indexPort << ", PWR1 " << levels.pwr1
                         << ", PWR2 " << levels.pwr2);
            simboard::BoardOptions options;
            options.superIoIndexPort = indexPort;
            options.pwr1 = levels.pwr1;
            options.pwr2 = levels.pwr2;
            BootBoard(options);
            DEVICE_HANDLE* handle = Open();

            host::ClearPortTrace();
            const Answer pwr1 = Get(handle, Railwatch_PWR1);
            const Answer pwr2 = Get(handle, Railwatch_PWR2);
            EXPECT_EQ(pwr1.result, Railwatch_SUCCESS);
            EXPECT_EQ(pwr1.state, levels.pwr1 ? 1 : 0);
            EXPECT_EQ(pwr2.result, Railwatch_SUCCESS);
            EXPECT_EQ(pwr2.state, levels.pwr2 ? 1 : 0);

            // Each read is one controller sequence on the pair where the chip sits.
            const auto trace = host::PortTrace();
            EXPECT_EQ(trace.size(), 2u * 23u);
            for (const host::PortAccess& access : trace) {
                EXPECT_TRUE(access.port == indexPort || access.port == indexPort + 1)
                    << host::FormatPortAccess(access);
            }
            FinishCase();
        }
    }
}

// Every read asks the chip afresh: a supply that fails between two reads shows at once.
TEST_P(ApiTest, ReadsFollowTheSupplyAsItChanges) {
    auto& board = BootBoard();
    DEVICE_HANDLE* handle = Open();
    for (const int supply : {1, 2}) {
        SCOPED_TRACE(supply);
        const auto index = static_cast<unsigned char>(supply);
        EXPECT_EQ(Get(handle, index).state, 1);
        board.SetSupply(supply, false);
        EXPECT_EQ(Get(handle, index).state, 0);
        EXPECT_EQ(Get(handle, static_cast<unsigned char>(3 - supply)).state, 1);
        board.SetSupply(supply, true);
        EXPECT_EQ(Get(handle, index).state, 1);
    }
}

// Once the device is removed its handle no longer reaches a driver: the read is refused,
// the caller's byte keeps its value (no stale state) and the reason is the caller's to see.
TEST_P(ApiTest, AfterRemovalAReadIsRefusedAndLeavesTheByte) {
    auto& board = BootBoard();
    DEVICE_HANDLE* handle = Open();
    ASSERT_EQ(Get(handle, Railwatch_PWR1).state, 1);
    EXPECT_EQ(board.Remove().status, STATUS_SUCCESS);
    ASSERT_EQ(board.Device(), nullptr);

    for (const unsigned char index : {Railwatch_PWR1, Railwatch_PWR2}) {
        SCOPED_TRACE(static_cast<int>(index));
        SetLastError(0);
        const Answer answer = Get(handle, index);
        EXPECT_EQ(answer.result, Railwatch_INVALID_HANDLE);
        EXPECT_EQ(answer.state, kUntouched);
        EXPECT_NE(GetLastError(), 0u);
    }
    DEVICE_HANDLE* variable = handle;
    EXPECT_EQ(Api().DeviceClose(&variable), Railwatch_SUCCESS);
    EXPECT_EQ(host::OpenHandleCount(), 0u);
}

// ---------------------------------------------------------------------------------------
// Opening without a driver
// ---------------------------------------------------------------------------------------

// However the board came to have no device, the open fails the same way: code 2, a null
// handle, nothing left allocated, and the reason CreateFileA gave.
TEST_P(ApiTest, OpenWithNoDevicePresentFailsAndLeavesNothing) {
    struct Case {
        const char* name;
        std::optional<simboard::BoardOptions> board;  // none: no driver at all
    };
    simboard::BoardOptions refused;
    refused.bios = simboard::BuiltInBiosImage(simboard::BiosKind::None);
    simboard::BoardOptions noChip;
    noChip.superIoIndexPort = 0;
    simboard::BoardOptions otherChip;
    otherChip.chipId = 0x53;
    for (const Case& c : {Case{"no driver", std::nullopt}, Case{"board refused at load", refused},
                          Case{"no chip: the start failed", noChip},
                          Case{"another chip: the start failed", otherChip}}) {
        SCOPED_TRACE(c.name);
        if (c.board) {
            BoardWithoutDevice(*c.board);
        }
        DEVICE_HANDLE* handle = AnyNonNullHandle();
        EXPECT_EQ(Api().DeviceOpen(&handle), Railwatch_OpenDevice_Failed);
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);
        EXPECT_EQ(host::OpenHandleCount(), 0u);
        // The failed open left no instance behind: reading through nothing is refused.
        EXPECT_EQ(Get(handle, Railwatch_PWR1).result, Railwatch_INVALID_HANDLE);
        FinishCase();
    }
}

// The reason for a failed open is CreateFileA's, even though releasing the block afterwards
// makes Win32 calls of its own.
TEST_P(ApiTest, AFailedOpenKeepsTheReasonCreateFileGave) {
    BootBoard();
    host::FailCall("CreateFileA", 1, STATUS_ACCESS_DENIED);
    DEVICE_HANDLE* handle = nullptr;
    EXPECT_EQ(Api().DeviceOpen(&handle), Railwatch_OpenDevice_Failed);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);

    // The next open is not affected.
    EXPECT_NE(Open(), nullptr);
}

TEST_P(ApiTest, AllocationFailureIsReportedWithoutOpeningTheDevice) {
    BootBoard();
    host::FailCall("GlobalAlloc");
    DEVICE_HANDLE* handle = AnyNonNullHandle();
    EXPECT_EQ(Api().DeviceOpen(&handle), Railwatch_Memory_Allocate_Failed);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(host::CallCount("CreateFileA"), 0u);
    EXPECT_EQ(host::OpenHandleCount(), 0u);
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);

    EXPECT_NE(Open(), nullptr);
}

// ---------------------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------------------

class ApiMessages : public ApiLibraryTest {};

TEST_P(ApiMessages, EachCodeWritesItsMessageWithTheNulAndNothingBeyond) {
    struct Case {
        unsigned int code;
        const char* message;  // null: the buffer stays as it was
    };
    const Case cases[] = {
        {0, "Railwatch_SUCCESS: Railwatch Operation Succeed"},
        {1, "Railwatch_Memory_Allocate_Failed: Not Enough Memory"},
        {2, "Railwatch_OpenDevice_Failed: Open Railwatch Device Failed"},
        {3, "Railwatch_INVALID_HANDLE: Invalid Device Handle"},
        {4, nullptr},
        {5, nullptr},
        {0x80000000u, nullptr},
        {0x80000002u, nullptr},
        {0xFFFFFFFFu, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::array<char, 80> buffer;
        buffer.fill(static_cast<char>(kUntouched));
        EXPECT_EQ(Api().GetErrorMessage(c.code, buffer.data()), Railwatch_SUCCESS);
        const std::size_t written = c.message == nullptr ? 0 : std::strlen(c.message) + 1;
        if (c.message != nullptr) {
            EXPECT_STREQ(buffer.data(), c.message);
        }
        for (std::size_t i = written; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], static_cast<char>(kUntouched)) << "byte " << i;
        }
    }
    // The longest message fills exactly the buffer size the header promises.
    EXPECT_EQ(std::strlen(cases[2].message) + 1, std::size_t{Railwatch_MESSAGE_BUFFER_SIZE});
    EXPECT_EQ(std::size_t{Railwatch_MESSAGE_BUFFER_SIZE}, 58u);
}

RAILWATCH_ON_BOTH_API_BUILDS(ApiTest);
RAILWATCH_ON_BOTH_API_BUILDS(ApiMessages);

}  // namespace

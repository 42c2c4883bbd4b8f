// API call sequences: opens, reads, closes and message look-ups in any order, with any
// arguments the library accepts (a handle is the one from the last open, open or closed,
// another value, or null; a variable handed to close may hold any value; null pointers
// where the library guards against them), over a board whose device starts, stops, goes away and
// comes back and whose supplies change, with allocations and opens that fail, all taken from the
// input.
//
// Each result is checked against a small model of the library: one process-wide device
// record, opened once and shared, closed by any non-null variable; a read that the driver
// does not answer returns 3 and leaves the caller's byte alone.
#include "FuzzSupport.h"
#include "RailwatchApi.h"
#include "SimulatedBoard.h"
#include "host/Win32.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

constexpr int kMaxSteps = 64;
constexpr unsigned char kPoison = 0xA5;

constexpr std::string_view kMessages[] = {
    "Railwatch_SUCCESS: Railwatch Operation Succeed",
    "Railwatch_Memory_Allocate_Failed: Not Enough Memory",
    "Railwatch_OpenDevice_Failed: Open Railwatch Device Failed",
    "Railwatch_INVALID_HANDLE: Invalid Device Handle",
};

class Session {
  public:
    explicit Session(FuzzedDataProvider& data) : data_(data) {}

    void Run() {
        simboard::BoardOptions options;
        options.pwr1 = level_[0] = data_.ConsumeBool();
        options.pwr2 = level_[1] = data_.ConsumeBool();
        board_.emplace(options);
        host::SetPortTraceEnabled(false);
        FUZZ_CHECK(board_->Boot(), "the board does not boot");
        ++generation_;

        for (int step = 0; step < kMaxSteps && data_.remaining_bytes() > 0; ++step) {
            Step();
            host::ClearFaults();  // a failure planned for a call that did not happen
            const std::size_t records = open_ ? 1 : 0;
            FUZZ_CHECK(host::OutstandingGlobalBlocks() == records,
                       std::to_string(host::OutstandingGlobalBlocks()) + " memory blocks held, " +
                           std::to_string(records) + " expected");
            FUZZ_CHECK(host::OpenHandleCount() == records,
                       std::to_string(host::OpenHandleCount()) + " device handles open, " +
                           std::to_string(records) + " expected");
            fuzzsupport::CheckVerifierSilent("after a step");
        }

        if (open_) {
            DEVICE_HANDLE* variable = handle_;
            FUZZ_CHECK(Railwatch_DeviceClose(&variable) == Railwatch_SUCCESS, "final close failed");
        }
        if (board_->Device() != nullptr) {
            board_->Remove();
        }
        board_->Unload();
        FUZZ_CHECK(host::OutstandingGlobalBlocks() == 0 && host::OpenHandleCount() == 0,
                   "memory blocks or handles left after the last close");
        fuzzsupport::CheckNothingLeft();
        board_.reset();
    }

  private:
    void Step() {
        switch (data_.ConsumeIntegralInRange(0, 9)) {
            case 0:
            case 1:
                Open();
                break;
            case 2:
            case 3:
            case 4:
                Get();
                break;
            case 5:
                Close();
                break;
            case 6:
                Message();
                break;
            default:
                ChangeBoard();
                break;
        }
    }

    // What the caller's handle variable holds before a call.
    DEVICE_HANDLE* VariableValue() {
        switch (data_.ConsumeIntegralInRange(0, 3)) {
            case 0:
                return nullptr;
            case 1:
                return handle_;  // the last handle, open or closed
            default:
                return reinterpret_cast<DEVICE_HANDLE*>(&stranger_);  // any other value
        }
    }

    void Open() {
        const int failure = data_.ConsumeIntegralInRange(0, 5);  // 1: GlobalAlloc, 2: CreateFileA
        if (failure == 1) {
            host::FailCall("GlobalAlloc", host::CallCount("GlobalAlloc") + 1);
        } else if (failure == 2) {
            host::FailCall("CreateFileA", host::CallCount("CreateFileA") + 1);
        }
        if (data_.ConsumeIntegralInRange(0, 15) == 0) {
            FUZZ_CHECK(Railwatch_DeviceOpen(nullptr) == Railwatch_INVALID_HANDLE,
                       "open with no variable");
            return;
        }
        DEVICE_HANDLE* variable = VariableValue();
        const unsigned allocationsBefore = host::CallCount("GlobalAlloc");
        const int result = Railwatch_DeviceOpen(&variable);
        FUZZ_TRACE("open (failure %d) -> %d", failure, result);

        if (open_) {
            FUZZ_CHECK(result == Railwatch_SUCCESS && variable == handle_,
                       "a second open did not hand out the open device");
            FUZZ_CHECK(host::CallCount("GlobalAlloc") == allocationsBefore,
                       "a second open allocated a record");
            return;
        }
        int expected = Railwatch_SUCCESS;
        if (failure == 1) {
            expected = Railwatch_Memory_Allocate_Failed;
        } else if (failure == 2 || board_->Device() == nullptr) {
            expected = Railwatch_OpenDevice_Failed;
        }
        FUZZ_CHECK(result == expected, "open returned " + std::to_string(result) + ", expected " +
                                           std::to_string(expected));
        if (result != Railwatch_SUCCESS) {
            FUZZ_CHECK(variable == nullptr, "a failed open left a handle in the variable");
            return;
        }
        FUZZ_CHECK(variable != nullptr, "a successful open handed out no handle");
        open_ = true;
        handle_ = variable;
        handleGeneration_ = generation_;
    }

    void Get() {
        // Mostly the open device's handle; sometimes null, the last handle whether open or
        // closed, or one that no open handed out.
        DEVICE_HANDLE* handle = nullptr;
        switch (data_.ConsumeIntegralInRange(0, 9)) {
            case 0:
                break;
            case 1:
                handle = handle_;
                break;
            case 2:
                handle = reinterpret_cast<DEVICE_HANDLE*>(&stranger_);
                break;
            default:
                handle = open_ ? handle_ : nullptr;
                break;
        }
        const bool openDevice = open_ && handle == handle_;
        unsigned char index;
        switch (data_.ConsumeIntegralInRange(0, 3)) {
            case 0:
                index = data_.ConsumeIntegral<unsigned char>();
                break;
            default:
                index = data_.ConsumeBool() ? Railwatch_PWR1 : Railwatch_PWR2;
                break;
        }
        const bool noStatus = data_.ConsumeIntegralInRange(0, 15) == 0;
        unsigned char status = kPoison;
        const unsigned requestsBefore = host::CallCount("DeviceIoControl");
        SetLastError(0);
        const int result = Railwatch_Get(handle, index, noStatus ? nullptr : &status);
        FUZZ_TRACE("get %s index %u%s -> %d byte %u",
                   openDevice ? "handle"
                   : handle   ? "other handle"
                              : "null",
                   index, noStatus ? " no status byte" : "", result, status);

        int expected;
        if (handle == nullptr) {
            expected = Railwatch_INVALID_HANDLE;
        } else if (index != Railwatch_PWR1 && index != Railwatch_PWR2) {
            expected = Railwatch_INVALID_INDEX;
        } else if (!openDevice) {
            // Refused by its value: nothing read through it, nothing sent.
            expected = Railwatch_INVALID_HANDLE;
            FUZZ_CHECK(GetLastError() == ERROR_INVALID_HANDLE &&
                           host::CallCount("DeviceIoControl") == requestsBefore,
                       "a handle other than the open device's was followed");
        } else if (noStatus) {
            expected = Railwatch_INVALID_HANDLE;
        } else if (handleGeneration_ != generation_ || board_->Device() == nullptr) {
            expected = Railwatch_INVALID_HANDLE;  // the device behind the handle is gone
        } else {
            expected = Railwatch_SUCCESS;
        }
        FUZZ_CHECK(result == expected, "get returned " + std::to_string(result) + ", expected " +
                                           std::to_string(expected));
        if (result == Railwatch_SUCCESS) {
            FUZZ_CHECK(status == (level_[index - 1] ? 1 : 0),
                       "get handed out " + std::to_string(status) + " for supply " +
                           std::to_string(index));
        } else {
            FUZZ_CHECK(status == kPoison, "a failed get wrote the caller's byte");
        }
    }

    void Close() {
        if (data_.ConsumeIntegralInRange(0, 15) == 0) {
            FUZZ_CHECK(Railwatch_DeviceClose(nullptr) == Railwatch_INVALID_HANDLE,
                       "close with no variable");
            return;
        }
        DEVICE_HANDLE* variable = VariableValue();
        DEVICE_HANDLE* const before = variable;
        const int result = Railwatch_DeviceClose(&variable);
        FUZZ_TRACE("close %s -> %d", before == nullptr ? "null" : "non-null", result);
        FUZZ_CHECK(variable == before, "close changed the caller's variable");
        if (before == nullptr) {
            FUZZ_CHECK(result == Railwatch_INVALID_HANDLE, "close of a null variable");
            return;
        }
        FUZZ_CHECK(result == Railwatch_SUCCESS, "close returned " + std::to_string(result));
        open_ = false;
    }

    void Message() {
        unsigned code;
        if (data_.ConsumeBool()) {
            code = data_.ConsumeIntegralInRange(0u, 5u);
        } else {
            code = data_.ConsumeIntegral<unsigned>();
        }
        if (data_.ConsumeIntegralInRange(0, 15) == 0) {
            FUZZ_CHECK(Railwatch_GetErrorMessage(code, nullptr) == Railwatch_SUCCESS,
                       "message with no buffer");
            return;
        }
        std::array<char, 80> buffer;
        buffer.fill(char(kPoison));
        FUZZ_CHECK(Railwatch_GetErrorMessage(code, buffer.data()) == Railwatch_SUCCESS,
                   "message lookup did not return 0");
        std::size_t written = 0;
        if (code < std::size(kMessages)) {
            const std::string_view message = kMessages[code];
            FUZZ_CHECK(std::memcmp(buffer.data(), message.data(), message.size()) == 0 &&
                           buffer[message.size()] == '\0',
                       "wrong message for code " + std::to_string(code));
            written = message.size() + 1;
        }
        for (std::size_t i = written; i < buffer.size(); ++i) {
            FUZZ_CHECK(buffer[i] == char(kPoison),
                       "message for code " + std::to_string(code) + " wrote beyond its text");
        }
    }

    void ChangeBoard() {
        switch (data_.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                const int supply = data_.ConsumeIntegralInRange(1, 2);
                level_[supply - 1] = data_.ConsumeBool();
                board_->SetSupply(supply, level_[supply - 1]);
                FUZZ_TRACE("supply %d level %d", supply, int(level_[supply - 1]));
                break;
            }
            case 1:
                if (board_->Device() != nullptr) {
                    FUZZ_TRACE("start");
                    FUZZ_CHECK(NT_SUCCESS(board_->Start().status), "start failed");
                }
                break;
            case 2:
                if (board_->Device() != nullptr) {
                    FUZZ_TRACE("stop");
                    board_->Pnp(IRP_MN_QUERY_STOP_DEVICE);
                    board_->Pnp(IRP_MN_STOP_DEVICE);
                }
                break;
            case 3:
                if (board_->Device() != nullptr) {
                    FUZZ_TRACE("remove");
                    board_->Remove();
                    FUZZ_CHECK(board_->Device() == nullptr, "the device survived its removal");
                }
                break;
            default:
                if (board_->Device() == nullptr) {
                    FUZZ_TRACE("add");
                    FUZZ_CHECK(board_->Add() == STATUS_SUCCESS, "a new device node was refused");
                    ++generation_;
                    if (data_.ConsumeBool()) {
                        FUZZ_CHECK(NT_SUCCESS(board_->Start().status), "start failed");
                    }
                }
                break;
        }
    }

    FuzzedDataProvider& data_;
    std::optional<simboard::SimulatedBoard> board_;
    bool level_[2] = {true, true};
    unsigned generation_ = 0;  // counts the driver's devices: a handle opens the current one
    bool open_ = false;        // the library holds its one record
    DEVICE_HANDLE* handle_ = nullptr;
    unsigned handleGeneration_ = 0;
    int stranger_ = 0;  // its address stands for a variable holding some other handle
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Session(data).Run();
    return 0;
}

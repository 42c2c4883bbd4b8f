// Status requests with whatever a caller can send (any code, lengths up to 64 KiB, no
// system buffer, any buffer contents), interleaved with Plug and Play and power requests,
// supply changes and bus behaviours, all taken from the input, on a booted board.
//
// Every request's outcome is checked against the driver's table of outcomes: the status,
// the bytes returned, no port access on a refusal, and an answer that holds nothing but
// the caller's byte 0 and the supply's level. The verifier must stay silent and nothing
// may be left after unload.
#include "FuzzSupport.h"
#include "RailwatchDrv.h"
#include "SimulatedBoard.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

constexpr UCHAR kPoison = 0xA5;  // what the caller's output buffer holds before a request
constexpr int kMaxSteps = 48;
constexpr ULONG kMaxLength = 0x10000;

// Codes near the two that the driver knows: other functions, transfers and accesses of the
// same device type, another device type, and the extremes.
constexpr ULONG kInterestingCodes[] = {
    IOCTL_GET_PWR1_STATUS,
    IOCTL_GET_PWR2_STATUS,
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x910, METHOD_BUFFERED, FILE_ANY_ACCESS),
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x913, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_GET_PWR1_STATUS | 1,  // METHOD_IN_DIRECT
    IOCTL_GET_PWR2_STATUS | 3,  // METHOD_NEITHER
    IOCTL_GET_PWR1_STATUS | 0x4000,
    CTL_CODE(0x23, 0x911, METHOD_BUFFERED, FILE_ANY_ACCESS),
    0,
    0xFFFFFFFF,
};

constexpr UCHAR kPnpMinors[] = {
    IRP_MN_START_DEVICE,
    IRP_MN_QUERY_REMOVE_DEVICE,
    IRP_MN_REMOVE_DEVICE,
    IRP_MN_CANCEL_REMOVE_DEVICE,
    IRP_MN_STOP_DEVICE,
    IRP_MN_QUERY_STOP_DEVICE,
    IRP_MN_CANCEL_STOP_DEVICE,
    IRP_MN_QUERY_DEVICE_RELATIONS,
    IRP_MN_QUERY_CAPABILITIES,
    IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
    IRP_MN_QUERY_PNP_DEVICE_STATE,
    IRP_MN_DEVICE_USAGE_NOTIFICATION,
    IRP_MN_SURPRISE_REMOVAL,
};

constexpr NTSTATUS kBusStatuses[] = {
    STATUS_SUCCESS,        STATUS_PENDING,       STATUS_BUFFER_ALL_ZEROS,
    STATUS_UNSUCCESSFUL,   STATUS_NOT_SUPPORTED, STATUS_DEVICE_NOT_READY,
    (NTSTATUS)0x80000005L,  // a warning status
};

ULONG PickLength(FuzzedDataProvider& data) {
    switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return data.ConsumeIntegralInRange<ULONG>(0, 3);
        case 1:
            return data.ConsumeIntegralInRange<ULONG>(0, 64);
        case 2:
            return kMaxLength;
        default:
            return data.ConsumeIntegralInRange<ULONG>(0, kMaxLength);
    }
}

ULONG PickCode(FuzzedDataProvider& data) {
    if (data.ConsumeBool()) {
        return data.PickValueInArray(kInterestingCodes);
    }
    return data.ConsumeIntegral<ULONG>();
}

// The driver's outcome table for a request that reaches it.
struct Outcome {
    NTSTATUS status;
    ULONG_PTR information;
    bool readsSupply;
};

Outcome ExpectedOutcome(ULONG code, ULONG inputLength, ULONG outputLength, bool systemBuffer) {
    if (code != IOCTL_GET_PWR1_STATUS && code != IOCTL_GET_PWR2_STATUS) {
        return {STATUS_INVALID_PARAMETER, 0, false};
    }
    if (inputLength < 2 || outputLength < 2) {
        return {STATUS_BUFFER_TOO_SMALL, 2, false};  // the size needed
    }
    if (!systemBuffer) {
        return {STATUS_INVALID_PARAMETER, 0, false};
    }
    return {STATUS_SUCCESS, 2, true};
}

class Session {
  public:
    explicit Session(FuzzedDataProvider& data) : data_(data) {}

    void Run() {
        simboard::BoardOptions options;
        options.superIoIndexPort = data_.ConsumeBool() ? 0x4E : 0x2E;
        options.pwr1 = level_[0] = data_.ConsumeBool();
        options.pwr2 = level_[1] = data_.ConsumeBool();
        board_.emplace(options);
        host::SetPortTraceEnabled(false);
        FUZZ_CHECK(board_->Boot(), "the board does not boot:\n" + host::DebugText());
        OpenHandle();

        for (int step = 0; step < kMaxSteps && data_.remaining_bytes() > 0; ++step) {
            Step();
            fuzzsupport::CheckVerifierSilent("after a step");
        }

        FUZZ_CHECK(host::CloseFile(file_) == STATUS_SUCCESS, "closing the handle failed");
        for (FILE_OBJECT* file : stale_) {
            host::CloseFile(file);  // its device is gone; the close only releases the handle
        }
        if (board_->Device() != nullptr) {
            const host::IoResult result = board_->Remove();
            FUZZ_TRACE("final removal -> returned 0x%X status 0x%X", ULONG(result.returned),
                       ULONG(result.status));
        }
        board_->Unload();
        fuzzsupport::CheckNothingLeft();
        board_.reset();
        // Also ends the bus driver's completion threads, which must not outlive the input.
        host::ResetPlatform();
    }

  private:
    void OpenHandle() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        file_ = host::OpenFile(simboard::kLinkName, &status);
        FUZZ_CHECK(file_ != nullptr && status == STATUS_SUCCESS,
                   "the device cannot be opened: " + fuzzsupport::Hex(ULONG(status)));
    }

    void Step() {
        switch (data_.ConsumeIntegralInRange(0, 9)) {
            case 0:
                Pnp(data_.ConsumeBool() ? data_.PickValueInArray(kPnpMinors)
                                        : data_.ConsumeIntegral<UCHAR>());
                break;
            case 1:
                Power();
                break;
            case 2: {
                const int supply = data_.ConsumeIntegralInRange(1, 2);
                level_[supply - 1] = data_.ConsumeBool();
                FUZZ_TRACE("supply %d level %d", supply, int(level_[supply - 1]));
                board_->SetSupply(supply, level_[supply - 1]);
                break;
            }
            case 3: {
                host::BusBehaviour behaviour;
                behaviour.status = data_.PickValueInArray(kBusStatuses);
                behaviour.pending = data_.ConsumeBool();
                if (behaviour.status == STATUS_PENDING) {
                    behaviour.status = STATUS_SUCCESS;
                    behaviour.pending = true;
                }
                FUZZ_TRACE("bus behaviour status 0x%X pending %d", ULONG(behaviour.status),
                           int(behaviour.pending));
                if (data_.ConsumeBool()) {
                    FUZZ_TRACE("  for PnP");
                    pnpBehaviour_ = behaviour;
                    host::SetBusPnpBehaviour(behaviour);
                } else {
                    host::SetBusPowerBehaviour(behaviour);
                }
                break;
            }
            default:
                Request();
                break;
        }
    }

    void Pnp(UCHAR minor) {
        const bool hadDevice = board_->Device() != nullptr;
        const host::IoResult result = board_->Pnp(minor);
        FUZZ_TRACE("pnp 0x%02X -> returned 0x%X status 0x%X", minor, ULONG(result.returned),
                   ULONG(result.status));
        if (!hadDevice) {
            return;  // only the bus driver is left on this node
        }
        switch (minor) {
            case IRP_MN_START_DEVICE:
                // The chip answers and the interface can be enabled: the start succeeds
                // whatever the bus driver made of it.
                FUZZ_CHECK(NT_SUCCESS(result.status) && result.returned == result.status,
                           "start failed: " + fuzzsupport::Hex(ULONG(result.status)));
                break;
            case IRP_MN_REMOVE_DEVICE:
                // Success, or STATUS_PENDING when the bus driver finishes the removal later.
                FUZZ_CHECK(
                    result.returned == (pnpBehaviour_.pending ? STATUS_PENDING : STATUS_SUCCESS),
                    "removal returned " + fuzzsupport::Hex(ULONG(result.returned)));
                FUZZ_CHECK(board_->Device() == nullptr, "the device survived its removal");
                // A new device node for the driver, opened again, so that requests go on.
                FUZZ_CHECK(board_->Add() == STATUS_SUCCESS, "a new device node was refused");
                FUZZ_CHECK(NT_SUCCESS(board_->Start().status), "the new device did not start");
                stale_.push_back(file_);
                OpenHandle();
                break;
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
                FUZZ_CHECK(result.status == STATUS_SUCCESS && result.returned == STATUS_SUCCESS,
                           "a cancel was not completed with success");
                break;
            default:
                break;
        }
        FUZZ_CHECK(board_->Device() != nullptr, "the device vanished without a removal");
    }

    void Power() {
        const UCHAR minor = data_.ConsumeBool() ? IRP_MN_SET_POWER : data_.ConsumeIntegral<UCHAR>();
        const auto type =
            data_.ConsumeIntegralInRange(0, 7) == 0 ? DevicePowerState : SystemPowerState;
        const ULONG state = data_.ConsumeIntegralInRange<ULONG>(0, PowerSystemMaximum);
        const auto action =
            POWER_ACTION(data_.ConsumeIntegralInRange<int>(0, PowerActionWarmEject));
        const host::IoResult result = board_->Power(minor, type, state, action);
        FUZZ_TRACE("power 0x%02X type %d state %u action %d -> returned 0x%X status 0x%X", minor,
                   int(type), state, int(action), ULONG(result.returned), ULONG(result.status));

        const bool latch = minor == IRP_MN_SET_POWER && type == SystemPowerState &&
                           ((action == PowerActionSleep && state >= PowerSystemSleeping1 &&
                             state <= PowerSystemSleeping3) ||
                            action == PowerActionHibernate);
        if (latch) {
            const auto* extension =
                static_cast<const DEVICE_EXTENSION*>(board_->Device()->DeviceExtension);
            FUZZ_CHECK(extension->m_PWR1Status == UCHAR(level_[0]) &&
                           extension->m_PWR2Status == UCHAR(level_[1]),
                       "the latch does not hold the supplies' levels");
        }
    }

    void Request() {
        const ULONG code = PickCode(data_);
        const ULONG inputLength = PickLength(data_);
        const ULONG outputLength = PickLength(data_);
        const bool systemBuffer = data_.ConsumeIntegralInRange(0, 7) != 0;
        const int route = data_.ConsumeIntegralInRange(0, 3);  // 0: straight to the device
        // The caller's bytes: a pattern from the input, repeated over the whole length.
        std::vector<UCHAR> pattern = data_.ConsumeBytes<UCHAR>(data_.ConsumeIntegralInRange(1, 4));
        if (pattern.empty()) {
            pattern.push_back(0);
        }
        std::vector<UCHAR> input(inputLength);
        for (ULONG i = 0; i < inputLength; ++i) {
            input[i] = pattern[i % pattern.size()];
        }
        std::vector<UCHAR> output(outputLength, kPoison);

        // Sometimes through a handle on a device that is gone.
        FILE_OBJECT* file = file_;
        if (route == 1 && !stale_.empty()) {
            file = stale_.back();
        }
        const bool reachesDriver = file == file_;

        const std::uint64_t portsBefore = host::PortAccessCount();
        const host::IoResult result =
            route == 0 ? host::DeviceControlTo(board_->Device(), code, input.data(), inputLength,
                                               output.data(), outputLength, systemBuffer)
                       : host::DeviceControl(file, code, input.data(), inputLength, output.data(),
                                             outputLength, systemBuffer);
        const std::uint64_t ports = host::PortAccessCount() - portsBefore;
        FUZZ_TRACE("request 0x%X in %u out %u%s route %d -> status 0x%X information %zu", code,
                   inputLength, outputLength, systemBuffer ? "" : " (no buffer)", route,
                   ULONG(result.status), std::size_t(result.information));

        const Outcome expected =
            reachesDriver ? ExpectedOutcome(code, inputLength, outputLength, systemBuffer)
                          : Outcome{STATUS_NO_SUCH_DEVICE, 0, false};
        const std::string what = "code " + fuzzsupport::Hex(code) + ", input length " +
                                 std::to_string(inputLength) + ", output length " +
                                 std::to_string(outputLength) +
                                 (systemBuffer ? "" : ", no system buffer") + ": ";
        FUZZ_CHECK(result.status == expected.status,
                   what + "status " + fuzzsupport::Hex(ULONG(result.status)) + ", expected " +
                       fuzzsupport::Hex(ULONG(expected.status)));
        FUZZ_CHECK(!reachesDriver || result.returned == result.status,
                   what + "the dispatch routine returned another status than it completed with");
        FUZZ_CHECK(result.information == expected.information,
                   what + "Information " + std::to_string(result.information) + ", expected " +
                       std::to_string(expected.information));
        FUZZ_CHECK(!NT_SUCCESS(result.status) || result.information <= outputLength,
                   what + "more bytes returned than the output holds");

        if (!expected.readsSupply) {
            FUZZ_CHECK(ports == 0, what + std::to_string(ports) + " port accesses on a refusal");
            FUZZ_CHECK(std::all_of(output.begin(), output.end(),
                                   [](UCHAR byte) { return byte == kPoison; }),
                       what + "a refused request wrote into the caller's buffer");
            return;
        }
        FUZZ_CHECK(ports > 0, what + "answered without reading the controller");
        const int supply = code == IOCTL_GET_PWR1_STATUS ? 1 : 2;
        FUZZ_CHECK(output[0] == input[0], what + "byte 0 is not the caller's");
        FUZZ_CHECK(output[1] == UCHAR(level_[supply - 1]),
                   what + "byte 1 is " + std::to_string(output[1]) + ", the supply's level is " +
                       std::to_string(level_[supply - 1]));
        FUZZ_CHECK(std::all_of(output.begin() + 2, output.end(),
                               [](UCHAR byte) { return byte == kPoison; }),
                   what + "bytes beyond the exchange reached the caller");
    }

    FuzzedDataProvider& data_;
    std::optional<simboard::SimulatedBoard> board_;
    FILE_OBJECT* file_ = nullptr;
    std::vector<FILE_OBJECT*> stale_;  // handles on devices that have been removed
    bool level_[2] = {true, true};
    host::BusBehaviour pnpBehaviour_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Session(data).Run();
    return 0;
}

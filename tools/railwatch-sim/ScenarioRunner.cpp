// Running a parsed scenario: the board, the steps, the verifier's verdict and the output
// files.
//
// Every step prints exactly one line. Requests go through the simulated managers to the
// real driver code; the API steps go through the library (built in, or the loaded x64 DLL)
// and the host's Win32 layer.
// Leaks are judged right after each unload: a run that ends with the driver loaded keeps
// its device and pool, as a running system would.
#include "ApiLibrary.h"
#include "RailwatchApi.h"
#include "Scenario.h"
#include "host/Image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace railwatch_sim {
namespace {

// Status printed for a close with no open file, and for a PnP or power step before any
// device node was presented.
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);

// Byte 0 of every device-control buffer on the way in; the rest starts as zeros.
constexpr std::uint8_t kSentByte0 = 0xA5;
// The caller's status byte before each api-get, so that "untouched" shows as 238.
constexpr unsigned char kUntouchedState = 0xEE;
// Fill of the caller's message buffer before each api-message.
constexpr char kUntouchedText = '\x7F';
constexpr std::size_t kMessageBufferSize = 64;
static_assert(kMessageBufferSize >= Railwatch_MESSAGE_BUFFER_SIZE);

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

class Runner {
  public:
    Runner(simboard::SimulatedBoard& board, const simboard::ApiLibrary& api, std::ostream& out)
        : board_(board), api_(api), out_(out) {}

    void Run(const Step& step) {
        out_ << step.word << ": ";
        switch (step.kind) {
            case StepKind::Load:
                // A load after an unload is a fresh image of the driver.
                if (unloaded_) simboard::ResetDriverImage();
                PrintStatus(board_.Load());
                break;
            case StepKind::Add:
                PrintStatus(board_.Add());
                break;
            case StepKind::Unload:
                board_.Unload();
                unloaded_ = true;
                host::CheckForLeaks();
                PrintStatus(STATUS_SUCCESS);
                break;
            case StepKind::DeviceControl:
                DeviceControl(step);
                break;
            case StepKind::Open:
                Open();
                break;
            case StepKind::Close:
                Close();
                break;
            case StepKind::SetSupply:
                board_.SetSupply(step.supply, step.level);
                out_ << "ok\n";
                break;
            case StepKind::SetSuperIo:
                board_.MoveChip(step.superIoIndexPort);
                out_ << "ok\n";
                break;
            case StepKind::Pnp:
                PrintStatus(board_.PhysicalDevice() == nullptr ? STATUS_NO_SUCH_DEVICE
                                                               : board_.Pnp(step.minor).returned);
                break;
            case StepKind::Power:
                PrintStatus(
                    board_.PhysicalDevice() == nullptr
                        ? STATUS_NO_SUCH_DEVICE
                        : board_
                              .Power(step.minor, step.powerType, step.powerState, step.powerAction)
                              .returned);
                break;
            case StepKind::ApiOpen: {
                const int result = api_.DeviceOpen(&apiHandle_);
                out_ << "result=" << result << " handle=" << (apiHandle_ ? "set" : "null") << "\n";
                break;
            }
            case StepKind::ApiGet: {
                // After api-close the variable still holds the released handle, and the
                // library is handed it as a careless caller would: it must refuse it.
                unsigned char state = kUntouchedState;
                const int result =
                    api_.Get(apiHandle_, static_cast<unsigned char>(step.apiArgument), &state);
                out_ << "result=" << result << " state=" << unsigned(state) << "\n";
                break;
            }
            case StepKind::ApiClose: {
                const int result = api_.DeviceClose(&apiHandle_);
                out_ << "result=" << result << "\n";
                break;
            }
            case StepKind::ApiCloseNull: {
                DEVICE_HANDLE* none = nullptr;
                out_ << "result=" << api_.DeviceClose(&none) << "\n";
                break;
            }
            case StepKind::ApiMessage:
                Message(step.apiArgument);
                break;
        }
        out_.flush();
    }

  private:
    void PrintStatus(NTSTATUS status) {
        out_ << "status=" << Hex32(static_cast<std::uint32_t>(status)) << "\n";
    }

    // One buffer serves as input and output, as the library's exchange buffer does.
    void DeviceControl(const Step& step) {
        std::vector<std::uint8_t> buffer(
            std::max<std::size_t>({step.inputLength, step.outputLength, 2}), 0);
        buffer[0] = kSentByte0;
        const host::IoResult result = host::DeviceControlTo(
            board_.Device(), step.controlCode, buffer.data(), step.inputLength, buffer.data(),
            step.outputLength, step.withSystemBuffer);
        char text[96];
        std::snprintf(text, sizeof text, "status=0x%08X info=%llu byte0=0x%02X byte1=%u\n",
                      static_cast<std::uint32_t>(result.status),
                      static_cast<unsigned long long>(result.information), buffer[0], buffer[1]);
        out_ << text;
    }

    void Open() {
        NTSTATUS status = STATUS_SUCCESS;
        if (FILE_OBJECT* file = host::OpenFile(simboard::kLinkName, &status)) {
            files_.push_back(file);
        }
        PrintStatus(status);
    }

    void Close() {
        if (files_.empty()) {
            PrintStatus(kStatusInvalidHandle);
            return;
        }
        FILE_OBJECT* file = files_.back();
        files_.pop_back();
        PrintStatus(host::CloseFile(file));
    }

    void Message(std::uint32_t code) {
        char buffer[kMessageBufferSize];
        std::memset(buffer, kUntouchedText, sizeof buffer);
        const int result = api_.GetErrorMessage(code, buffer);
        out_ << "result=" << result << " text=";
        if (std::all_of(std::begin(buffer), std::end(buffer),
                        [](char c) { return c == kUntouchedText; })) {
            out_ << "untouched\n";
            return;
        }
        const auto end = std::find(std::begin(buffer), std::end(buffer), '\0');
        out_ << '"' << std::string(std::begin(buffer), end) << "\"\n";
    }

    simboard::SimulatedBoard& board_;
    const simboard::ApiLibrary& api_;
    std::ostream& out_;
    std::vector<FILE_OBJECT*> files_;     // open files, newest last
    DEVICE_HANDLE* apiHandle_ = nullptr;  // the caller's handle variable, never cleared here
    bool unloaded_ = false;
};

std::ofstream OpenOutput(const std::string& path) {
    std::ofstream file;
    if (!path.empty()) {
        file.open(path, std::ios::binary | std::ios::trunc);
        if (!file) throw UsageError("cannot write output file '" + path + "'");
    }
    return file;
}

void WriteOutput(std::ofstream& file, const std::string& path, const std::string& text,
                 std::ostream& err) {
    if (path.empty()) return;
    file << text;
    file.close();
    if (!file) err << "railwatch-sim: writing '" << path << "' failed\n";
}

}  // namespace

int RunScenario(const Scenario& scenario, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto api = simboard::ApiLibrary::Choose(scenario.board.apiImage, error);
    if (api == nullptr) throw host::ImageError(error);
    std::ofstream debugOut = OpenOutput(scenario.debugOutFile);
    std::ofstream traceOut = OpenOutput(scenario.traceOutFile);
    std::ofstream registryOut = OpenOutput(scenario.registryOutFile);

    std::vector<host::Report> reports;
    std::string stoppedAfter;  // the step during which the driver image faulted
    std::size_t notRun = 0;
    {
        simboard::SimulatedBoard board(scenario.board);
        for (const auto& fault : scenario.faults) {
            host::FailCall(fault.routine, fault.nth);
        }
        host::SetBusPnpBehaviour({scenario.lowerStatus, 0, scenario.lowerPending});
        host::SetBusPowerBehaviour({STATUS_SUCCESS, 0, scenario.lowerPending});

        Runner runner(board, *api, out);
        std::size_t ran = 0;
        while (ran < scenario.steps.size() && !host::MachineStopped()) {
            runner.Run(scenario.steps[ran++]);
        }
        reports = host::Reports();
        if (host::MachineStopped()) {
            // A fault in the driver image stopped the machine, as a bug check would.
            stoppedAfter = scenario.steps[ran - 1].word;
            notRun = scenario.steps.size() - ran;
        }

        WriteOutput(debugOut, scenario.debugOutFile, host::DebugText(), err);
        std::string trace;
        for (const auto& access : host::PortTrace()) {
            trace += host::FormatPortAccess(access) + "\n";
        }
        WriteOutput(traceOut, scenario.traceOutFile, trace, err);
        WriteOutput(registryOut, scenario.registryOutFile, host::DumpRegistry(), err);
    }
    // Joins the bus driver's completion threads and frees what the run left behind;
    // nothing found from here on belongs to the verdict.
    host::ResetPlatform();

    for (const auto& report : reports) {
        err << "verifier: " << host::ReportKindName(report.kind) << ": " << report.text << "\n";
    }
    if (!stoppedAfter.empty()) {
        err << "railwatch-sim: the driver image faulted during '" << stoppedAfter
            << "': the machine stopped, " << notRun << " step" << (notRun == 1 ? "" : "s")
            << " not run\n";
    }
    return reports.empty() ? 0 : 1;
}

}  // namespace railwatch_sim

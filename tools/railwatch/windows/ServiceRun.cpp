// `railwatch service run`: the service itself. It polls through the library like `watch`,
// reports changes to the Event Log through ChangeTracker, rewrites the textfile at every
// poll, and answers stop and shutdown at once: its wait between polls ends on an event.
#include "EventLog.h"
#include "Service.h"

#include "ChangeEvents.h"
#include "Device.h"
#include "Output.h"
#include "Textfile.h"

#include <cstdio>
#include <string>

namespace railwatch {

namespace {

constexpr DWORD kStartWaitHintMs = 10000;
constexpr DWORD kStopWaitHintMs = 10000;

// What ServiceMain, which the control manager calls without a context, works with.
struct ServiceState {
    const Options* options = nullptr;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    HANDLE stopEvent = nullptr;
    SERVICE_STATUS status = {};
};
ServiceState g_service;

void ReportState(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHintMs = 0) {
    SERVICE_STATUS& status = g_service.status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = waitHintMs;
    SetServiceStatus(g_service.statusHandle, &status);
}

// Runs on the dispatcher's thread: it only wakes the monitor, which reports the rest.
DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            SetEvent(g_service.stopEvent);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Rewrites the textfile, when one was asked for. A failed write leaves the old file and the
// next poll tries again; the first failure of a run of them (or a different one) is reported.
class TextfileWriter {
  public:
    TextfileWriter(const Options& options, EventLog& log) : path_(options.textfile), log_(log) {}

    void Write(const Reading& reading) {
        if (path_.empty()) {
            return;
        }
        const std::string error = WriteTextfile(path_, reading);
        if (!error.empty() && error != lastError_) {
            log_.Report(EventId::TextfileUnwritable, {Widen(error)});
        }
        lastError_ = error;
    }

  private:
    std::string path_;
    EventLog& log_;
    std::string lastError_;  // of the latest write; empty when it succeeded
};

// Polls until the stop event is set; returns the service's exit code.
DWORD Monitor(const Options& options, EventLog& log) {
    Device device;
    ChangeTracker tracker;
    EventLogSink sink(log);
    TextfileWriter textfile(options, log);

    Reading reading = device.Read();
    log.Report(EventId::ServiceStarted,
               {std::to_wstring(options.intervalMs),
                options.textfile.empty() ? std::wstring(L"none") : Widen(options.textfile),
                Widen(TextReading(reading, ", "))});
    tracker.Update(reading, sink);
    textfile.Write(reading);
    ReportState(SERVICE_RUNNING);

    DWORD exitCode = NO_ERROR;
    for (;;) {
        const DWORD waited =
            WaitForSingleObject(g_service.stopEvent, static_cast<DWORD>(options.intervalMs));
        if (waited == WAIT_OBJECT_0) {
            break;
        }
        if (waited != WAIT_TIMEOUT) {
            // Stop with an error, so that the recovery settings restart the service.
            exitCode = GetLastError() != NO_ERROR ? GetLastError() : ERROR_GEN_FAILURE;
            break;
        }
        if (!reading.Known()) {
            device.Reopen();  // no driver yet, or its device went away: open afresh
        }
        reading = device.Read();
        tracker.Update(reading, sink);
        textfile.Write(reading);
    }
    ReportState(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
    return exitCode;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_service.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
    if (g_service.statusHandle == nullptr) {
        return;
    }
    ReportState(SERVICE_START_PENDING, NO_ERROR, kStartWaitHintMs);
    g_service.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_service.stopEvent == nullptr) {
        ReportState(SERVICE_STOPPED, GetLastError());
        return;
    }
    DWORD exitCode;
    {
        EventLog log;
        exitCode = Monitor(*g_service.options, log);  // the device is closed on return
        log.Report(EventId::ServiceStopped, {});
    }
    CloseHandle(g_service.stopEvent);
    g_service.stopEvent = nullptr;
    ReportState(SERVICE_STOPPED, exitCode);
}

}  // namespace

int RunService(const Options& options) {
    g_service.options = &options;
    // The table's name is not written to; the type merely lacks the const.
    const SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), ServiceMain},
                                          {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            std::fprintf(stderr,
                         "railwatch: 'service run' is started by the service control manager, "
                         "not from a console.\n"
                         "Install the service with 'railwatch service install' (then 'sc start "
                         "Railwatch'), or watch from here with 'railwatch watch'.\n");
            return kExitUsage;
        }
        std::fprintf(stderr,
                     "railwatch: the service control manager refused the service: error %lu\n",
                     static_cast<unsigned long>(error));
        return kExitServiceFailed;
    }
    return kExitOk;
}

int RunServiceCommand(const Options& options) {
    switch (options.serviceAction) {
        case ServiceAction::Install:
            return InstallService(options);
        case ServiceAction::Uninstall:
            return UninstallService();
        case ServiceAction::Run:
            return RunService(options);
    }
    return kExitUsage;
}

}  // namespace railwatch

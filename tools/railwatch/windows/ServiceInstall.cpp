// `railwatch service install` and `railwatch service uninstall`: the service's entry in the
// service control manager and its event source in the Application log.
#include "EventLog.h"
#include "Service.h"

#include "Textfile.h"

#include <cstdio>
#include <string>

namespace railwatch {

namespace {

constexpr wchar_t kServiceDescription[] =
    L"Watches the board's power supplies PWR1 and PWR2 through the RailwatchDrv driver and "
    L"reports every change to the Application log (source Railwatch).";
constexpr DWORD kRestartDelayMs = 60 * 1000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
constexpr DWORD kStopTimeoutMs = 30 * 1000;
constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Closes a service control manager handle when it goes.
class ServiceHandle {
  public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
        }
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_;
};

std::string Narrow(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                            length, nullptr, nullptr);
    }
    return narrow;
}

// Says why `what` failed; ERROR_ACCESS_DENIED means the prompt is not elevated.
int Refused(const char* what, DWORD error) {
    if (error == ERROR_ACCESS_DENIED) {
        std::fprintf(stderr,
                     "railwatch: %s: access denied. Installing and removing the service needs "
                     "an elevated prompt (Run as administrator).\n",
                     what);
        return kExitUsage;
    }
    std::fprintf(stderr, "railwatch: %s failed: Windows error %lu\n", what,
                 static_cast<unsigned long>(error));
    return kExitServiceFailed;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return path;
    }
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    full.resize(written < length ? written : 0);
    return full.empty() ? path : full;
}

// "C:\...\railwatch.exe" service run [--interval MS] [--textfile "FILE"]
std::wstring ServiceCommandLine(const std::wstring& exe, const Options& options,
                                const std::wstring& textfile) {
    std::wstring line = L"\"" + exe + L"\" service run";
    if (options.intervalGiven) {
        line += L" --interval " + std::to_wstring(options.intervalMs);
    }
    if (!textfile.empty()) {
        line += L" --textfile \"" + textfile + L"\"";
    }
    return line;
}

// Says that a setting of the service could not be made; the service works without it.
void NoteUnset(const char* setting) {
    std::printf("railwatch: note: the service's %s could not be set (Windows error %lu)\n", setting,
                static_cast<unsigned long>(GetLastError()));
}

// Description and recovery (restart after a failure, also after a stop with an error).
void Describe(SC_HANDLE service) {
    SERVICE_DESCRIPTIONW text = {const_cast<LPWSTR>(kServiceDescription)};  // only read
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &text)) {
        NoteUnset("description");
    }

    SC_ACTION restart[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs}};
    SERVICE_FAILURE_ACTIONSW actions = {};
    actions.dwResetPeriod = kFailureResetSeconds;
    actions.cActions = 3;
    actions.lpsaActions = restart;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
        NoteUnset("recovery (restart after a failure)");
    }
    SERVICE_FAILURE_ACTIONS_FLAG onErrors = {TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors)) {
        NoteUnset("recovery after a stop with an error");
    }
}

// The Application log's source "Railwatch", with this executable's message table.
DWORD AddEventSource(const std::wstring& exe) {
    HKEY key = nullptr;
    DWORD error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    error = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(exe.c_str()),
                           static_cast<DWORD>((exe.size() + 1) * sizeof(wchar_t)));
    if (error == ERROR_SUCCESS) {
        const DWORD types = kEventTypesSupported;
        error = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
    return error;
}

// Removes the event source; true when there was one.
bool RemoveEventSource() {
    return RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey) == ERROR_SUCCESS;
}

// Asks a running service to stop and waits, bounded, until it has.
bool StopAndWait(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) {
        return true;
    }
    std::printf("railwatch: stopping the Railwatch service\n");
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (DWORD waited = 0; waited < kStopTimeoutMs; waited += 100) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

}  // namespace

int InstallService(const Options& options) {
    const std::wstring exe = ModulePath();
    if (exe.empty()) {
        return Refused("finding railwatch.exe's own path", GetLastError());
    }
    std::wstring textfile;
    if (!options.textfile.empty()) {
        // The service runs elsewhere (in the system folder): keep the file's full path.
        textfile = FullPath(Widen(options.textfile));
        const std::string problem = CheckTextfilePath(Narrow(textfile));
        if (!problem.empty()) {
            std::fprintf(stderr, "railwatch: --textfile: %s\n", problem.c_str());
            return kExitUsage;
        }
    }
    const std::wstring commandLine = ServiceCommandLine(exe, options, textfile);

    const ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        return Refused("opening the service control manager", GetLastError());
    }
    bool updated = false;
    ServiceHandle service(CreateServiceW(
        manager.Get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(),
        nullptr, nullptr, nullptr, nullptr /* LocalSystem */, nullptr));
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
        // Installing again updates the installation.
        ServiceHandle existing(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!existing) {
            return Refused("opening the installed Railwatch service", GetLastError());
        }
        if (!ChangeServiceConfigW(existing.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                  nullptr, L"LocalSystem", L"", kServiceDisplayName)) {
            return Refused("updating the Railwatch service", GetLastError());
        }
        Describe(existing.Get());
        updated = true;
    } else if (!service) {
        return Refused("creating the Railwatch service", GetLastError());
    } else {
        Describe(service.Get());
    }
    const DWORD error = AddEventSource(exe);
    if (error != ERROR_SUCCESS) {
        return Refused("registering the event source Railwatch", error);
    }
    std::printf("railwatch: service Railwatch %s: %s\n", updated ? "updated" : "installed",
                Narrow(commandLine).c_str());
    std::printf("railwatch: it starts with Windows; start it now with 'sc start Railwatch'%s\n",
                updated ? " (a running service takes the new settings when restarted)" : "");
    return kExitOk;
}

int UninstallService() {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return Refused("opening the service control manager", GetLastError());
    }
    const ServiceHandle service(
        OpenServiceW(manager.Get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            return Refused("opening the Railwatch service", error);
        }
        const bool hadSource = RemoveEventSource();
        std::printf("railwatch: the Railwatch service is not installed%s\n",
                    hadSource ? " (its leftover event source was removed)" : "");
        return kExitOk;
    }
    if (!StopAndWait(service.Get())) {
        std::fprintf(stderr, "railwatch: the Railwatch service did not stop within %lu s\n",
                     static_cast<unsigned long>(kStopTimeoutMs / 1000));
        return kExitServiceFailed;
    }
    if (!DeleteService(service.Get())) {
        return Refused("deleting the Railwatch service", GetLastError());
    }
    RemoveEventSource();
    std::printf("railwatch: service Railwatch and its event source removed\n");
    return kExitOk;
}

}  // namespace railwatch

/* Installs, starts, stops and removes the Railwatch service through railwatch.exe and the
 * service control manager, the way an administrator does (run under Wine, or on a Windows
 * test machine without the driver), and checks what each step leaves behind.
 *
 * Usage: service_under_wine.exe RAILWATCH_EXE INTERVAL_MS RUN_MS TEXTFILE
 * The service is started with --interval INTERVAL_MS --textfile TEXTFILE (whose folder this
 * program creates), left to poll for RUN_MS; then the folder is taken away for a few polls
 * (the service reports that once) and the service is stopped. Then it is installed again with a
 * long interval (an update), and started and stopped once more: the stop must not wait for the next
 * poll. The service thus runs twice; what it reported to the Event Log is checked by the calling
 * script. Prints one line per check and "N passed, N failed"; exits 1 when a check failed. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static int passed;
static int failed;

static int check(int ok, const char* what) {
    printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
    fflush(stdout);
    if (ok) {
        ++passed;
    } else {
        ++failed;
    }
    return ok;
}

static const wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Railwatch";

/* Runs `"exe" arguments`, waits at most 60 s; returns its exit code, or -1. */
static long run(const wchar_t* exe, const wchar_t* arguments) {
    wchar_t line[2048];
    swprintf(line, sizeof line / sizeof line[0], L"\"%ls\" %ls", exe, arguments);
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessW(exe, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        printf("      CreateProcess failed: %lu\n", (unsigned long)GetLastError());
        return -1;
    }
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    fflush(stdout);
    return (long)code;
}

static void check_run(const wchar_t* exe, const wchar_t* arguments, long expected) {
    char what[600];
    long code = run(exe, arguments);
    snprintf(what, sizeof what, "railwatch %ls: exit %ld (%ld)", arguments, code, expected);
    check(code == expected, what);
}

/* Waits until the service reaches `state`; returns the milliseconds it took, or -1. */
static long wait_for_state(SC_HANDLE service, DWORD state, DWORD limit_ms, SERVICE_STATUS* last) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        SERVICE_STATUS status;
        if (!QueryServiceStatus(service, &status)) {
            return -1;
        }
        *last = status;
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (status.dwCurrentState == state) {
            return (long)elapsed;
        }
        if (elapsed > limit_ms) {
            return -1;
        }
        Sleep(10);
    }
}

/* Asks the service to stop; returns the milliseconds until it reported SERVICE_STOPPED,
 * the request included, or -1. */
static long stop(SC_HANDLE service, SERVICE_STATUS* last) {
    const ULONGLONG start = GetTickCount64();
    ControlService(service, SERVICE_CONTROL_STOP, last);
    if (wait_for_state(service, SERVICE_STOPPED, 10000, last) < 0) {
        return -1;
    }
    return (long)(GetTickCount64() - start);
}

static void check_config(SC_HANDLE service, const wchar_t* expected_line) {
    char what[1200];
    union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[8192];
    } buffer;
    DWORD needed = 0;
    if (!check(QueryServiceConfigW(service, &buffer.config, sizeof buffer, &needed),
               "QueryServiceConfigW")) {
        return;
    }
    const QUERY_SERVICE_CONFIGW* config = &buffer.config;
    snprintf(what, sizeof what, "command line %ls", config->lpBinaryPathName);
    check(wcscmp(config->lpBinaryPathName, expected_line) == 0, what);
    if (wcscmp(config->lpBinaryPathName, expected_line) != 0) {
        printf("      expected %ls\n", expected_line);
    }
    check(config->dwStartType == SERVICE_AUTO_START, "automatic start");
    check(config->dwServiceType == SERVICE_WIN32_OWN_PROCESS, "own process");
    snprintf(what, sizeof what, "runs as %ls", config->lpServiceStartName);
    check(config->lpServiceStartName != NULL &&
              _wcsicmp(config->lpServiceStartName, L"LocalSystem") == 0,
          what);
    snprintf(what, sizeof what, "display name \"%ls\"", config->lpDisplayName);
    check(wcscmp(config->lpDisplayName, L"Railwatch power supply monitor") == 0, what);

    union {
        SERVICE_DESCRIPTIONW description;
        BYTE bytes[4096];
    } text;
    check(QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, text.bytes, sizeof text,
                               &needed) &&
              text.description.lpDescription != NULL && text.description.lpDescription[0] != 0,
          "has a description");

    union {
        SERVICE_FAILURE_ACTIONSW actions;
        BYTE bytes[4096];
    } recovery;
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, recovery.bytes,
                              sizeof recovery, &needed)) {
        printf("      recovery settings not readable here (error %lu): not checked\n",
               (unsigned long)GetLastError());
        return;
    }
    check(recovery.actions.cActions >= 1 && recovery.actions.lpsaActions != NULL &&
              recovery.actions.lpsaActions[0].Type == SC_ACTION_RESTART,
          "recovery: restart after a failure");
}

/* The event source: EventMessageFile names railwatch.exe. Returns 1 when the key exists. */
static int check_event_source(const wchar_t* exe, int expect_present) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        check(!expect_present,
              expect_present ? "event source key present" : "event source key removed");
        return 0;
    }
    if (!expect_present) {
        check(0, "event source key removed");
        RegCloseKey(key);
        return 1;
    }
    wchar_t file[1024] = L"";
    DWORD size = sizeof file - sizeof file[0];
    DWORD type = 0;
    char what[1200];
    LONG status = RegQueryValueExW(key, L"EventMessageFile", NULL, &type, (BYTE*)file, &size);
    snprintf(what, sizeof what, "event source Railwatch: EventMessageFile %ls", file);
    check(status == ERROR_SUCCESS && (type == REG_EXPAND_SZ || type == REG_SZ) &&
              _wcsicmp(file, exe) == 0,
          what);
    DWORD types = 0;
    size = sizeof types;
    status = RegQueryValueExW(key, L"TypesSupported", NULL, &type, (BYTE*)&types, &size);
    check(status == ERROR_SUCCESS && type == REG_DWORD && types == 7,
          "event source Railwatch: TypesSupported 7 (error, warning, information)");
    RegCloseKey(key);
    return 1;
}

static int file_holds(const wchar_t* path, const char* text) {
    FILE* f = _wfopen(path, L"rb");
    if (f == NULL) {
        return 0;
    }
    char content[4096];
    size_t length = fread(content, 1, sizeof content - 1, f);
    fclose(f);
    content[length] = 0;
    return strstr(content, text) != NULL;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        fprintf(stderr,
                "usage: service_under_wine.exe RAILWATCH_EXE INTERVAL_MS RUN_MS TEXTFILE\n");
        return 2;
    }
    wchar_t exe[MAX_PATH];
    GetFullPathNameW(argv[1], MAX_PATH, exe, NULL);
    const long interval = wcstol(argv[2], NULL, 10);
    const long run_ms = wcstol(argv[3], NULL, 10);
    const wchar_t* textfile = argv[4];
    wchar_t folder[MAX_PATH];
    wcsncpy(folder, textfile, MAX_PATH - 1);
    folder[MAX_PATH - 1] = 0;
    if (wcsrchr(folder, L'\\') != NULL) {
        *wcsrchr(folder, L'\\') = 0;
    }
    CreateDirectoryW(folder, NULL);
    char what[600];

    check_run(exe, L"service run", 2);       /* from a console: refused */
    check_run(exe, L"service uninstall", 0); /* nothing installed yet */
    check_run(exe, L"service frobnicate", 2);
    check_run(exe, L"service", 2);
    check_run(exe, L"service uninstall --interval 500", 2);
    check_run(exe, L"service install --count 3", 2);

    wchar_t arguments[1024];
    swprintf(arguments, sizeof arguments / sizeof arguments[0],
             L"service install --interval %ld --textfile \"%ls\"", interval, textfile);
    check_run(exe, arguments, 0);
    check_run(exe, arguments, 0); /* again: updates the installation */

    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Railwatch", SERVICE_ALL_ACCESS) : NULL;
    if (!check(service != NULL, "service Railwatch exists after install")) {
        printf("%d passed, %d failed\n", passed, failed);
        return 1;
    }
    wchar_t expected_line[2048];
    swprintf(expected_line, sizeof expected_line / sizeof expected_line[0],
             L"\"%ls\" service run --interval %ld --textfile \"%ls\"", exe, interval, textfile);
    check_config(service, expected_line);
    check_event_source(exe, 1);

    SERVICE_STATUS status;
    check(StartServiceW(service, 0, NULL), "StartServiceW");
    long took = wait_for_state(service, SERVICE_RUNNING, 10000, &status);
    snprintf(what, sizeof what, "reaches SERVICE_RUNNING (after %ld ms; state now %lu)", took,
             (unsigned long)status.dwCurrentState);
    check(took >= 0, what);
    check((status.dwControlsAccepted & (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN)) ==
              (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
          "accepts stop and shutdown while running");

    Sleep((DWORD)run_ms);
    snprintf(what, sizeof what, "textfile %ls written, railwatch_up 0 (no driver)", textfile);
    check(file_holds(textfile, "\nrailwatch_up 0"), what);
    DeleteFileW(textfile);
    Sleep((DWORD)(2 * interval));
    check(file_holds(textfile, "\nrailwatch_up 0"), "textfile rewritten at the following polls");
    DeleteFileW(textfile);
    snprintf(what, sizeof what, "folder %ls removed: the service's writes fail", folder);
    check(RemoveDirectoryW(folder), what);
    Sleep((DWORD)(3 * interval));

    took = stop(service, &status);
    snprintf(what, sizeof what,
             "reaches SERVICE_STOPPED within one interval (%ld ms after the stop; interval %ld "
             "ms)",
             took, interval);
    check(took >= 0 && took <= interval, what);
    snprintf(what, sizeof what, "stopped with exit code %lu (0)",
             (unsigned long)status.dwWin32ExitCode);
    check(status.dwWin32ExitCode == NO_ERROR, what);

    /* A long interval: the stop ends the wait between polls instead of waiting it out. */
    const long long_interval = 60000;
    const long prompt_ms = 2000;
    swprintf(arguments, sizeof arguments / sizeof arguments[0], L"service install --interval %ld",
             long_interval);
    check_run(exe, arguments, 0);
    swprintf(expected_line, sizeof expected_line / sizeof expected_line[0],
             L"\"%ls\" service run --interval %ld", exe, long_interval);
    check_config(service, expected_line);
    check(StartServiceW(service, 0, NULL) &&
              wait_for_state(service, SERVICE_RUNNING, 10000, &status) >= 0,
          "started again, reaches SERVICE_RUNNING");
    Sleep(300);
    took = stop(service, &status);
    snprintf(what, sizeof what,
             "with a %ld ms interval, reaches SERVICE_STOPPED %ld ms after the stop (at most %ld)",
             long_interval, took, prompt_ms);
    check(took >= 0 && took <= prompt_ms, what);
    CloseServiceHandle(service);

    check_run(exe, L"service uninstall", 0);
    service = OpenServiceW(manager, L"Railwatch", SERVICE_QUERY_STATUS);
    check(service == NULL && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST,
          "service Railwatch gone after uninstall");
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    check_event_source(exe, 0);
    check_run(exe, L"service uninstall", 0); /* nothing left: says so, exit 0 */
    CloseServiceHandle(manager);

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

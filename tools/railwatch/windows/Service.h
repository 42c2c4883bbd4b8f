// `railwatch service install|uninstall|run`: the Windows service that watches the supplies
// and reports to the Event Log. Built only for Windows; the decision of what to report is
// ChangeTracker's, shared with `watch`.
#pragma once

#include "CommandLine.h"

namespace railwatch {

inline constexpr wchar_t kServiceName[] = L"Railwatch";
inline constexpr wchar_t kServiceDisplayName[] = L"Railwatch power supply monitor";
inline constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Railwatch";

// Registers (or updates) the service and its event source. Exit 0; 2 without an elevated
// prompt, or when the textfile's directory cannot be written; 1 when Windows refuses.
int InstallService(const Options& options);

// Stops the service if it runs, deletes it and its event source. Exit 0 (also when nothing
// was installed); 2 without an elevated prompt; 1 when Windows refuses.
int UninstallService();

// Hands the process to the service control manager, which runs the monitor until it is
// stopped. Exit 0; 2 when started from a console rather than by the control manager.
int RunService(const Options& options);

// Dispatches `service ACTION`.
int RunServiceCommand(const Options& options);

}  // namespace railwatch

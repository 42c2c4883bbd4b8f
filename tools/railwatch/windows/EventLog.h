// The Application log, where the service reports under the source "Railwatch"; the texts
// come from the message table compiled into railwatch.exe (RailwatchMessages.mc).
#pragma once

#include "ChangeEvents.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <initializer_list>
#include <string>

namespace railwatch {

class EventLog {
  public:
    EventLog();
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // One entry of the message `id` (an EventId) with its insertion strings %1, %2, ...
    void Report(EventId id, std::initializer_list<std::wstring> strings);

  private:
    HANDLE source_;
};

// ChangeTracker's events as Event Log entries.
class EventLogSink final : public ChangeSink {
  public:
    explicit EventLogSink(EventLog& log) : log_(log) {}
    void Report(const ChangeEvent& event, const Reading& reading) override;

  private:
    EventLog& log_;
};

// ASCII and the library's messages as a wide string.
std::wstring Widen(const std::string& text);

}  // namespace railwatch

// The service's entries in the Application log (see EventLog.h).
#include "EventLog.h"

#include "Output.h"
#include "RailwatchMessages.h"
#include "Service.h"

#include <vector>

namespace railwatch {

namespace {

struct MessageEntry {
    EventId id;
    DWORD messageId;  // with the severity bits the message compiler set
    WORD type;
};

const MessageEntry kMessages[] = {
    {EventId::ServiceStarted, MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE},
    {EventId::SupplyFailed, MSG_SUPPLY_FAILED, EVENTLOG_ERROR_TYPE},
    {EventId::SupplyGood, MSG_SUPPLY_GOOD, EVENTLOG_INFORMATION_TYPE},
    {EventId::DriverUnavailable, MSG_DRIVER_UNAVAILABLE, EVENTLOG_WARNING_TYPE},
    {EventId::DriverAnswers, MSG_DRIVER_ANSWERS, EVENTLOG_INFORMATION_TYPE},
    {EventId::ServiceStopped, MSG_SERVICE_STOPPED, EVENTLOG_INFORMATION_TYPE},
    {EventId::TextfileUnwritable, MSG_TEXTFILE_UNWRITABLE, EVENTLOG_WARNING_TYPE},
};

static_assert((MSG_SERVICE_STARTED & 0xFFFF) == 1000 && (MSG_SUPPLY_FAILED & 0xFFFF) == 1001 &&
                  (MSG_SUPPLY_GOOD & 0xFFFF) == 1002 && (MSG_DRIVER_UNAVAILABLE & 0xFFFF) == 1003 &&
                  (MSG_DRIVER_ANSWERS & 0xFFFF) == 1004 && (MSG_SERVICE_STOPPED & 0xFFFF) == 1005 &&
                  (MSG_TEXTFILE_UNWRITABLE & 0xFFFF) == 1006,
              "the message table's IDs are the events' IDs");

// "The system cannot find the file specified." for 2; the number alone when Windows has no
// text for it.
std::wstring SystemMessage(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    return message.empty() ? L"(no description)" : message;
}

}  // namespace

std::wstring Widen(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    }
    return wide;
}

EventLog::EventLog() : source_(RegisterEventSourceW(nullptr, kServiceName)) {}

EventLog::~EventLog() {
    if (source_ != nullptr) {
        DeregisterEventSource(source_);
    }
}

void EventLog::Report(EventId id, std::initializer_list<std::wstring> strings) {
    if (source_ == nullptr) {
        return;  // nowhere to report; the service goes on watching
    }
    const MessageEntry* message = nullptr;
    for (const MessageEntry& m : kMessages) {
        if (m.id == id) {
            message = &m;
        }
    }
    if (message == nullptr) {
        return;
    }
    std::vector<LPCWSTR> texts;
    for (const std::wstring& s : strings) {
        texts.push_back(s.c_str());
    }
    ReportEventW(source_, message->type, 0, message->messageId, nullptr,
                 static_cast<WORD>(texts.size()), 0, texts.empty() ? nullptr : texts.data(),
                 nullptr);
}

void EventLogSink::Report(const ChangeEvent& event, const Reading& reading) {
    const std::wstring readings = Widen(TextReading(reading, ", "));
    switch (event.id) {
        case EventId::SupplyFailed:
        case EventId::SupplyGood:
            log_.Report(event.id, {Widen(kSupplyNames[event.supply - 1]), readings});
            break;
        case EventId::DriverUnavailable:
            log_.Report(event.id,
                        {Widen(Message(reading.result)), std::to_wstring(reading.systemError),
                         SystemMessage(reading.systemError)});
            break;
        case EventId::DriverAnswers:
            log_.Report(event.id, {readings});
            break;
        case EventId::ServiceStarted:
        case EventId::ServiceStopped:
        case EventId::TextfileUnwritable:
            break;  // the service reports these itself
    }
}

}  // namespace railwatch

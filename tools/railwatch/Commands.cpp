// railwatch's commands: status, check and watch.
#include "Commands.h"

#include "ChangeEvents.h"
#include "Device.h"
#include "Output.h"
#include "Textfile.h"

#include <cstdio>
#include <string>

namespace railwatch {

namespace {

// Writes the reading to the textfile, when one was asked for. Returns what went wrong, or
// an empty string.
std::string UpdateTextfile(const Options& options, const Reading& reading) {
    return options.textfile.empty() ? std::string() : WriteTextfile(options.textfile, reading);
}

void ReportTextfileFailure(const std::string& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "railwatch: %s\n", error.c_str());
}

// A check's performance data: each supply's value with its range, critical below 1.
std::string PerformanceData(const Reading& reading) {
    std::string data = " |";
    for (int supply = 0; supply < 2; ++supply) {
        data += std::string(" pwr") + char('1' + supply) + "=" +
                (reading.good[supply] ? "1" : "0") + ";;1:;0;1";
    }
    return data;
}

// watch prints the readings themselves; it needs to know only whether something changed.
class IgnoringSink final : public ChangeSink {
  public:
    void Report(const ChangeEvent&, const Reading&) override {}
};

}  // namespace

int RunStatus(const Options& options) {
    const Reading reading = Device().Read();
    if (options.json) {
        std::printf("%s\n", JsonReading(reading).c_str());
    } else {
        std::printf("%s\n", TextReading(reading, "\n").c_str());
    }
    const std::string textfileError = UpdateTextfile(options, reading);
    if (!textfileError.empty()) {
        ReportTextfileFailure(textfileError);
    }
    if (reading.result != Railwatch_SUCCESS) {
        ReportFailure(reading);
        return kExitUnavailable;
    }
    return textfileError.empty() ? kExitOk : kExitCannotWrite;
}

// One status line, with performance data when the supplies are known: "RAILWATCH
// CRITICAL - PWR2 FAILED | pwr1=1;;1:;0;1 pwr2=0;;1:;0;1". It and the exit status follow
// the supplies. A textfile that cannot be written
// goes to stderr, and turns OK into UNKNOWN: the exporter's file no longer says how things are.
int RunCheck(const Options& options) {
    const Reading reading = Device().Read();
    const std::string textfileError = UpdateTextfile(options, reading);
    if (!textfileError.empty()) {
        ReportTextfileFailure(textfileError);
    }
    if (reading.result != Railwatch_SUCCESS) {
        std::printf("RAILWATCH UNKNOWN - %s\n", Message(reading.result).c_str());
        return kExitUnavailable;
    }
    // The supplies are known from here on, and so is the performance data.
    const std::string performance = PerformanceData(reading);
    if (reading.good[0] && reading.good[1] && !textfileError.empty()) {
        std::printf("RAILWATCH UNKNOWN - %s%s\n", textfileError.c_str(), performance.c_str());
        return kExitUnavailable;
    }
    if (reading.good[0] && reading.good[1]) {
        std::printf("RAILWATCH OK - PWR1 good, PWR2 good%s\n", performance.c_str());
        return kExitOk;
    }
    std::string failed;
    for (int supply = 0; supply < 2; ++supply) {
        if (!reading.good[supply]) {
            failed += (failed.empty() ? "" : ", ") + std::string(kSupplyNames[supply]) + " FAILED";
        }
    }
    std::printf("RAILWATCH CRITICAL - %s%s\n", failed.c_str(), performance.c_str());
    return kExitCritical;
}

int RunWatch(const Options& options, Machine& machine) {
    CatchInterrupts();
    const Device device;
    ChangeTracker tracker;
    IgnoringSink changes;
    std::string textfileError;  // of the latest poll
    for (unsigned long poll = 1; !Interrupted(); ++poll) {
        machine.BeforePoll(poll);
        const Reading reading = device.Read();
        // The first reading is printed whatever it is; later ones when they change something.
        if (tracker.Update(reading, changes) > 0 || poll == 1) {
            const std::string time = Timestamp();
            if (options.json) {
                std::printf("%s\n", JsonReading(reading, time).c_str());
            } else {
                std::printf("%s %s\n", time.c_str(), TextReading(reading, ", ").c_str());
            }
            std::fflush(stdout);
        }
        // Rewritten at every poll, so that its age tells a collector the watch is alive. A
        // failure is told once, and the next poll tries again.
        const std::string error = UpdateTextfile(options, reading);
        if (!error.empty() && error != textfileError) {
            ReportTextfileFailure(error);
        }
        textfileError = error;
        if (reading.result != Railwatch_SUCCESS) {
            ReportFailure(reading);
            return kExitUnavailable;
        }
        if (options.count && poll >= *options.count) {
            break;
        }
        SleepUnlessInterrupted(options.intervalMs);
    }
    return textfileError.empty() ? kExitOk : kExitCannotWrite;
}

}  // namespace railwatch

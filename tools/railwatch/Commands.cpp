// railwatch's commands: status, check and watch.
#include "Commands.h"

#include "Device.h"
#include "Output.h"

#include <cstdio>
#include <optional>
#include <string>

namespace railwatch {

int RunStatus(const Options& options) {
    const Reading reading = Device().Read();
    if (options.json) {
        std::printf("%s\n", JsonReading(reading).c_str());
    } else {
        std::printf("%s\n", TextReading(reading, "\n").c_str());
    }
    if (reading.result != Railwatch_SUCCESS) {
        ReportFailure(reading);
        return kExitUnavailable;
    }
    return kExitOk;
}

int RunCheck() {
    const Reading reading = Device().Read();
    if (reading.result != Railwatch_SUCCESS) {
        std::printf("RAILWATCH UNKNOWN - %s\n", Message(reading.result).c_str());
        return kExitUnavailable;
    }
    if (reading.good[0] && reading.good[1]) {
        std::printf("RAILWATCH OK - PWR1 good, PWR2 good\n");
        return kExitOk;
    }
    std::string failed;
    for (int supply = 0; supply < 2; ++supply) {
        if (!reading.good[supply]) {
            failed += (failed.empty() ? "" : ", ") + std::string(kSupplyNames[supply]) + " FAILED";
        }
    }
    std::printf("RAILWATCH CRITICAL - %s\n", failed.c_str());
    return kExitCritical;
}

int RunWatch(const Options& options, Machine& machine) {
    CatchInterrupts();
    const Device device;
    std::optional<Reading> last;
    for (unsigned long poll = 1; !Interrupted(); ++poll) {
        machine.BeforePoll(poll);
        const Reading reading = device.Read();
        if (reading != last) {
            const std::string time = Timestamp();
            if (options.json) {
                std::printf("%s\n", JsonReading(reading, time).c_str());
            } else {
                std::printf("%s %s\n", time.c_str(), TextReading(reading, ", ").c_str());
            }
            std::fflush(stdout);
            last = reading;
        }
        if (reading.result != Railwatch_SUCCESS) {
            ReportFailure(reading);
            return kExitUnavailable;
        }
        if (options.count && poll >= *options.count) {
            break;
        }
        SleepUnlessInterrupted(options.intervalMs);
    }
    return kExitOk;
}

}  // namespace railwatch

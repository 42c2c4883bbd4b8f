// One event per change: the decision shared by `watch` and `service run` (see ChangeEvents.h).
#include "ChangeEvents.h"

namespace railwatch {

int ChangeTracker::Update(const Reading& reading, ChangeSink& sink) {
    int events = 0;
    if (!reading.Known()) {
        // Once per outage; the supplies keep their last known states meanwhile.
        if (readable_) {
            readable_ = false;
            sink.Report({EventId::DriverUnavailable, 0}, reading);
            ++events;
        }
        return events;
    }
    if (!readable_) {
        readable_ = true;
        sink.Report({EventId::DriverAnswers, 0}, reading);
        ++events;
    }
    for (int supply = 0; supply < 2; ++supply) {
        if (reading.good[supply] != good_[supply]) {
            good_[supply] = reading.good[supply];
            sink.Report({good_[supply] ? EventId::SupplyGood : EventId::SupplyFailed, supply + 1},
                        reading);
            ++events;
        }
    }
    return events;
}

}  // namespace railwatch

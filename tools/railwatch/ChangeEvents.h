// What a monitor reports when a reading differs from what it knew: one event per change,
// never one per poll. `watch` prints on these changes and `service run` writes them to the
// Event Log; both decide through ChangeTracker.
//
// The tracker remembers the last known state of each supply and whether the driver
// answered. It starts from "both good and readable", so the first reading after a start is
// reported like any change: a failed supply or an unreadable driver gives its event, good
// readings give none. While the driver cannot be read the supplies' last known states are
// kept, and when it answers again each supply is compared with them: a supply that failed
// during the outage is reported, one that stayed failed is not reported twice.
#pragma once

#include "Device.h"

#include <vector>

namespace railwatch {

// The event IDs that Event Viewer shows (the message table in RailwatchMessages.mc gives
// their texts and severities).
enum class EventId : unsigned {
    ServiceStarted = 1000,
    SupplyFailed = 1001,
    SupplyGood = 1002,
    DriverUnavailable = 1003,
    DriverAnswers = 1004,
    ServiceStopped = 1005,
    TextfileUnwritable = 1006,  // the service's --textfile; once per run of failed writes
};

struct ChangeEvent {
    EventId id;
    int supply;  // 1 or 2 for SupplyFailed and SupplyGood; 0 otherwise

    bool operator==(const ChangeEvent&) const = default;
};

// Receives the events of one reading, in order: DriverAnswers before the supplies' events,
// PWR1's before PWR2's. `reading` is the reading that caused them.
class ChangeSink {
  public:
    virtual void Report(const ChangeEvent& event, const Reading& reading) = 0;

  protected:
    ~ChangeSink() = default;
};

class ChangeTracker {
  public:
    // Compares `reading` with what is known, reports each change to `sink`, and takes the
    // reading in. Returns the number of events reported.
    int Update(const Reading& reading, ChangeSink& sink);

  private:
    bool readable_ = true;
    bool good_[2] = {true, true};  // PWR1, PWR2: the last known states
};

}  // namespace railwatch

// The decision that `watch` and `service run` share: which events a new reading gives,
// given what the monitor knew before it.
#include "ChangeEvents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using railwatch::ChangeEvent;
using railwatch::ChangeTracker;
using railwatch::EventId;
using railwatch::Reading;

// Keeps every event as "ID" or "ID:SUPPLY", and the reading that caused it.
class RecordingSink final : public railwatch::ChangeSink {
  public:
    void Report(const ChangeEvent& event, const Reading& reading) override {
        std::string text = std::to_string(static_cast<unsigned>(event.id));
        if (event.supply != 0) {
            text += ":" + std::to_string(event.supply);
        }
        events.push_back(text);
        causes.push_back(reading);
    }
    std::vector<std::string> events;
    std::vector<Reading> causes;
};

// "GG", "GF", "FG", "FF": PWR1 and PWR2 good (G) or failed (F); "U2", "U3": unreadable with
// that library result code.
Reading Parse(const std::string& text) {
    Reading reading;
    if (text[0] == 'U') {
        reading.result = text[1] - '0';
        reading.systemError = 2;
    } else {
        reading.good[0] = text[0] == 'G';
        reading.good[1] = text[1] == 'G';
    }
    return reading;
}

struct Case {
    const char* name;
    std::vector<std::string> readings;  // from the start of the monitor
    std::vector<std::string> events;    // every event they give, in order
};

const Case kCases[] = {
    {"first reading good: nothing", {"GG"}, {}},
    {"first reading with PWR2 failed", {"GF"}, {"1001:2"}},
    {"first reading with both failed", {"FF"}, {"1001:1", "1001:2"}},
    {"first reading unreadable", {"U2"}, {"1003"}},
    {"steady readings: nothing", {"GG", "GG", "GG"}, {}},
    {"good to failed, once however long it stays", {"GG", "FG", "FG", "FG"}, {"1001:1"}},
    {"failed to good", {"GF", "GG"}, {"1001:2", "1002:2"}},
    {"both change at once", {"GF", "FG"}, {"1001:2", "1001:1", "1002:2"}},
    {"readable to unreadable", {"GG", "U3"}, {"1003"}},
    {"unreadable twice and with another code: one event", {"GG", "U2", "U3", "U2"}, {"1003"}},
    {"recovery with the supplies as before", {"GG", "U2", "GG"}, {"1003", "1004"}},
    {"recovery after an outage at the start", {"U2", "U2", "GG"}, {"1003", "1004"}},
    {"a supply that failed during the outage", {"GG", "U3", "GF"}, {"1003", "1004", "1001:2"}},
    {"a supply that stayed failed is not reported again",
     {"FG", "U3", "FG"},
     {"1001:1", "1003", "1004"}},
    {"a supply that came back during the outage",
     {"FG", "U3", "GG"},
     {"1001:1", "1003", "1004", "1002:1"}},
    {"a second outage", {"GG", "U2", "GG", "U2", "U2", "GG"}, {"1003", "1004", "1003", "1004"}},
};

TEST(ChangeEvents, OneEventPerChangeAndTheFirstReadingComparedWithGoodAndReadable) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ChangeTracker tracker;
        RecordingSink sink;
        for (const std::string& text : c.readings) {
            const std::size_t before = sink.events.size();
            const int reported = tracker.Update(Parse(text), sink);
            EXPECT_EQ(static_cast<std::size_t>(reported), sink.events.size() - before) << text;
        }
        EXPECT_EQ(sink.events, c.events);
    }
}

TEST(ChangeEvents, EachEventCarriesTheReadingThatCausedIt) {
    ChangeTracker tracker;
    RecordingSink sink;
    Reading unreadable = Parse("U2");
    unreadable.systemError = 21;
    tracker.Update(Parse("GG"), sink);
    tracker.Update(unreadable, sink);
    tracker.Update(Parse("FG"), sink);
    ASSERT_EQ(sink.events, (std::vector<std::string>{"1003", "1004", "1001:1"}));
    EXPECT_EQ(sink.causes[0], unreadable);
    EXPECT_EQ(sink.causes[1], Parse("FG"));
    EXPECT_EQ(sink.causes[2], Parse("FG"));
}

}  // namespace

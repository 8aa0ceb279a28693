#pragma once
// What the bridge knows of one station, and how one poll's outcome changes it. Pure.
#include <array>
#include <cstdint>
#include <string>

#include "reading.h"

// How one exchange with a data server ended, before its reply is read.
enum class Transport {
    replied,  // some bytes came back
    refused,  // the connection could not be made
    timeout,  // no connection or no reply within the time limit
    closed,   // the server closed without a reply
};

struct Exchange {
    Transport transport = Transport::closed;
    std::string reply;  // the bytes received, for `replied`
};

enum class PollResult { ok, unchanged, unreadable, refused, timeout, closed };
constexpr std::size_t POLL_RESULTS = 6;
const char* result_name(PollResult r);

enum class Availability { unknown, online, offline };

// A station goes offline after this many failed polls in a row.
constexpr int FAILURES_FOR_OFFLINE = 3;

struct StationStatus {
    std::array<std::uint64_t, POLL_RESULTS> polls{};
    int failures_in_row = 0;
    Availability availability = Availability::unknown;
    bool has_reading = false;
    Reading last;                  // the last reading published
    std::string last_state;        // its state JSON
    double last_reading_time = 0;  // when the bridge took it, Unix seconds
};

struct PollChange {
    PollResult result = PollResult::closed;
    bool new_reading = false;           // `last` and `last_state` hold it
    bool availability_changed = false;  // `availability` holds the new value
};

// A reading is new when its seconds or its stamp differ from the last one published: a
// restarted station counts its seconds from 0 again, and its readings must still go out.
// A failed poll is a refused, timed-out or closed exchange; any reply, readable or not,
// comes from a live station.
PollChange apply_exchange(StationStatus& s, const Exchange& e, double now);

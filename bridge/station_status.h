#pragma once
// What the bridge knows of one station, and how one poll's outcome changes it. Pure.
#include <array>
#include <cstdint>
#include <string>

#include "logging.h"
#include "reading.h"

// How one exchange with a data server ended, before its reply is read.
enum class Transport {
    replied,  // a whole reply came back: the server closed, sent a NUL, or paused after it
    refused,  // the connection could not be made
    timeout,  // no connection, or no whole reply, within the time limit
    closed,   // the server closed without a reply
};

struct Exchange {
    Transport transport = Transport::closed;
    std::string reply;  // the bytes received: the reply, or what had come by the time limit
};

enum class PollResult { ok, unchanged, unreadable, refused, timeout, closed };
constexpr std::size_t POLL_RESULTS = 6;
const char* result_name(PollResult r);

// stale: the station answers but its reading has not changed for the stale time; its MQTT
// availability is "offline", as for a station that does not answer.
enum class Availability { unknown, online, stale, offline };
const char* availability_name(Availability a);

// A station goes offline after this many failed polls in a row.
constexpr int FAILURES_FOR_OFFLINE = 3;
// Repeated unreadable replies of one station make at most one log line in this many seconds.
constexpr double JUNK_LOG_INTERVAL = 60;

struct StationStatus {
    std::array<std::uint64_t, POLL_RESULTS> polls{};
    int failures_in_row = 0;
    Availability availability = Availability::unknown;
    bool has_reading = false;
    Reading last;                  // the last reading published
    std::string last_state;        // its state JSON
    double last_reading_time = 0;  // when the bridge took it, Unix seconds
    double fresh_since = -1;       // the last new reading, or the first poll; -1: not polled yet

    // The log: whether the last reply was junk, whether the log's last word on the station
    // was junk, when junk was last told, and how much came since.
    bool junk = false;
    bool junk_shown = false;
    double junk_told_at = -JUNK_LOG_INTERVAL;
    std::uint64_t junk_untold = 0;
};

struct PollChange {
    PollResult result = PollResult::closed;
    bool new_reading = false;           // `last` and `last_state` hold it
    bool availability_changed = false;  // `availability` holds the new value
    // A line for the log, without the station's name; empty when there is nothing to tell.
    std::string note;
    Priority priority = Priority::info;
};

// A reading is new when its seconds or its stamp differ from the last one published: a
// restarted station counts its seconds from 0 again, and its readings must still go out.
// A failed poll is a refused, timed-out or closed exchange; any reply, readable or not,
// comes from a live station. A live station is stale once `stale_after` seconds have passed
// without a new reading (counted from its first poll when it never gave one). The note tells
// every change of availability but the first finding of a station online, and junk.
PollChange apply_exchange(StationStatus& s, const Exchange& e, double now, double stale_after);

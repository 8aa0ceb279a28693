#pragma once
// What the web page shows of every station: the last hour of readings and the event streams
// that carry each new reading and availability change. Fed by the bridge's hooks.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "event_streams.h"
#include "fleet.h"
#include "history.h"
#include "reading.h"

class WebFeed : public FleetObserver {
public:
    // Open pages at once: each stream holds a queue of events and a connection.
    static constexpr std::size_t STREAM_CAP = 32;

    explicit WebFeed(std::size_t stream_cap = STREAM_CAP,
                     std::chrono::steady_clock::duration linger = EventStreams::LINGER)
        : streams_(stream_cap, linger) {}

    // The fleet's hooks, called from the bridge's threads outside the fleet's lock.
    void on_reading(const std::string& station, const Reading& r, const std::string& state,
                    double taken_at) override;
    void on_availability(const std::string& station, Availability a) override;
    // A station dropped from the bridge's list: its history goes too, and pages drop its card.
    void on_station_removed(const std::string& station) override;

    // The body of /api/history for a station: its readings of the hour before now_ms (none
    // for a station that has given no reading yet).
    std::string history_json(const std::string& station, std::int64_t now_ms) const;
    // The same hour for a chart `columns` pixels wide: the readings of the last RECENT_MS in
    // full, the older ones as "columns": [from, to, count, [12 minimums], [12 maximums]] per
    // column (null for a channel with a fault there), with "spacing", the usual time between
    // readings that the page's gaps are measured by.
    std::string history_json(const std::string& station, std::int64_t now_ms, int columns) const;
    static constexpr std::int64_t RECENT_MS = 2 * 60 * 1000;
    static constexpr int MAX_COLUMNS = 10000;

    EventStreams& streams() { return streams_; }

    // A test aid for the page's benchmarks: gives each station `seconds` synthetic readings,
    // one a second up to now (Unix seconds), as if it had been polled that long, but for an
    // outage of two minutes half an hour ago.
    void fill_for_test(const std::vector<std::string>& stations, int seconds, double now);

private:
    // The station's entries of the hour before now_ms, with their sequence numbers, and the
    // sequence number of the next reading.
    std::vector<std::pair<std::uint64_t, HistoryEntry>> hour_of(const std::string& station,
                                                                std::int64_t now_ms,
                                                                std::uint64_t& next) const;

    // Held across a reading's push and its publication, so that events leave in the order
    // of the history's sequence numbers. Written by the bridge's threads; read by the HTTP
    // server's threads.
    mutable std::mutex mutex_;
    std::map<std::string, History> histories_;
    EventStreams streams_;
};

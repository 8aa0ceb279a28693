#pragma once
// What the web page shows of every station: the last hour of readings and the event streams
// that carry each new reading and availability change. Fed by the bridge's hooks.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "event_streams.h"
#include "history.h"
#include "reading.h"

class WebFeed {
public:
    // Open pages at once; the HTTP server keeps workers to spare beyond them.
    static constexpr std::size_t STREAM_CAP = 32;

    explicit WebFeed(std::size_t stream_cap = STREAM_CAP) : streams_(stream_cap) {}

    // The bridge's hooks, called from its polling threads outside the bridge's own locks.
    void on_reading(const std::string& station, const Reading& r, std::int64_t at_ms);
    void on_availability(const std::string& station, bool available);
    // A station dropped from the bridge's list: its history goes too.
    void on_removed(const std::string& station);

    // The body of /api/history for a station: its readings of the hour before now_ms.
    // Nothing for a station the feed has not heard of.
    std::optional<std::string> history_json(const std::string& station,
                                            std::int64_t now_ms) const;

    EventStreams& streams() { return streams_; }

private:
    // Held across a reading's push and its publication, so that events leave in the order
    // of the history's sequence numbers. Written by the bridge's threads; read by HTTP workers.
    mutable std::mutex mutex_;
    std::map<std::string, History> histories_;
    EventStreams streams_;
};

// One reading as the page's JSON: {"seq":N,"at":MS,"sec":S,"row":[14 grid texts]}, the
// texts decoded from Windows-1251.
std::string reading_json(const HistoryEntry& e, std::uint64_t seq);

#include "web_feed.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "text.h"

namespace {

using nlohmann::ordered_json;

constexpr std::int64_t HOUR_MS = 3600 * 1000;

// One reading as the page reads it: {"seq":N,"at":MS,"sec":S,"row":[the 14 grid texts]}.
ordered_json reading_object(const HistoryEntry& e, std::uint64_t seq) {
    ordered_json row = ordered_json::array();
    for (const std::string& text : entry_row(e)) row.push_back(from_cp1251(text));
    return ordered_json{{"seq", seq}, {"at", e.at_ms}, {"sec", e.sec}, {"row", std::move(row)}};
}

}  // namespace

void WebFeed::on_reading(const std::string& station, const Reading& r, const std::string&,
                         double taken_at) {
    const HistoryEntry e = make_entry(r, std::llround(taken_at * 1000));
    std::lock_guard<std::mutex> lock(mutex_);
    History& h = histories_[station];
    const std::uint64_t seq = h.total();
    h.push(e);
    // With no page open or about to reconnect nothing is rendered; a page that opens later
    // reads the history.
    if (!streams_.wanted()) return streams_.skip();
    ordered_json j{{"station", station}};
    j.update(reading_object(e, seq));
    streams_.publish("reading", j.dump());
}

void WebFeed::on_availability(const std::string& station, Availability a) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ordered_json j{{"station", station},
                         {"available", a == Availability::online},
                         {"state", availability_name(a)}};
    streams_.publish("availability", j.dump());
}

void WebFeed::on_station_removed(const std::string& station) {
    std::lock_guard<std::mutex> lock(mutex_);
    histories_.erase(station);
    // Should it come back, its sequence starts again from 0: pages must forget it first.
    streams_.publish("removed", ordered_json{{"station", station}}.dump());
}

std::vector<std::pair<std::uint64_t, HistoryEntry>> WebFeed::hour_of(const std::string& station,
                                                                      std::int64_t now_ms,
                                                                      std::uint64_t& next) const {
    // Copied out under the lock, rendered after it, so that readings are not held up.
    std::vector<std::pair<std::uint64_t, HistoryEntry>> kept;
    next = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = histories_.find(station);
    if (it != histories_.end()) {
        kept.reserve(it->second.size());
        it->second.each_since(now_ms - HOUR_MS, [&](std::uint64_t seq, const HistoryEntry& e) {
            kept.emplace_back(seq, e);
        });
        next = it->second.total();
    }
    return kept;
}

std::string WebFeed::history_json(const std::string& station, std::int64_t now_ms) const {
    std::uint64_t next;
    const auto kept = hour_of(station, now_ms, next);
    ordered_json readings = ordered_json::array();
    for (const auto& [seq, e] : kept) readings.push_back(reading_object(e, seq));
    return ordered_json{{"station", station},
                        {"now", now_ms},
                        {"next", next},
                        {"readings", std::move(readings)}}
        .dump();
}

std::string WebFeed::history_json(const std::string& station, std::int64_t now_ms,
                                  int columns) const {
    std::uint64_t next;
    const auto kept = hour_of(station, now_ms, next);
    std::vector<HistoryEntry> entries;
    entries.reserve(kept.size());
    for (const auto& [seq, e] : kept) entries.push_back(e);
    const std::int64_t spacing = usual_spacing(entries);
    const std::int64_t recent = now_ms - RECENT_MS;
    ordered_json reduced = ordered_json::array();
    for (const HistoryColumn& c :
         reduce_history(entries, now_ms - HOUR_MS, HOUR_MS, recent, columns, spacing)) {
        ordered_json lo = ordered_json::array(), hi = ordered_json::array();
        for (int k = 0; k < NCHAN; ++k) {
            const bool fault = c.faults >> k & 1u;
            lo.push_back(fault ? ordered_json() : ordered_json(c.min[k]));
            hi.push_back(fault ? ordered_json() : ordered_json(c.max[k]));
        }
        reduced.push_back(
            ordered_json::array({c.from_ms, c.to_ms, c.count, std::move(lo), std::move(hi)}));
    }
    ordered_json readings = ordered_json::array();
    for (const auto& [seq, e] : kept) {
        if (e.at_ms >= recent) readings.push_back(reading_object(e, seq));
    }
    return ordered_json{{"station", station},
                        {"now", now_ms},
                        {"next", next},
                        {"spacing", spacing},
                        {"columns", std::move(reduced)},
                        {"readings", std::move(readings)}}
        .dump();
}

void WebFeed::fill_for_test(const std::vector<std::string>& stations, int seconds, double now) {
    Reading r;
    for (int i = std::min(seconds, int(History::CAPACITY)); i > 0; --i) {
        if (i <= 1800 && i > 1680) continue;  // an outage of two minutes half an hour ago
        const double at = std::floor(now) - i;
        const std::time_t t = std::time_t(at);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M-%S", &tm);
        r.sys_stamp = stamp;
        r.sys_time = r.sys_stamp.substr(11);
        r.tm_time = std::to_string(100000 + (seconds - i) % 100000).substr(1);
        r.sec = std::int32_t(seconds - i);
        for (std::size_t s = 0; s < stations.size(); ++s) {
            // Slow waves, a channel without a sensor and now and then an error.
            for (int k = 0; k < NCHAN; ++k) {
                const double wave = std::sin((at + 37.0 * double(s)) / (60.0 + k));
                r.values[k] = std::round(2000.0 + 100 * k + 500 * wave) / 100;
            }
            r.values[NCHAN - 1] = NSENS_VALUE;
            if (i % 600 == int(s % 600)) r.values[s % 4] = ERROR_VALUE;
            on_reading(stations[s], r, "", at);
        }
    }
}

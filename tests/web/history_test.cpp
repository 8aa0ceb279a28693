// The web page's data: compact history entries give back the grid's texts byte for byte, the
// ring keeps the newest hour in order, the event streams are capped and never lose order,
// and the JSON the page reads.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "event_streams.h"
#include "history.h"
#include "web_feed.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

Reading reading_of(double v) {
    Reading r;
    r.sec = 125;
    r.sys_stamp = "2024-05-17-09-41-07";
    r.sys_time = "09-41-07";
    r.tm_time = "00004521";
    r.values.fill(v);
    return r;
}

// Reads a stream as the HTTP server does: woken by the publisher, it takes what came.
class Reader {
public:
    explicit Reader(std::shared_ptr<EventStream> s) : s_(std::move(s)) {
        s_->on_wake([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
            woke_.notify_all();
        });
    }
    // What came within `wait` ("" when nothing did); false once the stream ended.
    bool next(std::string& out, std::chrono::milliseconds wait) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            woke_.wait_for(lock, wait, [&] { return woken_; });
            woken_ = false;
        }
        return s_->take(out);
    }

private:
    std::shared_ptr<EventStream> s_;
    std::mutex mutex_;
    std::condition_variable woke_;
    bool woken_ = false;
};

void expect_same_row(const Reading& r) {
    EXPECT_EQ(entry_row(make_entry(r, 0)), grid_row(r, false)) << "value " << r.values[0];
}

TEST(HistoryEntry, GivesBackTheGridTextsOfEveryKindOfValue) {
    for (double v : {23.45, -1.5, 101.2, 0.0, -0.0, -0.004, 0.005, 0.015, 1.005, 2.675, -887.99,
                     -888.0, -900.0, -900.01, -950.0, -999.0, 21474836.47, -21474836.47,
                     std::nan(""), -std::numeric_limits<double>::infinity()}) {
        expect_same_row(reading_of(v));
    }
}

TEST(HistoryEntry, GivesBackTheGridTextsOfRandomValues) {
    std::mt19937_64 rng(47);
    std::uniform_real_distribution<double> wide(-2.1e7, 2.1e7), narrow(-1000.0, 1000.0);
    Reading r = reading_of(0);
    for (int i = 0; i < 20000; ++i) {
        for (double& v : r.values) v = i % 2 ? wide(rng) : narrow(rng);
        expect_same_row(r);
    }
}

TEST(HistoryEntry, KeepsValuesBeyondHundredthsAsFloats) {
    for (double v : {21474836.48, 1e9, 3e12, std::numeric_limits<double>::infinity()}) {
        const HistoryEntry e = make_entry(reading_of(v), 0);
        EXPECT_EQ(kind_of(e, 0), ChannelKind::wide);
        EXPECT_EQ(entry_row(e)[2], channel_text(float(v)));
    }
    EXPECT_EQ(kind_of(make_entry(reading_of(-999.0), 0), 5), ChannelKind::no_sensor);
    EXPECT_EQ(kind_of(make_entry(reading_of(-888.0), 0), 11), ChannelKind::error);
}

TEST(HistoryEntry, KeepsTheTimeTextsAsTheyStand) {
    Reading r = reading_of(1.0);
    r.sys_time = "<script>";
    r.tm_time = "\xC2\xF0.";  // Windows-1251 bytes, shorter than the field
    const auto row = entry_row(make_entry(r, 0));
    EXPECT_EQ(row[0], "<script>");
    EXPECT_EQ(row[1], "\xC2\xF0.");
    r.sys_time.clear();
    r.tm_time.clear();
    EXPECT_EQ(entry_row(make_entry(r, 0))[1], "");
    EXPECT_EQ(entry_row(make_entry(r, 0))[0], "");
}

std::vector<std::pair<std::uint64_t, std::int64_t>> kept(const History& h, std::int64_t since) {
    std::vector<std::pair<std::uint64_t, std::int64_t>> out;
    h.each_since(since, [&](std::uint64_t seq, const HistoryEntry& e) { out.emplace_back(seq, e.at_ms); });
    return out;
}

TEST(History, KeepsTheNewestInOrderWithTheirSequenceNumbers) {
    History h(3);
    EXPECT_TRUE(kept(h, 0).empty());
    for (int i = 0; i < 2; ++i) h.push(make_entry(reading_of(i), 1000 * i));
    EXPECT_EQ(kept(h, 0), (decltype(kept(h, 0)){{0, 0}, {1, 1000}}));
    for (int i = 2; i < 7; ++i) h.push(make_entry(reading_of(i), 1000 * i));
    EXPECT_EQ(h.size(), 3u);
    EXPECT_EQ(h.total(), 7u);
    EXPECT_EQ(kept(h, 0), (decltype(kept(h, 0)){{4, 4000}, {5, 5000}, {6, 6000}}));
    EXPECT_EQ(kept(h, 5000), (decltype(kept(h, 0)){{5, 5000}, {6, 6000}}));
}

TEST(History, HoldsAnHourAtTheShortestPeriod) {
    History h;
    for (int i = 0; i < 4000; ++i) h.push(make_entry(reading_of(i), 1000 * i));
    EXPECT_EQ(h.size(), 3600u);
    EXPECT_EQ(kept(h, 0).front(), (std::pair<std::uint64_t, std::int64_t>{400, 400000}));
}

std::vector<HistoryEntry> entries_at(const std::vector<std::pair<std::int64_t, double>>& at_value) {
    std::vector<HistoryEntry> out;
    for (const auto& [at, v] : at_value) out.push_back(make_entry(reading_of(v), at));
    return out;
}

TEST(ReduceHistory, KeepsTheMinimumAndMaximumOfEachColumn) {
    // Ten columns of 1 s over [0, 10 s), four readings a second; the last reading is past until.
    std::vector<std::pair<std::int64_t, double>> at_value;
    for (int i = 0; i < 40; ++i) at_value.emplace_back(250 * i, i % 4 == 2 ? -5.25 : i * 1.5);
    const auto entries = entries_at(at_value);
    EXPECT_EQ(usual_spacing(entries), 250);
    const auto cols = reduce_history(entries, 0, 10000, 9750, 10, 250);
    ASSERT_EQ(cols.size(), 10u);
    EXPECT_EQ(cols[3].from_ms, 3000);
    EXPECT_EQ(cols[3].to_ms, 3750);
    EXPECT_EQ(cols[3].count, 4u);
    EXPECT_EQ(cols[3].min[0], -5.25);
    EXPECT_EQ(cols[3].max[11], 15 * 1.5);
    EXPECT_EQ(cols[3].faults, 0u);
    EXPECT_EQ(cols[9].count, 3u);  // 9750 is left to the readings in full
    // Readings outside the hour are not shown; a narrow chart gets as few columns.
    EXPECT_EQ(reduce_history(entries, 5000, 10000, 9750, 1, 250).front().from_ms, 5000);
    EXPECT_EQ(reduce_history(entries, 0, 10000, 10000, 1, 250).size(), 1u);
    EXPECT_TRUE(reduce_history(entries, 0, 10000, 10000, 0, 250).empty());
}

TEST(ReduceHistory, KeepsFaultsAndOutagesAsGaps) {
    auto entries = entries_at({{0, 1.0}, {1000, 2.0}, {2000, 3.0}, {3000, 4.0},
                               // offline for 8 s, within one column
                               {11000, 5.0}, {12000, 6.0}, {13000, 7.0}});
    entries[1] = make_entry([] {
        Reading r = reading_of(2.0);
        r.values[4] = NSENS_VALUE;
        r.values[7] = ERROR_VALUE;
        return r;
    }(), 1000);
    EXPECT_EQ(usual_spacing(entries), 1000);
    const auto cols = reduce_history(entries, 0, 60000, 60000, 2, 1000);
    ASSERT_EQ(cols.size(), 2u);  // one column, cut at the outage
    EXPECT_EQ(cols[0].to_ms, 3000);
    EXPECT_EQ(cols[0].faults, (1u << 4) | (1u << 7));
    EXPECT_EQ(cols[0].min[0], 1.0);
    EXPECT_EQ(cols[0].max[0], 4.0);
    EXPECT_EQ(cols[1].from_ms, 11000);
    EXPECT_EQ(cols[1].faults, 0u);
    EXPECT_EQ(cols[1].min[3], 5.0);
    // A pause within three spacings is no gap.
    EXPECT_EQ(reduce_history(entries, 0, 60000, 60000, 2, 3000).size(), 1u);
}

TEST(WebFeed, ReducedHistoryGivesColumnsAndTheLastMinutesInFull) {
    WebFeed feed;
    Reading r = reading_of(10.0);
    const std::int64_t now = 10'000'000;
    // An hour at 1 s, channel 1 at N/SENS for one reading in an old column, and a gap.
    for (std::int64_t at = now - 3600 * 1000 + 1000; at <= now; at += 1000) {
        if (at > now - 1790 * 1000 && at < now - 1750 * 1000) continue;
        r.values[0] = double(at % 7000) / 1000;
        r.values[1] = at == now - 3000 * 1000 ? NSENS_VALUE : 1.0;
        feed.on_reading("a", r, "", at / 1000.0);
    }
    const std::string text = feed.history_json("a", now, 60);
    const json h = json::parse(text);
    EXPECT_EQ(h["spacing"], 1000);
    EXPECT_EQ(h["next"], 3561);
    const auto& readings = h["readings"];
    ASSERT_EQ(readings.size(), 121u);  // the last two minutes, both ends included
    EXPECT_EQ(readings.front()["at"], now - WebFeed::RECENT_MS);
    EXPECT_EQ(readings.back()["seq"], 3560);
    const auto& cols = h["columns"];
    ASSERT_EQ(cols.size(), 58u + 1);  // a column a minute up to the last two, one cut by the gap
    std::uint64_t count = 0;
    for (const auto& c : cols) count += c[2].get<std::uint64_t>();
    EXPECT_EQ(count + readings.size(), 3561u);
    EXPECT_EQ(cols[0].dump(), "[" + std::to_string(now - 3599000) + "," +
                                  std::to_string(now - 3541000) +
                                  ",59,[0.0,1.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0],"
                                  "[6.0,1.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0,10.0]]");
    EXPECT_TRUE(cols[10][3][1].is_null());  // the N/SENS
    EXPECT_TRUE(cols[10][4][1].is_null());
    EXPECT_FALSE(cols[10][3][0].is_null());
    // The gap between two columns is the outage's forty seconds.
    bool outage = false;
    for (std::size_t i = 1; i < cols.size(); ++i)
        outage |= cols[i][0].get<std::int64_t>() - cols[i - 1][1].get<std::int64_t>() == 40000;
    EXPECT_TRUE(outage);
    // Without columns, the hour in full as before; a fraction of its size reduced.
    const std::string full = feed.history_json("a", now);
    EXPECT_EQ(json::parse(full)["readings"].size(), 3561u);
    EXPECT_FALSE(json::parse(full).contains("columns"));
    EXPECT_LT(text.size() * 10, full.size());
}

TEST(WebFeed, DecodesTheTimeTextsToUtf8) {
    WebFeed feed;
    Reading r = reading_of(1.0);
    r.sys_time = "\xC2\xF0\xE5\xEC\xFF \xB9";
    r.tm_time = "a\x98z";  // 0x98 is undefined in Windows-1251
    feed.on_reading("a", r, "", 1.0);
    const json h = json::parse(feed.history_json("a", 1000));
    EXPECT_EQ(h["readings"][0]["row"][0], "Время №");
    EXPECT_EQ(h["readings"][0]["row"][1], "a\xEF\xBF\xBDz");
}

TEST(EventStreams, RefusesStreamsPastTheCapAndFreesSlotsOnRelease) {
    EventStreams streams(2);
    auto a = streams.open(), b = streams.open();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(streams.open(), nullptr);
    a.reset();
    EXPECT_EQ(streams.open_count(), 1u);
    EXPECT_NE(streams.open(), nullptr);
}

std::string hello(const EventStreams& streams, int seq, bool replayed) {
    return sse_event(streams.run() + "-" + std::to_string(seq), "hello",
                     replayed ? R"({"replayed":true})" : R"({"replayed":false})");
}

TEST(EventStreams, DeliverEveryEventInOrderAcrossThreads) {
    EventStreams streams(4);
    Reader s(streams.open());
    constexpr int N = 2000;
    std::string want = hello(streams, 0, false);
    for (int i = 0; i < N; ++i)
        want += "id: " + streams.run() + "-" + std::to_string(i + 1) + "\nevent: reading\ndata: " +
                std::to_string(i) + "\n\n";
    std::thread publisher([&] {
        for (int i = 0; i < N; ++i) streams.publish("reading", std::to_string(i));
    });
    std::string all, text;
    while (all.size() < want.size()) {
        ASSERT_TRUE(s.next(text, 2000ms));
        all += text;
    }
    publisher.join();
    EXPECT_EQ(all, want);
}

TEST(EventStreams, IdleWaitEndsEmptyAndCloseEndsEveryStream) {
    EventStreams streams(4);
    Reader s(streams.open());
    std::string text;
    EXPECT_TRUE(s.next(text, 10ms));
    EXPECT_EQ(text, hello(streams, 0, false));
    EXPECT_TRUE(s.next(text, 10ms));
    EXPECT_EQ(text, "");
    std::atomic<bool> ended{false};
    std::thread waiter([&] {
        std::string t;
        while (s.next(t, 5000ms)) {}
        ended = true;
    });
    std::this_thread::sleep_for(50ms);
    streams.close();
    waiter.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(streams.open(), nullptr);
}

TEST(EventStreams, DropAStreamThatFallsTooFarBehind) {
    EventStreams streams(4);
    Reader slow(streams.open());
    for (std::size_t i = 0; i < EventStreams::MAX_QUEUED; ++i) streams.publish("e", "");
    std::string text;
    EXPECT_FALSE(slow.next(text, 10ms));
    Reader fresh(streams.open());
    streams.publish("f", "1");
    streams.publish("g", "2");
    EXPECT_TRUE(fresh.next(text, 10ms));
    const int n = int(EventStreams::MAX_QUEUED);
    EXPECT_EQ(text, hello(streams, n, false) +  // a burst in one piece
                        sse_event(streams.run() + "-" + std::to_string(n + 1), "f", "1") +
                        sse_event(streams.run() + "-" + std::to_string(n + 2), "g", "2"));
}

// Everything a stream gives within a moment.
std::string drain(Reader& r) {
    std::string all, text;
    while (r.next(text, 20ms) && !text.empty()) all += text;
    return all;
}

TEST(EventStreams, ReplayWhatAReconnectingPageMissedWhileItIsKept) {
    EventStreams streams(8);
    const std::string id = streams.run() + "-";
    {
        Reader first(streams.open());
        for (int i = 1; i <= 5; ++i) streams.publish("e", std::to_string(i));
        EXPECT_EQ(drain(first).find("id: " + id + "1\n"), hello(streams, 0, false).size());
    }  // the stream dropped when the page had events up to 2 ...
    for (int i = 6; i <= 7; ++i) streams.publish("e", std::to_string(i));
    Reader again(streams.open(id + "2"));
    std::string want = hello(streams, 2, true);  // a drop during the replay starts it again
    for (int i = 3; i <= 7; ++i) want += sse_event(id + std::to_string(i), "e", std::to_string(i));
    EXPECT_EQ(drain(again), want);
    Reader current(streams.open(id + "7"));  // missed nothing
    EXPECT_EQ(drain(current), hello(streams, 7, true));

    // Ids it cannot vouch for: another run's, one not yet given, malformed ones.
    for (const std::string& other : {std::string("0123456789abcdef-2"), id + "8", id, id + "-1",
                                     id + "2x", id + "99999999999999999999", std::string("2")}) {
        Reader r(streams.open(other));
        EXPECT_EQ(drain(r), hello(streams, 7, false)) << other;
    }
    EXPECT_NE(EventStreams(1).run(), streams.run());  // a restarted bridge
}

TEST(EventStreams, ReplayOnlyWhileTheMissedEventsAreAllKept) {
    EventStreams streams(4);
    const std::string id = streams.run() + "-";
    for (std::size_t i = 0; i < EventStreams::REPLAY_EVENTS + 2; ++i) streams.publish("e", "");
    const int last = int(EventStreams::REPLAY_EVENTS) + 2;
    {
        const int from = last - int(EventStreams::REPLAY_EVENTS);
        Reader oldest(streams.open(id + std::to_string(from)));
        const std::string all = drain(oldest);
        EXPECT_EQ(all.rfind(hello(streams, from, true), 0), 0u);
        EXPECT_EQ(std::count(all.begin(), all.end(), '\n'),
                  4 * (1 + int(EventStreams::REPLAY_EVENTS)));
    }
    Reader gone(streams.open(id + std::to_string(last - int(EventStreams::REPLAY_EVENTS) - 1)));
    EXPECT_EQ(drain(gone), hello(streams, last, false));

    // An event nobody was sent breaks the replay across it.
    EXPECT_TRUE(streams.wanted());  // a stream is open
    streams.skip();
    Reader skipped(streams.open(id + std::to_string(last)));
    EXPECT_EQ(drain(skipped), hello(streams, last + 1, false));
}

TEST(EventStreams, KeepEventsForALingerAfterTheLastStreamCloses) {
    EventStreams lingering(4), none(4, 0s);
    lingering.open().reset();
    none.open().reset();
    EXPECT_TRUE(lingering.wanted());
    EXPECT_FALSE(none.wanted());
    // The feed sends nothing past the linger, and a page back later fetches afresh.
    WebFeed feed(4, 0s);
    feed.streams().open().reset();
    feed.on_reading("a", reading_of(1.0), "", 1.0);
    Reader back(feed.streams().open(feed.streams().run() + "-0"));
    EXPECT_EQ(drain(back), hello(feed.streams(), 1, false));
}

TEST(WebFeed, HistoryJsonHoldsTheLastHourWithDecodedTexts) {
    WebFeed feed;
    feed.on_availability("a", Availability::online);
    EXPECT_EQ(feed.history_json("a", 5000),
              R"({"station":"a","now":5000,"next":0,"readings":[]})");
    Reading r = reading_of(23.45);
    r.values[2] = NSENS_VALUE;
    r.values[3] = ERROR_VALUE;
    r.tm_time = "\xC2\xF0";
    feed.on_reading("a", r, "", 1.0);
    feed.on_reading("a", r, "", 3602.0);
    const json h = json::parse(feed.history_json("a", 3600 * 1000 + 1000));
    EXPECT_EQ(h["next"], 2);
    ASSERT_EQ(h["readings"].size(), 2u);  // the first is exactly an hour old
    EXPECT_EQ(h["readings"][0].dump(),
              R"({"at":1000,"row":["09-41-07","Вр"," 23.45"," 23.45"," N/SENS"," ERROR",)"
              R"(" 23.45"," 23.45"," 23.45"," 23.45"," 23.45"," 23.45"," 23.45"," 23.45"],)"
              R"("sec":125,"seq":0})");  // json sorts keys; the wire order is checked below
    const json later = json::parse(feed.history_json("a", 3600 * 1000 + 1001));
    EXPECT_EQ(later["readings"].size(), 1u);
    feed.on_station_removed("a");  // and should it come back, it starts afresh
    EXPECT_EQ(json::parse(feed.history_json("a", 0))["next"], 0);
}

// The page takes a history, then applies the events past its "next": the two must agree
// while readings arrive on another thread.
TEST(WebFeed, HistoryAndEventsAgreeWhileReadingsArrive) {
    WebFeed feed;
    Reader s(feed.streams().open());
    constexpr int N = 500;
    std::thread poller([&] {
        for (int i = 0; i < N; ++i) feed.on_reading("a", reading_of(i), "", 1.0 + i);
    });
    std::uint64_t next = 0;
    while (next < N) {
        const json h = json::parse(feed.history_json("a", 1000000));
        ASSERT_GE(h["next"].get<std::uint64_t>(), next);
        next = h["next"];
        ASSERT_EQ(h["readings"].size(), next);
        if (next) ASSERT_EQ(h["readings"].back()["seq"], next - 1);
    }
    poller.join();
    std::string all, text;
    while (all.size() < 1000 * N && s.next(text, 100ms) && !text.empty()) all += text;
    std::size_t at = 0;
    for (int i = 0; i < N; ++i) {
        at = all.find("\"seq\":" + std::to_string(i) + ",", at);
        ASSERT_NE(at, std::string::npos) << "event " << i << " missing or out of order";
    }
}

TEST(WebFeed, PublishesReadingsAvailabilityAndRemovalsAsEvents) {
    WebFeed feed;
    Reader s(feed.streams().open());
    feed.on_availability("b", Availability::stale);
    Reading r = reading_of(1.0);
    r.sys_time = "<\"x\">\n";
    feed.on_reading("b", r, "", 0.007);
    feed.on_station_removed("b");
    std::string all;
    ASSERT_TRUE(s.next(all, 100ms));
    all.erase(0, hello(feed.streams(), 0, false).size());
    const std::string first = "id: " + feed.streams().run() + "-1\nevent: availability\ndata: {\"station\":\"b\",\"available\":false,\"state\":\"stale\"}\n\n";
    ASSERT_EQ(all.substr(0, first.size()), first);
    const std::size_t end = all.find("\n\n", first.size()) + 2;
    std::string text = all.substr(first.size(), end - first.size());
    EXPECT_EQ(text.rfind("id: " + feed.streams().run() + "-2\nevent: reading\ndata: {\"station\":\"b\",\"seq\":0,\"at\":7,\"sec\":125,"
                         "\"row\":[\"<\\\"x\\\">\\n\",", 0), 0u) << text;
    EXPECT_EQ(text.find('\n', text.find('\n') + 1), text.find("\ndata: "));  // one data line: no raw line end inside
    EXPECT_EQ(text.substr(text.size() - 4), "]}\n\n");
    EXPECT_EQ(all.substr(end), "id: " + feed.streams().run() + "-3\nevent: removed\ndata: {\"station\":\"b\"}\n\n");
}

}  // namespace

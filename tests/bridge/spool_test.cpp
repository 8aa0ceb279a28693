// The bridge's queue on disk: its record format byte for byte, torn and corrupt tails cut,
// trimming by whole segments, its command-line options, and which readings a full queue
// drops (the publisher with a broker that never answers).
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mqtt_publisher.h"
#include "options.h"
#include "spool.h"

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

SpoolRecord message(std::uint64_t seq, const std::string& topic, const std::string& payload,
                    const std::string& station = {}, bool first = false) {
    SpoolRecord r;
    r.seq = seq;
    r.time_ms = 1700000000123;
    r.first = first;
    r.station = station;
    r.message = {topic, payload};
    return r;
}

// A folder of its own for each case, removed with what it holds.
class Folder {
public:
    Folder() {
        char name[] = "/tmp/zkspool-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~Folder() {
        for (const auto& f : files()) ::unlink((path_ + "/" + f).c_str());
        ::unlink((path_ + "/lock").c_str());
        ::rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    // The segments, oldest first.
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(path_.c_str())) {
            while (const dirent* e = ::readdir(d))
                if (std::string(e->d_name).find(".seg") != std::string::npos)
                    out.push_back(e->d_name);
            ::closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::size_t size_of(const std::string& file) const {
        struct stat st {};
        return ::stat((path_ + "/" + file).c_str(), &st) == 0 ? std::size_t(st.st_size) : 0;
    }
    std::size_t total() const {
        std::size_t n = 0;
        for (const auto& f : files()) n += size_of(f);
        return n;
    }

private:
    std::string path_;
};

std::vector<std::string> payloads(const std::vector<SpoolRecord>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.message.payload);
    return out;
}

// Opens `s`, failing the case if it cannot: the messages still queued, and what was repaired.
std::vector<SpoolRecord> opened(Spool& s, std::vector<std::string>* notes = nullptr) {
    std::vector<SpoolRecord> q;
    std::vector<std::string> repaired;
    std::string e;
    EXPECT_TRUE(s.open(q, repaired, e)) << e;
    if (notes) *notes = repaired;
    return q;
}

void append_n(Spool& s, int from, int to) {
    for (int i = from; i < to; ++i)
        s.append({"zk47/a/state", "reading " + std::to_string(i)}, "a", true, 1000 + i);
}

}  // namespace

TEST(SpoolRecords, ByteForByteLittleEndianWithTheBodysCrc32) {
    SpoolRecord trim;
    trim.trim = true;
    trim.seq = 5;
    EXPECT_EQ(hex(encode_record(trim)), "090000004c321f80020500000000000000");
    SpoolRecord m = message(7, "zk47/a/T1", "23.45", "a", true);
    m.message.retention = Retention::once;
    EXPECT_EQ(hex(encode_record(m)),
              "25000000139202820107000000000000007b68e5cf8b010000010109007a6b34372f612f54310161"
              "32332e3435");
}

TEST(SpoolRecords, EveryFieldComesBackAndAnEmptyPayloadStaysEmpty) {
    std::string bytes = encode_record(message(1, "homeassistant/sensor/x/config", "", "", false));
    bytes += encode_record(message(2, "zk47/b/state", "{\"seconds\":1}", "b", true));
    std::vector<SpoolRecord> out;
    EXPECT_EQ(decode_records(bytes, out), bytes.size());
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].message.topic, "homeassistant/sensor/x/config");
    EXPECT_EQ(out[0].message.payload, "");
    EXPECT_FALSE(out[0].first);
    EXPECT_EQ(out[1].seq, 2u);
    EXPECT_EQ(out[1].time_ms, 1700000000123);
    EXPECT_EQ(out[1].station, "b");
    EXPECT_TRUE(out[1].first);
    EXPECT_EQ(out[1].message.payload, "{\"seconds\":1}");
    EXPECT_EQ(out[1].message.retention, Retention::kept);
}

TEST(SpoolRecords, ATornTailIsCutAtEveryLengthAndNeverRead) {
    const std::string a = encode_record(message(1, "t", "first"));
    const std::string b = encode_record(message(2, "t", "second"));
    const std::string whole = a + b;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        std::vector<SpoolRecord> out;
        const std::size_t good = decode_records(std::string_view(whole).substr(0, cut), out);
        EXPECT_EQ(good, cut < a.size() ? 0 : a.size()) << cut;
        EXPECT_EQ(out.size(), cut < a.size() ? 0u : 1u) << cut;
    }
}

TEST(SpoolRecords, AnyChangedByteOrAnAbsurdLengthEndsTheRecords) {
    const std::string a = encode_record(message(1, "t", "first"));
    const std::string b = encode_record(message(2, "t", "second"));
    for (std::size_t at = a.size(); at < a.size() + b.size(); ++at) {
        std::string bytes = a + b + a;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        std::vector<SpoolRecord> out;
        EXPECT_EQ(decode_records(bytes, out), a.size()) << at;
        EXPECT_EQ(payloads(out), std::vector<std::string>{"first"}) << at;
    }
    std::string huge = a + std::string("\xff\xff\xff\x7f", 4) + std::string(64, 'x');
    std::vector<SpoolRecord> out;
    EXPECT_EQ(decode_records(huge, out), a.size());
}

TEST(SpoolOnDisk, MessagesComeBackInOrderAfterTheTrimAndNumbersGoOn) {
    Folder f;
    {
        Spool s(f.path());
        EXPECT_TRUE(opened(s).empty());
        append_n(s, 0, 5);
        std::string e;
        s.trim(3);  // the first two have been delivered
        ASSERT_TRUE(s.flush(false, e)) << e;
    }
    Spool s(f.path());
    std::vector<std::string> notes;
    const std::vector<SpoolRecord> q = opened(s, &notes);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(payloads(q), (std::vector<std::string>{"reading 2", "reading 3", "reading 4"}));
    EXPECT_EQ(q[0].seq, 3u);
    EXPECT_EQ(q[0].station, "a");
    EXPECT_EQ(s.next_seq(), 6u);
}

TEST(SpoolOnDisk, ATornLastRecordIsCutFromItsFileAndReported) {
    Folder f;
    std::string name;
    {
        Spool s(f.path());
        opened(s);
        append_n(s, 0, 3);
        std::string e;
        ASSERT_TRUE(s.flush(true, e)) << e;
        name = f.files().back();
    }
    const std::size_t whole = f.size_of(name);
    ASSERT_EQ(::truncate((f.path() + "/" + name).c_str(), off_t(whole - 3)), 0);
    {
        Spool s(f.path());
        std::vector<std::string> notes;
        const std::vector<SpoolRecord> q = opened(s, &notes);
        EXPECT_EQ(payloads(q), (std::vector<std::string>{"reading 0", "reading 1"}));
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].find("torn or corrupt"), std::string::npos);
        EXPECT_LT(f.size_of(name), whole - 3);  // cut to the last whole record
        // What is appended now follows the sound records, after a restart too.
        append_n(s, 10, 11);
        std::string e;
        ASSERT_TRUE(s.flush(true, e)) << e;
    }
    Spool s2(f.path());
    EXPECT_EQ(payloads(opened(s2)), (std::vector<std::string>{"reading 0", "reading 1", "reading 10"}));
}

TEST(SpoolOnDisk, TrimmedSegmentsAreRemovedWholeAndTheBytesAreTheFiles) {
    Folder f;
    {
        Spool s(f.path(), 200);  // a segment holds a few records
        opened(s);
        append_n(s, 0, 20);
        std::string e;
        ASSERT_TRUE(s.flush(true, e)) << e;
        const std::size_t segments = f.files().size();
        EXPECT_GT(segments, 4u);
        EXPECT_EQ(s.segments(), segments);
        EXPECT_EQ(s.bytes(), f.total());
        const std::uint64_t end = s.oldest_segment_end();
        s.trim(end);  // the oldest segment's last message is still queued
        ASSERT_TRUE(s.flush(true, e)) << e;
        EXPECT_EQ(f.files().size(), segments);
        s.trim(end + 1);
        ASSERT_TRUE(s.flush(true, e)) << e;
        EXPECT_EQ(f.files().size(), segments - 1);
        EXPECT_EQ(s.bytes(), f.total());
        s.trim(s.next_seq());  // everything delivered: only the current segment stays
        ASSERT_TRUE(s.flush(true, e)) << e;
        EXPECT_EQ(f.files().size(), 1u);
        EXPECT_EQ(s.bytes(), f.total());
    }
    Spool reopened(f.path(), 200);
    EXPECT_TRUE(opened(reopened).empty());
    EXPECT_EQ(reopened.next_seq(), 21u);
}

TEST(SpoolOnDisk, OneBridgeAtATimeUsesAFolder) {
    Folder f;
    std::vector<SpoolRecord> q;
    std::vector<std::string> notes;
    std::string e;
    {
        Spool first(f.path());
        ASSERT_TRUE(first.open(q, notes, e)) << e;
        Spool second(f.path());
        EXPECT_FALSE(second.open(q, notes, e));
        EXPECT_NE(e.find("in use by another bridge"), std::string::npos);
    }
    Spool after(f.path());  // free again once the first is gone
    EXPECT_TRUE(after.open(q, notes, e)) << e;
}

TEST(SpoolOnDisk, AFolderThatCannotBeMadeIsAnError) {
    Spool s("/proc/no/such/folder");
    std::vector<SpoolRecord> q;
    std::vector<std::string> notes;
    std::string e;
    EXPECT_FALSE(s.open(q, notes, e));
    EXPECT_NE(e.find("/proc/no/such/folder"), std::string::npos);
}

TEST(SpoolOptions, SizeAndAgeTakeUnitsAndStayInRange) {
    Options o;
    std::string e;
    ASSERT_TRUE(parse_options({"--station", "a=h:1"}, o, e)) << e;
    EXPECT_EQ(o.spool, "");
    EXPECT_EQ(o.spool_max_bytes, 256LL << 20);
    EXPECT_EQ(o.spool_max_age, 86400);
    ASSERT_TRUE(parse_options({"--station", "a=h:1", "--spool", "/var/lib/zkbridge",
                               "--spool-max-bytes", "300K", "--spool-max-age", "90m"},
                              o, e))
        << e;
    EXPECT_EQ(o.spool, "/var/lib/zkbridge");
    EXPECT_EQ(o.spool_max_bytes, 300 << 10);
    EXPECT_EQ(o.spool_max_age, 5400);
    ASSERT_TRUE(parse_options({"--station", "a=h:1", "--spool-max-bytes", "2G",
                               "--spool-max-age", "45"}, o, e)) << e;
    EXPECT_EQ(o.spool_max_bytes, 2LL << 30);
    EXPECT_EQ(o.spool_max_age, 45);
    for (const char* bad : {"63K", "1T", "-1M", "M", "12MB", ""}) {
        EXPECT_FALSE(parse_options({"--station", "a=h:1", "--spool-max-bytes", bad}, o, e)) << bad;
        EXPECT_NE(e.find("--spool-max-bytes"), std::string::npos);
    }
    for (const char* bad : {"0", "366d", "1w", "h"})
        EXPECT_FALSE(parse_options({"--station", "a=h:1", "--spool-max-age", bad}, o, e)) << bad;
    EXPECT_FALSE(parse_options({"--station", "a=h:1", "--spool", ""}, o, e));
}

namespace {

// A reading of `station` as the fleet hands it over: its state, then twelve channels.
std::vector<MqttMessage> reading(const std::string& station, int sec) {
    std::vector<MqttMessage> m{{"zk47/" + station + "/state",
                                "{\"seconds\":" + std::to_string(sec) + "}" + std::string(900, ' ')}};
    for (int k = 1; k <= 12; ++k)
        m.push_back({"zk47/" + station + "/T" + std::to_string(k), std::to_string(sec)});
    return m;
}

// A publisher whose broker never answers, so that nothing leaves its queue but by dropping.
MqttSettings unreachable(const std::string& spool) {
    MqttSettings s;
    s.port = 9;  // discard: refused on loopback
    s.client_id = "zkbridge-test";
    s.will_topic = "zk47/bridge/test/availability";
    s.spool_dir = spool;
    return s;
}

// Each station's queued readings by their seconds, as the spool holds them after a stop.
std::map<std::string, std::vector<int>> spooled_readings(const std::string& dir) {
    Spool s(dir);
    std::map<std::string, std::vector<int>> out;
    for (const auto& r : opened(s))
        if (r.first) out[r.station].push_back(std::stoi(r.message.payload.substr(11)));
    return out;
}

}  // namespace

TEST(FairQueue, AFullSpoolKeepsEachStationsNewestReadingsAndCountsTheRest) {
    Folder f;
    MqttSettings settings = unreachable(f.path());
    settings.spool_max_bytes = 64 << 10;
    std::uint64_t dropped = 0;
    {
        MqttPublisher p(settings);
        std::vector<std::string> notes;
        std::string e;
        ASSERT_TRUE(p.start(notes, e)) << e;
        p.publish({{"zk47/gone/availability", "offline", Retention::once}});
        p.publish_reading("lone", reading("lone", 1));  // the oldest, and its station's last
        for (int sec = 1; sec <= 100; ++sec)
            for (const char* st : {"a", "b", "c", "d"}) p.publish_reading(st, reading(st, sec));
        p.stop(std::chrono::milliseconds(0));
        EXPECT_LE(f.total(), std::size_t(64 << 10));
        for (const auto& [station, n] : p.dropped_readings()) {
            EXPECT_NE(station, "lone");
            dropped += n;
        }
    }
    const auto kept = spooled_readings(f.path());
    EXPECT_EQ(kept.at("lone"), std::vector<int>{1});
    std::size_t total = 0;
    for (const char* st : {"a", "b", "c", "d"}) {
        const auto& got = kept.at(st);
        ASSERT_FALSE(got.empty()) << st;
        // The newest, one run up to the last, and as long as every other station's.
        EXPECT_EQ(got.back(), 100) << st;
        EXPECT_EQ(got.back() - got.front() + 1, int(got.size())) << st;
        EXPECT_LE(std::abs(int(got.size()) - int(kept.at("a").size())), 1) << st;
        total += got.size();
    }
    EXPECT_EQ(dropped + total, 400u);
    EXPECT_GT(dropped, 300u);
    // The removal was never dropped: it moved to the back with the spool's last values.
    Spool s(f.path());
    const auto q = opened(s);
    const auto removal = std::find_if(q.begin(), q.end(), [](const SpoolRecord& r) {
        return r.message.topic == "zk47/gone/availability";
    });
    ASSERT_NE(removal, q.end());
    EXPECT_EQ(removal->message.retention, Retention::once);
}

TEST(FairQueue, AFullQueueInMemoryDropsWholeReadingsOfTheLongestHistory) {
    MqttSettings settings = unreachable("");
    settings.max_queued = 13 * 10;
    MqttPublisher p(settings);
    std::vector<std::string> notes;
    std::string e;
    ASSERT_TRUE(p.start(notes, e)) << e;
    for (int sec = 1; sec <= 3; ++sec) p.publish_reading("slow", reading("slow", sec));
    for (int sec = 1; sec <= 30; ++sec) p.publish_reading("fast", reading("fast", sec));
    p.stop(std::chrono::milliseconds(0));
    // Every drop took the oldest reading of all: first the slow station's older two, whose
    // history reached furthest back, then the fast one's, never its last.
    const auto dropped = p.dropped_readings();
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_EQ(dropped[0], (std::pair<std::string, std::uint64_t>{"fast", 21}));
    EXPECT_EQ(dropped[1], (std::pair<std::string, std::uint64_t>{"slow", 2}));
    EXPECT_EQ(p.dropped(), 23u * 13);
    EXPECT_EQ(p.queued(), settings.max_queued);
}

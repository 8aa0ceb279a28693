#pragma once
// Delivers the bridge's messages to the broker, QoS 1 and retained, in the order they were
// published, across broker outages. One thread owns the libmosquitto handle; other threads
// only hand messages over.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fleet.h"
#include "spool.h"

struct mosquitto;
struct mosquitto_message;

struct MqttSettings {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string client_id;
    std::string user;      // empty: no user name
    std::string password;  // read from a file, never from the command line
    std::string cafile;    // non-empty: TLS, the broker checked against this CA
    std::string will_topic;  // the bridge's availability: "offline" when the link breaks
    // Non-empty: the bridge's queue length is published here now and then.
    std::string queue_topic;
    // Non-empty: home automation's discovery prefix. When it announces on PREFIX/status that it
    // is online, every retained topic goes out again, its configs first, after a random delay
    // of up to `announce_delay` so that many clients do not answer at once.
    std::string discovery_prefix;
    std::chrono::milliseconds announce_delay{5000};
    // Without a spool, the queue holds at most this many messages: at least 20,000 readings
    // of thirteen messages each. A full queue drops the oldest reading of the station whose
    // queued history reaches furthest back; the last value of every topic is kept.
    std::size_t max_queued = 270000;
    // Non-empty: the queue is kept in this folder too, bounded by `spool_max_bytes` on disk.
    std::string spool_dir;
    std::size_t spool_max_bytes = 256u << 20;
    // Readings queued longer than this are dropped, oldest first.
    std::chrono::seconds max_age{24 * 3600};
};

class MqttPublisher : public MqttSink {
public:
    explicit MqttPublisher(MqttSettings settings);
    ~MqttPublisher() override;

    // Reads the spool, whose messages go out first, and starts the thread. False with `error`
    // when the spool cannot be used; `notes` tells what was repaired.
    bool start(std::vector<std::string>& notes, std::string& error);
    // Any thread. Queued in order; delivered once connected.
    void publish(std::vector<MqttMessage> messages) override;
    void publish_reading(const std::string& station, std::vector<MqttMessage> messages) override;
    // Waits up to `drain` for the queue to be delivered, then disconnects and ends the thread.
    void stop(std::chrono::milliseconds drain);

    bool connected() const { return connected_; }
    std::size_t queued() const { return queued_; }
    std::size_t dropped() const { return dropped_; }
    // Whole readings dropped from a full or old queue, by station.
    std::vector<std::pair<std::string, std::uint64_t>> dropped_readings() const;

private:
    struct Entry {
        MqttMessage message;
        int mid = -1;  // >= 0 once sent on the current connection
        bool acked = false;
        std::string station;        // a reading's messages: the station it is of
        bool first = false;         // the first message of a reading
        std::uint64_t seq = 0;      // its record in the spool; 0: none
        std::int64_t time_ms = 0;   // Unix time it was queued
        std::uint64_t number = 0;   // the order it was queued in; 0: put ahead of the queue
    };
    struct Incoming {
        MqttMessage message;
        std::string station;
        bool first;
    };
    using Clock = std::chrono::steady_clock;

    void run();
    void take_incoming();
    void begin_connect();
    void end_connection(const char* why);
    void on_connected();
    void send_window();
    void on_acknowledged(int mid);
    void retire_acknowledged();
    void on_message(const mosquitto_message& m);
    void enqueue(MqttMessage m, std::string station = {}, bool first = false);
    void append(MqttMessage m, std::string station, bool first, std::int64_t time_ms);
    Entry take_front();
    void evict_front();
    void make_room(std::size_t bytes);
    void drop_old();
    void note_drop(const std::string& station);
    void sync_spool(bool durable);
    void announce_again();
    void report_queue(bool always, bool behind);

    static void connect_cb(mosquitto*, void* self, int rc);
    static void disconnect_cb(mosquitto*, void* self, int rc);
    static void publish_cb(mosquitto*, void* self, int mid);
    static void message_cb(mosquitto*, void* self, const mosquitto_message* m);

    const MqttSettings settings_;

    // Handed over by publish (any thread) under mutex_; taken by the publisher thread.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Incoming> incoming_;
    bool stopping_ = false;
    Clock::time_point stop_deadline_;

    // Read by any thread for the metrics.
    std::atomic<bool> connected_{false};
    std::atomic<std::size_t> queued_{0};
    std::atomic<std::size_t> dropped_{0};
    mutable std::mutex stats_mutex_;
    std::map<std::string, std::uint64_t> dropped_readings_;  // under stats_mutex_

    // The publisher thread's own.
    std::thread thread_;
    mosquitto* mosq_ = nullptr;
    bool session_up_ = false;   // the broker accepted the connection
    bool link_broken_ = false;  // a callback saw the connection refused or lost
    Clock::time_point connect_started_;
    Clock::time_point next_attempt_;
    std::chrono::seconds backoff_{1};
    std::deque<Entry> pending_;  // oldest first
    std::unique_ptr<Spool> spool_;
    std::uint64_t spool_done_ = 0;  // the last spooled message that left the queue
    Clock::time_point next_sync_;
    bool spool_failing_ = false;  // a failed write was reported; quiet until one succeeds
    bool spool_too_small_ = false;  // reported; quiet until it fits again
    std::unordered_map<std::string, std::size_t> readings_per_station_;  // queued, by station
    std::size_t spell_drops_ = 0;  // readings dropped in this spell of drops
    std::uint64_t queued_count_ = 0;   // entries ever queued at the back
    std::uint64_t spell_backlog_ = 0;  // the newest entry at the spell's last drop
    std::unordered_map<int, Entry*> in_flight_;      // by message id
    // The last payload of every topic that is kept (Retention::kept).
    std::map<std::string, std::string> retained_;
    std::unordered_map<std::string, int> pending_per_topic_;
    std::optional<Clock::time_point> announce_at_;  // home automation came back online
    std::minstd_rand random_{std::random_device{}()};
    Clock::time_point next_queue_report_;
    std::size_t reported_queue_ = SIZE_MAX;
};

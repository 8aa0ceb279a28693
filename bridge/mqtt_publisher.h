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
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fleet.h"

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
    // Messages waiting for the broker's acknowledgement beyond this are refused (and counted):
    // at least 20,000 readings of thirteen messages each.
    std::size_t max_queued = 270000;
};

class MqttPublisher : public MqttSink {
public:
    explicit MqttPublisher(MqttSettings settings);
    ~MqttPublisher() override;

    void start();
    // Any thread. Queued in order; delivered once connected.
    void publish(std::vector<MqttMessage> messages) override;
    // Waits up to `drain` for the queue to be delivered, then disconnects and ends the thread.
    void stop(std::chrono::milliseconds drain);

    bool connected() const { return connected_; }
    std::size_t queued() const { return queued_; }
    std::size_t dropped() const { return dropped_; }

private:
    struct Entry {
        MqttMessage message;
        int mid = -1;  // >= 0 once sent on the current connection
        bool acked = false;
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
    void enqueue(MqttMessage m);
    void mark_unsent(const std::string& topic);
    void queue_unsent();
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
    std::vector<MqttMessage> incoming_;
    bool stopping_ = false;
    Clock::time_point stop_deadline_;

    // Read by any thread for the metrics.
    std::atomic<bool> connected_{false};
    std::atomic<std::size_t> queued_{0};
    std::atomic<std::size_t> dropped_{0};

    // The publisher thread's own.
    std::thread thread_;
    mosquitto* mosq_ = nullptr;
    bool session_up_ = false;   // the broker accepted the connection
    bool link_broken_ = false;  // a callback saw the connection refused or lost
    Clock::time_point connect_started_;
    Clock::time_point next_attempt_;
    std::chrono::seconds backoff_{1};
    std::deque<Entry> pending_;                      // oldest first
    std::unordered_map<int, Entry*> in_flight_;      // by message id
    // The last payload of every topic that is kept (Retention::kept).
    std::map<std::string, std::string> retained_;
    std::unordered_map<std::string, int> pending_per_topic_;
    // Topics whose last payload is not in pending_ behind their older copies (refused when the
    // queue was full, or asked for again); queued as soon as there is room, oldest first.
    // unsent_order_ may hold topics that have left unsent_ since: they are skipped.
    std::unordered_set<std::string> unsent_;
    std::deque<std::string> unsent_order_;
    std::optional<Clock::time_point> announce_at_;  // home automation came back online
    std::minstd_rand random_{std::random_device{}()};
    Clock::time_point next_queue_report_;
    std::size_t reported_queue_ = SIZE_MAX;
};

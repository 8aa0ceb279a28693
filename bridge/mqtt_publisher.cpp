#include "mqtt_publisher.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include <mosquitto.h>

namespace {
// Messages sent and not yet acknowledged; the rest wait in our own queue, in order.
constexpr std::size_t WINDOW = 200;
constexpr auto CONNACK_TIME = std::chrono::seconds(10);
constexpr auto MAX_BACKOFF = std::chrono::seconds(30);
constexpr int KEEPALIVE = 30;
constexpr auto QUEUE_REPORT_PERIOD = std::chrono::seconds(10);
// A crash loses at most this much of what was queued (a power cut; a killed process loses
// nothing, the kernel has every write).
constexpr auto SYNC_PERIOD = std::chrono::seconds(1);
// At most this many entries leave or move to the back for each one queued in memory.
constexpr int EVICTIONS_PER_MESSAGE = 64;
// A record's bytes beyond its topic, station and payload, and a trim record's.
constexpr std::size_t RECORD_OVERHEAD = 30 + 17;

std::int64_t unix_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

MqttPublisher::MqttPublisher(MqttSettings settings) : settings_(std::move(settings)) {
    mosquitto_lib_init();
}

MqttPublisher::~MqttPublisher() {
    stop(std::chrono::milliseconds(0));
    mosquitto_lib_cleanup();
}

bool MqttPublisher::start(std::vector<std::string>& notes, std::string& error) {
    if (!settings_.spool_dir.empty()) {
        // Small segments under a small bound, so that trimming frees room in small steps.
        const std::size_t segment = std::clamp<std::size_t>(settings_.spool_max_bytes / 16,
                                                            4096, 4u << 20);
        spool_ = std::make_unique<Spool>(settings_.spool_dir, segment);
        std::vector<SpoolRecord> queued;
        if (!spool_->open(queued, notes, error)) return false;
        for (auto& r : queued) {
            if (r.message.retention == Retention::kept) retained_[r.message.topic] = r.message.payload;
            ++pending_per_topic_[r.message.topic];
            if (r.first) ++readings_per_station_[r.station];
            pending_.push_back({std::move(r.message), -1, false, std::move(r.station), r.first,
                                r.seq, r.time_ms, ++queued_count_});
        }
        if (!queued.empty()) {
            spool_done_ = queued.front().seq - 1;
            notes.push_back(std::to_string(queued.size()) + " MQTT messages from the spool go first");
        }
        queued_ = pending_.size();
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void MqttPublisher::publish(std::vector<MqttMessage> messages) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& m : messages) incoming_.push_back({std::move(m), {}, false});
    }
    wake_.notify_one();
}

void MqttPublisher::publish_reading(const std::string& station, std::vector<MqttMessage> messages) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < messages.size(); ++i)
            incoming_.push_back({std::move(messages[i]), station, i == 0});
    }
    wake_.notify_one();
}

std::vector<std::pair<std::string, std::uint64_t>> MqttPublisher::dropped_readings() const {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    return {dropped_readings_.begin(), dropped_readings_.end()};
}

void MqttPublisher::stop(std::chrono::milliseconds drain) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            stop_deadline_ = Clock::now() + drain;
        }
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void MqttPublisher::take_incoming() {
    std::vector<Incoming> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(incoming_);
    }
    for (auto& [m, station, first] : batch) {
        if (m.retention != Retention::kept) {
            retained_.erase(m.topic);
            if (m.retention == Retention::once) enqueue(std::move(m));
            continue;
        }
        retained_[m.topic] = m.payload;
        enqueue(std::move(m), std::move(station), first);
    }
    queued_ = pending_.size();
}

void MqttPublisher::enqueue(MqttMessage m, std::string station, bool first) {
    make_room(RECORD_OVERHEAD + m.topic.size() + station.size() + m.payload.size());
    append(std::move(m), std::move(station), first, unix_ms());
}

void MqttPublisher::append(MqttMessage m, std::string station, bool first, std::int64_t time_ms) {
    const std::uint64_t seq = spool_ ? spool_->append(m, station, first, time_ms) : 0;
    ++pending_per_topic_[m.topic];
    if (first) ++readings_per_station_[station];
    pending_.push_back(
        {std::move(m), -1, false, std::move(station), first, seq, time_ms, ++queued_count_});
}

// The front entry leaves the queue, whatever becomes of it.
MqttPublisher::Entry MqttPublisher::take_front() {
    Entry e = std::move(pending_.front());
    pending_.pop_front();
    if (e.mid >= 0 && !e.acked) in_flight_.erase(e.mid);
    auto t = pending_per_topic_.find(e.message.topic);
    if (t != pending_per_topic_.end() && --t->second == 0) pending_per_topic_.erase(t);
    if (e.first) {
        auto r = readings_per_station_.find(e.station);
        if (r != readings_per_station_.end() && --r->second == 0) readings_per_station_.erase(r);
    }
    if (e.seq) spool_done_ = e.seq;
    return e;
}

// Makes room at the front. The oldest reading of all goes, so the station it is of is the one
// whose queued history reaches furthest back, unless it is the station's last: then it goes
// to the back with any message whose topic has no newer copy, so that the broker ends with
// every topic's last value. Removals are never lost that way.
void MqttPublisher::evict_front() {
    if (pending_.front().acked) {
        take_front();
        return;
    }
    const Entry& head = pending_.front();
    const bool reading = head.first;
    const std::string station = head.station;
    const bool newer = reading ? readings_per_station_[station] > 1
                               : pending_per_topic_[head.message.topic] > 1;
    std::vector<Entry> taken;
    taken.push_back(take_front());
    while (reading && !pending_.empty() && !pending_.front().first &&
           pending_.front().station == station)
        taken.push_back(take_front());
    if (newer) {
        for (const auto& e : taken) dropped_ += !e.acked;
        if (reading) note_drop(station);
        return;
    }
    for (auto& e : taken)
        if (!e.acked) append(std::move(e.message), std::move(e.station), e.first, unix_ms());
}

void MqttPublisher::note_drop(const std::string& station) {
    spell_backlog_ = queued_count_;
    if (spell_drops_++ == 0)
        std::fprintf(stderr, "zkbridge: the MQTT queue is full or holds readings older than "
                             "%lld s: dropping the oldest readings until the broker has taken "
                             "the rest\n", static_cast<long long>(settings_.max_age.count()));
    std::lock_guard<std::mutex> lock(stats_mutex_);
    ++dropped_readings_[station];
}

void MqttPublisher::make_room(std::size_t bytes) {
    if (!spool_) {
        // A few at a time: a queue that starts with many last values (a large fleet's
        // configs) moves them to the back over several calls rather than all in one.
        for (int budget = EVICTIONS_PER_MESSAGE;
             budget > 0 && !pending_.empty() && pending_.size() >= settings_.max_queued; --budget)
            evict_front();
        return;
    }
    // Space comes back a segment at a time: empty the oldest one, then remove it.
    while (spool_->bytes() + bytes > settings_.spool_max_bytes) {
        const std::size_t before = spool_->bytes();
        std::string error;
        if (spool_->segments() < 2 && !spool_->roll(error)) break;
        const std::uint64_t end = spool_->oldest_segment_end();
        while (!pending_.empty() && pending_.front().seq <= end) evict_front();
        sync_spool(true);
        if (spool_->bytes() >= before) {  // the last values alone fill it
            if (!spool_too_small_)
                std::fprintf(stderr, "zkbridge: the spool is too small for the last value of "
                                     "every topic; it grows past --spool-max-bytes\n");
            spool_too_small_ = true;
            return;
        }
    }
    spool_too_small_ = false;
}

void MqttPublisher::drop_old() {
    const std::int64_t oldest =
        unix_ms() - std::chrono::duration_cast<std::chrono::milliseconds>(settings_.max_age).count();
    for (std::size_t budget = pending_.size();
         budget > 0 && !pending_.empty() && pending_.front().time_ms < oldest; --budget)
        evict_front();
}

void MqttPublisher::sync_spool(bool durable) {
    if (!spool_) return;
    spool_->trim(spool_done_ + 1);
    std::string error;
    if (spool_->flush(durable, error)) {
        spool_failing_ = false;
    } else if (!spool_failing_) {
        spool_failing_ = true;
        std::fprintf(stderr, "zkbridge: %s; the queue is kept in memory meanwhile\n", error.c_str());
    }
}

// Home automation restarted: it has forgotten what it was told, and its broker may have too.
// The configs go first, so that the states that follow find their entities.
void MqttPublisher::announce_again() {
    const std::string configs = settings_.discovery_prefix + "/";
    for (const bool config : {true, false}) {
        for (const auto& [topic, payload] : retained_) {
            if ((topic.compare(0, configs.size(), configs) == 0) != config) continue;
            if (!pending_per_topic_.count(topic)) enqueue({topic, payload});  // else on its way
        }
    }
    queued_ = pending_.size();
    report_queue(true, true);
}

// Ahead of the queue, so that the count is current when it arrives, unless it must follow the
// configs; one at a time, so that an older count never overtakes a newer one. Not kept: an
// old count sent again would be wrong.
void MqttPublisher::report_queue(bool always, bool behind) {
    if (settings_.queue_topic.empty() || !session_up_) return;
    next_queue_report_ = Clock::now() + QUEUE_REPORT_PERIOD;
    const std::size_t n = pending_.size();
    if ((!always && n == reported_queue_) || pending_per_topic_.count(settings_.queue_topic)) return;
    reported_queue_ = n;
    ++pending_per_topic_[settings_.queue_topic];
    Entry e{{settings_.queue_topic, std::to_string(n)}, -1, false, {}, false, 0, unix_ms(), 0};
    if (behind) pending_.push_back(std::move(e));
    else pending_.push_front(std::move(e));
    queued_ = pending_.size();
}

// The callbacks run inside mosquitto_loop, so they only take note; the handle is destroyed
// after the loop returns.
void MqttPublisher::connect_cb(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc == 0) {
        p->on_connected();
        return;
    }
    std::fprintf(stderr, "zkbridge: the broker at %s:%d refused the connection: %s%s\n",
                 p->settings_.host.c_str(), p->settings_.port, mosquitto_connack_string(rc),
                 rc == 4 || rc == 5 ? " (check --mqtt-user and the password file); retrying" : "");
    p->link_broken_ = true;
}

void MqttPublisher::disconnect_cb(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (!p->link_broken_)  // a refusal has been reported already
        std::fprintf(stderr, "zkbridge: %s the broker at %s:%d: %s\n",
                     p->session_up_ ? "lost" : "cannot connect to", p->settings_.host.c_str(),
                     p->settings_.port, rc == 0 ? "it closed the connection" : mosquitto_strerror(rc));
    p->link_broken_ = true;
}

void MqttPublisher::publish_cb(mosquitto*, void* self, int mid) {
    static_cast<MqttPublisher*>(self)->on_acknowledged(mid);
}

void MqttPublisher::message_cb(mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<MqttPublisher*>(self)->on_message(*m);
}

void MqttPublisher::on_message(const mosquitto_message& m) {
    // "offline" asks for nothing; a second "online" before the first is answered changes nothing.
    if (m.payloadlen != 6 || std::memcmp(m.payload, "online", 6) != 0 || announce_at_) return;
    std::uniform_int_distribution<long long> delay(0, settings_.announce_delay.count());
    announce_at_ = Clock::now() + std::chrono::milliseconds(delay(random_));
}

void MqttPublisher::begin_connect() {
    mosq_ = mosquitto_new(settings_.client_id.c_str(), true, this);
    if (!mosq_) {
        std::fprintf(stderr, "zkbridge: cannot create an MQTT client\n");
        next_attempt_ = Clock::now() + backoff_;
        return;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // The window is ours; the library's own default of 20 would hold the rest back again.
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, int(WINDOW));
    mosquitto_connect_callback_set(mosq_, connect_cb);
    mosquitto_disconnect_callback_set(mosq_, disconnect_cb);
    mosquitto_publish_callback_set(mosq_, publish_cb);
    mosquitto_message_callback_set(mosq_, message_cb);
    mosquitto_will_set(mosq_, settings_.will_topic.c_str(), 7, "offline", MQTT_QOS, true);
    if (!settings_.user.empty())
        mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                                  settings_.password.empty() ? nullptr : settings_.password.c_str());
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings_.cafile.empty())
        rc = mosquitto_tls_set(mosq_, settings_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, KEEPALIVE);
    connect_started_ = Clock::now();
    if (rc != MOSQ_ERR_SUCCESS) {
        end_connection(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    }
}

// Drops the connection; every message not yet acknowledged goes out again on the next one.
void MqttPublisher::end_connection(const char* why) {
    if (why)
        std::fprintf(stderr, "zkbridge: %s the broker at %s:%d: %s\n",
                     session_up_ ? "lost" : "cannot connect to", settings_.host.c_str(),
                     settings_.port, why);
    link_broken_ = false;
    if (mosq_) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    if (session_up_) backoff_ = std::chrono::seconds(1);
    session_up_ = false;
    connected_ = false;
    in_flight_.clear();
    for (auto& e : pending_) e.mid = -1;
    next_attempt_ = Clock::now() + backoff_;
    backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, MAX_BACKOFF);
}

void MqttPublisher::on_connected() {
    session_up_ = true;
    connected_ = true;
    backoff_ = std::chrono::seconds(1);
    std::fprintf(stderr, "zkbridge: connected to the broker at %s:%d\n", settings_.host.c_str(),
                 settings_.port);
    if (!settings_.discovery_prefix.empty())
        mosquitto_subscribe(mosq_, nullptr, (settings_.discovery_prefix + "/status").c_str(),
                            MQTT_QOS);
    // A broker without persistence has forgotten the retained values: every topic's last
    // payload goes out again first. A topic still queued has its last payload queued last.
    std::vector<Entry> again;
    for (const auto& [topic, payload] : retained_) {
        if (pending_per_topic_.count(topic)) continue;
        again.push_back({{topic, payload}, -1, false, {}, false, 0, unix_ms(), 0});
    }
    for (auto it = again.rbegin(); it != again.rend(); ++it) {
        ++pending_per_topic_[it->message.topic];
        pending_.push_front(std::move(*it));
    }
    report_queue(true, false);
    queued_ = pending_.size();
}

void MqttPublisher::send_window() {
    if (!session_up_) return;
    for (auto& e : pending_) {
        if (in_flight_.size() >= WINDOW) return;
        if (e.mid >= 0 || e.acked) continue;
        int mid = 0;
        const int rc = mosquitto_publish(mosq_, &mid, e.message.topic.c_str(),
                                         int(e.message.payload.size()), e.message.payload.data(),
                                         MQTT_QOS, true);
        if (rc != MOSQ_ERR_SUCCESS) return;  // the loop reports the broken link
        e.mid = mid;
        in_flight_[mid] = &e;
    }
}

void MqttPublisher::on_acknowledged(int mid) {
    auto it = in_flight_.find(mid);
    if (it == in_flight_.end()) return;
    it->second->acked = true;
    in_flight_.erase(it);
}

void MqttPublisher::retire_acknowledged() {
    while (!pending_.empty() && pending_.front().acked) take_front();
    // The spell ends once everything queued by its last drop is delivered; a busy fleet's
    // queue is never empty for long.
    if (spell_drops_ && (pending_.empty() || pending_.front().number > spell_backlog_)) {
        std::fprintf(stderr, "zkbridge: the MQTT backlog is delivered; %zu readings were dropped\n",
                     spell_drops_);
        spell_drops_ = 0;
    }
    queued_ = pending_.size();
}

void MqttPublisher::run() {
    for (;;) {
        bool stopping;
        Clock::time_point deadline;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping = stopping_;
            deadline = stop_deadline_;
        }
        // After the look at stopping_: what was published before stop() is taken, the
        // stations' last "offline" among it.
        take_incoming();
        const auto now = Clock::now();
        if (now >= next_sync_) {
            drop_old();
            sync_spool(true);
            next_sync_ = now + SYNC_PERIOD;
        } else {
            sync_spool(false);
        }
        if (stopping && (pending_.empty() || now >= deadline)) break;

        if (!mosq_ && now >= next_attempt_) begin_connect();
        if (mosq_ && !session_up_ && Clock::now() - connect_started_ > CONNACK_TIME) {
            std::fprintf(stderr, "zkbridge: the broker at %s:%d did not answer in time\n",
                         settings_.host.c_str(), settings_.port);
            end_connection(nullptr);
        }
        if (!mosq_) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, std::min(next_attempt_, Clock::now() + std::chrono::milliseconds(200)),
                             [this] { return stopping_ || !incoming_.empty(); });
            continue;
        }
        if (session_up_ && announce_at_ && Clock::now() >= *announce_at_) {
            announce_at_.reset();
            announce_again();
        }
        if (session_up_ && Clock::now() >= next_queue_report_) report_queue(false, false);
        send_window();
        // Short waits: new messages arrive through incoming_, not through the socket.
        const int rc = mosquitto_loop(mosq_, 20, 1);
        retire_acknowledged();
        if (link_broken_) {
            end_connection(nullptr);  // the callback has said why
        } else if (rc != MOSQ_ERR_SUCCESS) {
            end_connection(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        }
    }
    if (mosq_) {
        if (session_up_) {
            mosquitto_disconnect(mosq_);
            mosquitto_loop(mosq_, 100, 1);
        }
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    connected_ = false;
    sync_spool(true);
    if (!pending_.empty())
        std::fprintf(stderr, "zkbridge: %zu MQTT messages were not delivered%s\n", pending_.size(),
                     spool_ ? "; they wait in the spool" : "");
}

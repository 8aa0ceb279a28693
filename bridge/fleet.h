#pragma once
// The bridge's table of stations: what each poll changes, what MQTT and the HTTP views are
// told, and the hook through which other parts of the bridge hear of readings.
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "exposition.h"
#include "station_status.h"
#include "topics.h"

// Where the fleet's MQTT messages go; publish must not wait for another thread.
class MqttSink {
public:
    virtual ~MqttSink() = default;
    virtual void publish(std::vector<MqttMessage> messages) = 0;
    // One reading of `station`: a full queue drops readings whole.
    virtual void publish_reading(const std::string& station, std::vector<MqttMessage> messages) {
        (void)station;
        publish(std::move(messages));
    }
};

// Told of every new reading and every change of a station's availability. Called outside the
// fleet's lock, on the poll thread (readings, availability) or on the thread that changes the
// station set (removals); it must return quickly.
class FleetObserver {
public:
    virtual ~FleetObserver() = default;
    // `r` holds the reply's fields as sent (Windows-1251); `state` is the state topic's JSON;
    // `taken_at` is the bridge's Unix time.
    virtual void on_reading(const std::string& station, const Reading& r,
                            const std::string& state, double taken_at) = 0;
    virtual void on_availability(const std::string& station, Availability a) = 0;
    virtual void on_station_removed(const std::string& station) { (void)station; }
};

class Fleet {
public:
    Fleet(BridgeIdentity bridge, bool discovery, MqttSink& sink);

    // Before polling starts; observers live as long as the fleet.
    void add_observer(FleetObserver* o);
    // Before polling starts: a station whose reading has not changed for this long is stale.
    void set_stale_after(double seconds) { stale_after_ = seconds; }
    // Before polling starts: whether a reading also goes out as T1..T12 beside its state.
    void set_channel_topics(bool on) { channel_topics_ = on; }

    // The stations from now on, in this order. New ones get their discovery configs; dropped
    // ones are announced offline, their configs deleted, and forgotten.
    void set_stations(const std::vector<std::string>& names);

    // The poll thread: the outcome of one poll of `name`, taken at Unix time `now`, and what
    // it changed (nothing for a station no longer in the fleet).
    PollChange apply(const std::string& name, const Exchange& e, double now);

    // On a clean stop: every station and the bridge itself offline.
    void announce_stop();

    std::vector<NamedStatus> snapshot() const;
    std::vector<std::string> names() const;

private:
    const BridgeIdentity bridge_;
    const std::string& prefix_ = bridge_.prefix;
    const bool discovery_;
    MqttSink& sink_;
    std::vector<FleetObserver*> observers_;  // fixed before polling starts
    double stale_after_ = std::numeric_limits<double>::infinity();  // fixed before polling starts
    bool channel_topics_ = true;                                      // fixed before polling starts

    // Guards stations_. The sink is called under it, so that the messages of one station
    // reach the broker in the order the changes were made.
    mutable std::mutex mutex_;
    std::vector<NamedStatus> stations_;
};

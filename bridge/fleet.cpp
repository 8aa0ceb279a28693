#include "fleet.h"

#include <algorithm>

Fleet::Fleet(BridgeIdentity bridge, bool discovery, MqttSink& sink)
    : bridge_(std::move(bridge)), discovery_(discovery), sink_(sink) {
    sink_.publish({{bridge_availability_topic(bridge_), "online"}});
    if (discovery_) sink_.publish(bridge_discovery_messages(bridge_));
}

void Fleet::add_observer(FleetObserver* o) { observers_.push_back(o); }

void Fleet::set_stations(const std::vector<std::string>& names) {
    std::vector<std::string> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<NamedStatus> next;
        for (const auto& name : names) {
            auto it = std::find_if(stations_.begin(), stations_.end(),
                                   [&](const NamedStatus& s) { return s.name == name; });
            if (it != stations_.end()) {
                next.push_back(std::move(*it));
                stations_.erase(it);
                continue;
            }
            next.push_back({name, {}});
            if (discovery_) sink_.publish(discovery_messages(bridge_, name));
        }
        for (const auto& gone : stations_) {
            removed.push_back(gone.name);
            sink_.publish(removal_messages(bridge_, gone.name, discovery_));
        }
        stations_ = std::move(next);
    }
    for (const auto& name : removed) {
        for (auto* o : observers_) {
            o->on_availability(name, Availability::offline);
            o->on_station_removed(name);
        }
    }
}

namespace {

// The availability topic's payload; none before the first poll has told anything.
const char* mqtt_availability(Availability a) {
    switch (a) {
    case Availability::unknown: return "";
    case Availability::online: return "online";
    case Availability::stale:
    case Availability::offline: break;
    }
    return "offline";
}

}  // namespace

PollChange Fleet::apply(const std::string& name, const Exchange& e, double now) {
    PollChange c;
    Availability availability = Availability::unknown;
    Reading reading;
    std::string state;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(stations_.begin(), stations_.end(),
                               [&](const NamedStatus& s) { return s.name == name; });
        if (it == stations_.end()) return c;  // dropped while its poll ran
        StationStatus& s = it->status;
        const std::string before = mqtt_availability(s.availability);
        c = apply_exchange(s, e, now, stale_after_);
        availability = s.availability;
        const std::string after = mqtt_availability(availability);
        if (after != before) sink_.publish({{availability_topic(prefix_, name), after}});
        if (c.new_reading) {
            sink_.publish_reading(name,
                                  reading_messages(prefix_, name, s.last, s.last_state, channel_topics_));
            if (!observers_.empty()) {
                reading = s.last;
                state = s.last_state;
            }
        }
    }
    for (auto* o : observers_) {
        if (c.availability_changed) o->on_availability(name, availability);
        if (c.new_reading) o->on_reading(name, reading, state, now);
    }
    return c;
}

void Fleet::announce_stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MqttMessage> m;
    for (const auto& s : stations_) m.push_back({availability_topic(prefix_, s.name), "offline"});
    m.push_back({bridge_availability_topic(bridge_), "offline"});
    sink_.publish(std::move(m));
}

std::vector<NamedStatus> Fleet::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stations_;
}

std::vector<std::string> Fleet::names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> n;
    for (const auto& s : stations_) n.push_back(s.name);
    return n;
}

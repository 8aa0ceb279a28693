#include "exposition.h"

#include <cmath>
#include <map>

#include <nlohmann/json.hpp>

#include "numbers.h"
#include "reply.h"

namespace {

void header(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// Station names hold only [A-Za-z0-9_-], so label values need no escaping.
void sample(std::string& out, const char* name, const std::string& labels,
            const std::string& value) {
    out += name;
    out += '{';
    out += labels;
    out += "} ";
    out += value;
    out += '\n';
}

std::string station_label(const std::string& name) { return "station=\"" + name + "\""; }

std::string channel_labels(const std::string& station, int k) {
    return station_label(station) + ",channel=\"T" + std::to_string(k + 1) + "\"";
}

std::string millis_text(double seconds) {
    const long long ms = std::llround(seconds * 1000.0);
    std::string frac = std::to_string(ms % 1000);
    frac.insert(0, 3 - frac.size(), '0');
    return std::to_string(ms / 1000) + "." + frac;
}

}  // namespace

std::string metrics_text(const std::vector<NamedStatus>& stations, const BridgeGauges& g) {
    std::string out;
    out.reserve(512 + stations.size() * 4096);

    header(out, "zk47_temperature_celsius", "gauge",
           "Last published temperature of a channel that reads a measurement.");
    for (const auto& s : stations) {
        if (!s.status.has_reading) continue;
        for (int k = 0; k < NCHAN; ++k) {
            const double v = s.status.last.values[k];
            if (classify(v) == ValueClass::measurement)
                sample(out, "zk47_temperature_celsius", channel_labels(s.name, k), fixed2(v));
        }
    }

    header(out, "zk47_channel_status", "gauge",
           "1 for the status of each channel's last published reading, 0 for the others.");
    for (const auto& s : stations) {
        if (!s.status.has_reading) continue;
        for (int k = 0; k < NCHAN; ++k) {
            const std::string now = channel_status(s.status.last.values[k]);
            for (const char* st : {"ok", "nsens", "error"})
                sample(out, "zk47_channel_status",
                       channel_labels(s.name, k) + ",status=\"" + st + "\"",
                       now == st ? "1" : "0");
        }
    }

    header(out, "zk47_reading_seconds", "gauge", "Seconds field of the last published reading.");
    for (const auto& s : stations)
        if (s.status.has_reading)
            sample(out, "zk47_reading_seconds", station_label(s.name),
                   std::to_string(s.status.last.sec));

    header(out, "zk47_last_reading_timestamp_seconds", "gauge",
           "When the bridge took the last published reading, Unix time on the bridge's clock.");
    for (const auto& s : stations)
        if (s.status.has_reading)
            sample(out, "zk47_last_reading_timestamp_seconds", station_label(s.name),
                   millis_text(s.status.last_reading_time));

    header(out, "zk47_up", "gauge",
           "1 while the station's data server answers with new readings, else 0.");
    for (const auto& s : stations)
        sample(out, "zk47_up", station_label(s.name),
               s.status.availability == Availability::online ? "1" : "0");

    header(out, "zk47_stale", "gauge",
           "1 while the station answers but its reading has not changed for the stale time.");
    for (const auto& s : stations)
        sample(out, "zk47_stale", station_label(s.name),
               s.status.availability == Availability::stale ? "1" : "0");

    header(out, "zk47_polls_total", "counter", "Polls of the station by result.");
    for (const auto& s : stations)
        for (std::size_t r = 0; r < POLL_RESULTS; ++r)
            sample(out, "zk47_polls_total",
                   station_label(s.name) + ",result=\"" +
                       result_name(static_cast<PollResult>(r)) + "\"",
                   std::to_string(s.status.polls[r]));

    header(out, "zk47_dropped_readings_total", "counter",
           "Readings dropped because the queue to the broker was full or too old.");
    const std::map<std::string, std::uint64_t> dropped(g.dropped_readings.begin(),
                                                       g.dropped_readings.end());
    for (const auto& s : stations) {
        const auto it = dropped.find(s.name);
        sample(out, "zk47_dropped_readings_total", station_label(s.name),
               std::to_string(it == dropped.end() ? 0 : it->second));
    }

    header(out, "zk47_bridge_mqtt_connected", "gauge", "1 while the broker is connected.");
    out += "zk47_bridge_mqtt_connected ";
    out += g.mqtt_connected ? "1\n" : "0\n";
    header(out, "zk47_bridge_mqtt_queued_messages", "gauge",
           "Messages waiting for the broker's acknowledgement.");
    out += "zk47_bridge_mqtt_queued_messages " + std::to_string(g.mqtt_queued) + "\n";
    header(out, "zk47_bridge_mqtt_dropped_messages_total", "counter",
           "Messages dropped because the queue to the broker was full or too old.");
    out += "zk47_bridge_mqtt_dropped_messages_total " + std::to_string(g.mqtt_dropped) + "\n";
    header(out, "zk47_bridge_build_info", "gauge", "The bridge's version, as a label.");
    out += "zk47_bridge_build_info{version=\"" ZK47_VERSION "\"} 1\n";
    return out;
}

std::string stations_json(const std::vector<NamedStatus>& stations) {
    std::string j = "{\"stations\":[";
    for (std::size_t i = 0; i < stations.size(); ++i) {
        const auto& s = stations[i];
        if (i) j += ',';
        j += "{\"name\":" + nlohmann::json(s.name).dump();
        j += ",\"available\":";
        j += s.status.availability == Availability::online ? "true" : "false";
        j += ",\"state\":\"";
        j += availability_name(s.status.availability);
        j += '"';
        // The state topic's JSON as it stands, so its values keep their two decimals.
        j += ",\"last\":" + (s.status.has_reading ? s.status.last_state : std::string("null"));
        j += '}';
    }
    j += "]}";
    return j;
}

#include "topics.h"

#include <nlohmann/json.hpp>

#include "reply.h"

std::string bridge_availability_topic(const std::string& prefix) {
    return prefix + "/bridge/availability";
}

std::string availability_topic(const std::string& prefix, const std::string& station) {
    return prefix + "/" + station + "/availability";
}

std::vector<MqttMessage> reading_messages(const std::string& prefix, const std::string& station,
                                          const Reading& r, const std::string& state) {
    std::vector<MqttMessage> out;
    out.reserve(1 + NCHAN);
    const std::string base = prefix + "/" + station + "/";
    out.push_back({base + "state", state});
    for (int k = 0; k < NCHAN; ++k)
        out.push_back({base + "T" + std::to_string(k + 1), channel_payload(r.values[k])});
    return out;
}

std::vector<MqttMessage> discovery_messages(const std::string& prefix,
                                            const std::string& station) {
    std::vector<MqttMessage> out;
    for (int k = 1; k <= NCHAN; ++k) {
        const std::string channel = "T" + std::to_string(k);
        const std::string id = "zk47_" + station + "_t" + std::to_string(k);
        nlohmann::ordered_json c;
        c["name"] = channel;
        c["unique_id"] = id;
        c["object_id"] = id;
        c["device_class"] = "temperature";
        c["state_class"] = "measurement";
        c["unit_of_measurement"] = "°C";
        c["state_topic"] = prefix + "/" + station + "/state";
        // A null value renders as None, which the consumer shows as unknown.
        c["value_template"] = "{{ value_json.channels." + channel + ".value }}";
        c["availability"] = nlohmann::ordered_json::array(
            {{{"topic", bridge_availability_topic(prefix)}},
             {{"topic", availability_topic(prefix, station)}}});
        c["availability_mode"] = "all";
        c["payload_available"] = "online";
        c["payload_not_available"] = "offline";
        c["qos"] = MQTT_QOS;
        c["device"] = {{"identifiers", {"zk47_" + station}},
                       {"name", "ZK-47 " + station},
                       {"model", "ZK-47"}};
        out.push_back({"homeassistant/sensor/" + id + "/config", c.dump()});
    }
    return out;
}

#include "topics.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "reply.h"

namespace {

using Json = nlohmann::ordered_json;

// The prefix as the first part of a discovery id, which may hold only [A-Za-z0-9_-]: any other
// character, '-' and '_' included, becomes '-' and its hex code. The result holds no '_', so
// the first '_' of an id ends the prefix and no two prefixes give the same ids; "zk47" stays
// "zk47".
std::string id_prefix(const std::string& prefix) {
    std::string out;
    for (const unsigned char c : prefix) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += char(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "-%02X", c);
            out += hex;
        }
    }
    return out;
}

// The entity id home automation is asked to start from: "sensor.zk47_north_t1". Entity ids
// are lower case letters, digits and '_'.
std::string default_entity_id(const std::string& component, const std::string& id) {
    std::string out = component + ".";
    for (const char c : id) {
        if (c >= 'A' && c <= 'Z') out += char(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out += c;
        else out += '_';
    }
    return out;
}

std::string config_topic(const std::string& component, const std::string& id) {
    return DISCOVERY_PREFIX + "/" + component + "/" + id + "/config";
}

std::string channel_id(const BridgeIdentity& bridge, const std::string& station, int k) {
    return id_prefix(bridge.prefix) + "_" + station + "_t" + std::to_string(k);
}

// The bridge's device is named by its topics, which no station's id can be.
std::string bridge_device_id(const BridgeIdentity& bridge) {
    return bridge.prefix + "/bridge/" + bridge.id;
}

// The fields every entity's config begins with ...
Json entity(const std::string& component, const std::string& name, const std::string& id) {
    Json c;
    c["name"] = name;
    c["unique_id"] = id;
    c["default_entity_id"] = default_entity_id(component, id);
    return c;
}

// ... and ends with.
MqttMessage config_message(const std::string& component, const std::string& id, Json c,
                           const Json& device, const BridgeIdentity& bridge) {
    c["qos"] = MQTT_QOS;
    c["device"] = device;
    c["origin"] = {{"name", "zkbridge"}, {"sw_version", bridge.version}};
    return {config_topic(component, id), c.dump()};
}

}  // namespace

std::string bridge_availability_topic(const BridgeIdentity& bridge) {
    return bridge_device_id(bridge) + "/availability";
}

std::string bridge_queue_topic(const BridgeIdentity& bridge) {
    return bridge_device_id(bridge) + "/queue";
}

std::string availability_topic(const std::string& prefix, const std::string& station) {
    return prefix + "/" + station + "/availability";
}

std::vector<MqttMessage> reading_messages(const std::string& prefix, const std::string& station,
                                          const Reading& r, const std::string& state,
                                          bool channel_topics) {
    std::vector<MqttMessage> out;
    const std::string base = prefix + "/" + station + "/";
    out.push_back({base + "state", state});
    if (!channel_topics) return out;
    out.reserve(1 + NCHAN);
    for (int k = 0; k < NCHAN; ++k)
        out.push_back({base + "T" + std::to_string(k + 1), channel_payload(r.values[k])});
    return out;
}

std::vector<MqttMessage> discovery_messages(const BridgeIdentity& bridge,
                                            const std::string& station) {
    const Json device = {{"identifiers", {id_prefix(bridge.prefix) + "_" + station}},
                         {"name", "ZK-47 " + station},
                         {"model", "ZK-47"},
                         {"sw_version", bridge.version},
                         {"via_device", bridge_device_id(bridge)}};
    std::vector<MqttMessage> out;
    for (int k = 1; k <= NCHAN; ++k) {
        const std::string channel = "T" + std::to_string(k);
        const std::string id = channel_id(bridge, station, k);
        Json c = entity("sensor", channel, id);
        c["device_class"] = "temperature";
        c["state_class"] = "measurement";
        c["unit_of_measurement"] = "°C";
        c["suggested_display_precision"] = 2;
        c["state_topic"] = bridge.prefix + "/" + station + "/state";
        // A null value renders as None, which the consumer shows as unknown.
        c["value_template"] = "{{ value_json.channels." + channel + ".value }}";
        c["availability"] = Json::array({{{"topic", bridge_availability_topic(bridge)}},
                                         {{"topic", availability_topic(bridge.prefix, station)}}});
        c["availability_mode"] = "all";
        c["payload_available"] = "online";
        c["payload_not_available"] = "offline";
        out.push_back(config_message("sensor", id, std::move(c), device, bridge));
    }
    return out;
}

std::vector<MqttMessage> bridge_discovery_messages(const BridgeIdentity& bridge) {
    const std::string base = id_prefix(bridge.prefix) + "_bridge_" + bridge.id;
    const Json device = {{"identifiers", {bridge_device_id(bridge)}},
                         {"name", "ZK-47 bridge " + bridge.id},
                         {"model", "zkbridge"},
                         {"sw_version", bridge.version}};

    // The availability topic itself: "online" while the bridge holds its broker connection,
    // "offline" from its last will or its clean stop.
    const std::string link_id = base + "_connected";
    Json link = entity("binary_sensor", "MQTT connection", link_id);
    link["device_class"] = "connectivity";
    link["entity_category"] = "diagnostic";
    link["state_topic"] = bridge_availability_topic(bridge);
    link["payload_on"] = "online";
    link["payload_off"] = "offline";

    const std::string queue_id = base + "_queue";
    Json queue = entity("sensor", "MQTT queue", queue_id);
    queue["state_class"] = "measurement";
    queue["unit_of_measurement"] = "messages";
    queue["entity_category"] = "diagnostic";
    queue["state_topic"] = bridge_queue_topic(bridge);
    queue["availability_topic"] = bridge_availability_topic(bridge);
    queue["payload_available"] = "online";
    queue["payload_not_available"] = "offline";

    return {config_message("binary_sensor", link_id, std::move(link), device, bridge),
            config_message("sensor", queue_id, std::move(queue), device, bridge)};
}

std::vector<MqttMessage> removal_messages(const BridgeIdentity& bridge, const std::string& station,
                                          bool discovery) {
    std::vector<MqttMessage> out;
    out.push_back({availability_topic(bridge.prefix, station), "offline", Retention::once});
    if (discovery) {
        for (int k = 1; k <= NCHAN; ++k)
            out.push_back({config_topic("sensor", channel_id(bridge, station, k)), "",
                           Retention::once});
    }
    const std::string base = bridge.prefix + "/" + station + "/";
    out.push_back({base + "state", "", Retention::forget});
    for (int k = 1; k <= NCHAN; ++k)
        out.push_back({base + "T" + std::to_string(k), "", Retention::forget});
    return out;
}

#pragma once
// What the bridge publishes to MQTT: topics and payloads. Pure.
#include <string>
#include <vector>

#include "reading.h"

// How long the broker and the bridge keep a message's topic alive.
enum class Retention {
    kept,    // sent again on every connect and whenever home automation restarts
    once,    // delivered, then never sent again: a removed station's last word
    forget,  // not sent at all: the topic is only no longer sent again
};

struct MqttMessage {
    std::string topic;
    // Never empty, except to delete a discovery config: an empty retained message deletes the
    // retained value, and home automation then removes the entity.
    std::string payload;
    Retention retention = Retention::kept;
};

// Every message of the bridge is QoS 1 and retained.
constexpr int MQTT_QOS = 1;

// Home automation's discovery topics begin with this; it announces its restarts on
// DISCOVERY_PREFIX/status with "online".
inline const std::string DISCOVERY_PREFIX = "homeassistant";

// One bridge on a broker: every topic and discovery id it publishes is derived from these.
struct BridgeIdentity {
    std::string prefix;   // the topic prefix: "zk47", "site/zk47"
    std::string id;       // 1 to 32 of [A-Za-z0-9_-]; tells the bridges on one broker apart
    std::string version;  // the program's, shown on the discovered devices
};

std::string bridge_availability_topic(const BridgeIdentity& bridge);
// The number of messages waiting for the broker, published by the bridge now and then.
std::string bridge_queue_topic(const BridgeIdentity& bridge);
std::string availability_topic(const std::string& prefix, const std::string& station);

// The state topic first, then, with `channel_topics`, T1..T12 with the channel texts.
std::vector<MqttMessage> reading_messages(const std::string& prefix, const std::string& station,
                                          const Reading& r, const std::string& state,
                                          bool channel_topics = true);

// One sensor config per channel for home automation discovery. The ids begin with the prefix,
// so that bridges with different prefixes never share an entity.
std::vector<MqttMessage> discovery_messages(const BridgeIdentity& bridge,
                                            const std::string& station);

// The bridge as a device of its own: its broker connection and its queue, as diagnostics.
std::vector<MqttMessage> bridge_discovery_messages(const BridgeIdentity& bridge);

// A station dropped from the fleet: it goes offline, its discovery configs (when `discovery`)
// are deleted, and none of its topics is sent again.
std::vector<MqttMessage> removal_messages(const BridgeIdentity& bridge, const std::string& station,
                                          bool discovery);

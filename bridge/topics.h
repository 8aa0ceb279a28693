#pragma once
// What the bridge publishes to MQTT: topics and payloads. Pure.
#include <string>
#include <vector>

#include "reading.h"

struct MqttMessage {
    std::string topic;
    std::string payload;  // never empty: an empty retained message deletes the retained value
};

// Every message of the bridge is QoS 1 and retained.
constexpr int MQTT_QOS = 1;

std::string bridge_availability_topic(const std::string& prefix);
std::string availability_topic(const std::string& prefix, const std::string& station);

// The state topic first, then T1..T12 with the channel texts.
std::vector<MqttMessage> reading_messages(const std::string& prefix, const std::string& station,
                                          const Reading& r, const std::string& state);

// One sensor config per channel for home automation discovery.
std::vector<MqttMessage> discovery_messages(const std::string& prefix,
                                            const std::string& station);

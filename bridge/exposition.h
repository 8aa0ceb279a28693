#pragma once
// The HTTP views of the bridge's state: the Prometheus text format 0.0.4 and the stations
// JSON. Pure.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "station_status.h"

struct NamedStatus {
    std::string name;
    StationStatus status;
};

struct BridgeGauges {
    bool mqtt_connected = false;
    std::size_t mqtt_queued = 0;   // messages waiting for the broker's acknowledgement
    std::size_t mqtt_dropped = 0;  // messages dropped because the queue was full or old
    std::vector<std::pair<std::string, std::uint64_t>> dropped_readings;  // by station
};

std::string metrics_text(const std::vector<NamedStatus>& stations, const BridgeGauges& g);

// {"stations":[{"name":"a","available":true,"state":"online","last":STATE or null},...]};
// "state" is unknown, online, stale or offline, and only online is available.
std::string stations_json(const std::vector<NamedStatus>& stations);

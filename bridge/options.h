#pragma once
// The bridge's command line and stations file. Pure: text in, settings or a message out.
#include <string>
#include <string_view>
#include <vector>

#include "shard.h"

struct StationAddress {
    // [A-Za-z0-9_-]{1,32} but not "bridge": it becomes part of topics, labels and ids, and
    // PREFIX/bridge/ holds the bridges' own topics.
    std::string name;
    std::string host;
    int port = 0;
    bool operator==(const StationAddress& o) const {
        return name == o.name && host == o.host && port == o.port;
    }
};

struct Endpoint {
    std::string host;
    int port = 0;
};

struct Options {
    std::vector<StationAddress> stations;  // from --station, kept across reloads of the file
    std::string stations_file;
    int period = 5;  // seconds
    Endpoint mqtt{"127.0.0.1", 1883};
    std::string mqtt_prefix = "zk47";
    std::string bridge_id;  // empty: bridge_id_from_host of the host name
    std::string mqtt_user;
    std::string mqtt_password_file;
    std::string mqtt_cafile;
    Endpoint http{"127.0.0.1", 9147};
    bool discovery = true;
    // Also T1..T12 beside the state topic: 13 messages a reading instead of one.
    bool channel_topics = true;
    Shard shard;  // of the stations given, only this shard's are polled
    int stale_after = 0;  // seconds; 0: ten periods, at least a minute
    std::string spool;    // empty: the queue to the broker is kept in memory only
    long long spool_max_bytes = 256LL << 20;
    long long spool_max_age = 24 * 3600;  // seconds
    bool help = false;
    bool version = false;
};

// How long a station's reading may stay the same before it is stale, in seconds.
int stale_after_seconds(const Options& o);

// Reads the arguments after the program's name. On failure returns false with a message
// that names the offending argument.
bool parse_options(const std::vector<std::string>& args, Options& out, std::string& error);

std::string usage();

bool valid_station_name(std::string_view name);

// A bridge id: 1 to 32 of [A-Za-z0-9_-].
bool valid_bridge_id(std::string_view id);
// The host name as a bridge id: every other character becomes '-', cut to 32; "zkbridge"
// for an empty name.
std::string bridge_id_from_host(std::string_view host);

// HOST:PORT, split at the last colon; the port is 1..65535.
bool parse_endpoint(std::string_view text, Endpoint& out, std::string& error);

// NAME=HOST:PORT.
bool parse_station(std::string_view text, StationAddress& out, std::string& error);

// One NAME=HOST:PORT a line; blank lines and everything from a '#' are ignored. The message
// of a failure names the line.
bool parse_stations_file(std::string_view text, std::vector<StationAddress>& out,
                         std::string& error);

// I/N with 1 <= I <= N <= MAX_SHARDS.
bool parse_shard(std::string_view text, Shard& out, std::string& error);

// The stations of the command line followed by those of the file; a name given twice is an
// error.
bool merge_stations(const std::vector<StationAddress>& a, const std::vector<StationAddress>& b,
                    std::vector<StationAddress>& out, std::string& error);

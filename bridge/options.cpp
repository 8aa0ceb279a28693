#include "options.h"

#include <algorithm>
#include <set>

#include "numbers.h"

namespace {

bool all_digits(std::string_view s) {
    return !s.empty() && s.size() <= 9 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool parse_number(std::string_view s, int low, int high, int& out) {
    if (!all_digits(s)) return false;
    std::int32_t n = 0;
    if (!scan_int(s, n) || n < low || n > high) return false;
    out = n;
    return true;
}

// A topic prefix may hold levels ("site/zk47") but no wildcard and no empty level.
bool valid_prefix(std::string_view p) {
    if (p.empty() || p.size() > 64 || p.front() == '/' || p.back() == '/') return false;
    if (p.find("//") != std::string_view::npos) return false;
    return std::none_of(p.begin(), p.end(), [](char c) {
        return c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x21 || c == 0x7F;
    });
}

bool id_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

// A whole number with an optional unit: "256M", "90s", "24h". The units map to multipliers.
bool parse_amount(std::string_view s, std::initializer_list<std::pair<char, long long>> units,
                  long long low, long long high, long long& out) {
    long long unit = 1;
    if (!s.empty()) {
        for (const auto& [c, m] : units)
            if (s.back() == c) {
                unit = m;
                s.remove_suffix(1);
                break;
            }
    }
    int n = 0;
    if (!parse_number(s, 0, 999999999, n)) return false;
    const long long v = n * unit;
    if (v < low || v > high) return false;
    out = v;
    return true;
}

}  // namespace

std::string usage() {
    return "usage: zkbridge --station NAME=HOST:PORT [--station ...] [--stations-file FILE]\n"
           "                [--period SECONDS] [--stale-after SECONDS] [--mqtt HOST:PORT]\n"
           "                [--mqtt-prefix zk47] [--mqtt-user U --mqtt-password-file F]\n"
           "                [--mqtt-cafile F] [--http HOST:PORT] [--no-discovery] [--bridge-id ID]\n"
           "                [--channel-topics yes|no] [--shard I/N]\n"
           "                [--spool DIR [--spool-max-bytes 256M] [--spool-max-age 24h]]\n"
           "       zkbridge --version | --help\n"
           "Polls each station's data server every period (default 5 s, at least 1) and\n"
           "publishes its readings to MQTT (default 127.0.0.1:1883) and over HTTP (default\n"
           "127.0.0.1:9147): the live web page at /, its event stream at /events and its\n"
           "readings at /api/history?station=NAME, the stations at /api/stations, Prometheus\n"
           "metrics at /metrics and a health check at /healthz. A station whose reading has\n"
           "not changed for --stale-after seconds (default ten periods, at least 60) is stale\n"
           "and shown as unavailable. NAME is 1 to 32 of A-Z a-z 0-9 _ -, not \"bridge\". The\n"
           "stations file holds one NAME=HOST:PORT a line, '#' starts a comment; SIGHUP reads\n"
           "it again. Each bridge on a broker needs an id of its own: --bridge-id, the host\n"
           "name by default. --channel-topics no publishes a reading's state topic alone,\n"
           "without T1..T12. --shard I/N: of N bridges given the same stations, this one\n"
           "polls only the stations whose names hash to shard I. With --spool, the messages on\n"
           "their way to the broker are kept in DIR and survive a crash of the bridge; a full\n"
           "spool, or one holding readings older than its age, drops the oldest readings\n"
           "(K, M, G: KiB, MiB, GiB; s, m, h, d).\n";
}

bool valid_bridge_id(std::string_view id) {
    return !id.empty() && id.size() <= 32 && std::all_of(id.begin(), id.end(), id_char);
}

int stale_after_seconds(const Options& o) {
    return o.stale_after > 0 ? o.stale_after : std::max(60, 10 * o.period);
}

bool valid_station_name(std::string_view name) {
    return valid_bridge_id(name) && name != "bridge";
}

std::string bridge_id_from_host(std::string_view host) {
    std::string id(host.substr(0, 32));
    for (char& c : id)
        if (!id_char(c)) c = '-';
    return id.empty() ? "zkbridge" : id;
}

bool parse_endpoint(std::string_view text, Endpoint& out, std::string& error) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        error = "'" + std::string(text) + "' is not HOST:PORT";
        return false;
    }
    const std::string_view host = text.substr(0, colon);
    const bool host_ok = std::none_of(host.begin(), host.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == '/' || c == ':' || c == 0x7F;
    });
    if (!host_ok || host.size() > 253) {
        error = "'" + std::string(host) + "' is not a host name or IPv4 address";
        return false;
    }
    int port = 0;
    if (!parse_number(text.substr(colon + 1), 1, 65535, port)) {
        error = "port '" + std::string(text.substr(colon + 1)) + "' is not a number 1..65535";
        return false;
    }
    out.host = std::string(host);
    out.port = port;
    return true;
}

bool parse_station(std::string_view text, StationAddress& out, std::string& error) {
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        error = "station '" + std::string(text) + "' is not NAME=HOST:PORT";
        return false;
    }
    const std::string_view name = text.substr(0, eq);
    if (!valid_station_name(name)) {
        error = "station name '" + std::string(name) +
                (name == "bridge" ? "' is kept for the bridges' own topics"
                                  : "' must be 1 to 32 of the characters A-Z a-z 0-9 _ -");
        return false;
    }
    Endpoint e;
    if (!parse_endpoint(text.substr(eq + 1), e, error)) {
        error = "station " + std::string(name) + ": " + error;
        return false;
    }
    out = {std::string(name), e.host, e.port};
    return true;
}

bool parse_stations_file(std::string_view text, std::vector<StationAddress>& out,
                         std::string& error) {
    out.clear();
    int line_no = 0;
    while (!text.empty()) {
        ++line_no;
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        line = line.substr(0, line.find('#'));
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.empty()) continue;
        StationAddress s;
        if (!parse_station(line, s, error)) {
            error = "line " + std::to_string(line_no) + ": " + error;
            return false;
        }
        out.push_back(s);
    }
    return true;
}

bool parse_shard(std::string_view text, Shard& out, std::string& error) {
    const auto slash = text.find('/');
    Shard s;
    if (slash == std::string_view::npos ||
        !parse_number(text.substr(slash + 1), 1, MAX_SHARDS, s.count) ||
        !parse_number(text.substr(0, slash), 1, s.count, s.index)) {
        error = "--shard '" + std::string(text) + "' is not I/N with 1 <= I <= N <= " +
                std::to_string(MAX_SHARDS);
        return false;
    }
    out = s;
    return true;
}

bool merge_stations(const std::vector<StationAddress>& a, const std::vector<StationAddress>& b,
                    std::vector<StationAddress>& out, std::string& error) {
    std::set<std::string> names;
    std::vector<StationAddress> all;
    for (const auto* list : {&a, &b}) {
        for (const auto& s : *list) {
            if (!names.insert(s.name).second) {
                error = "station " + s.name + " is given twice";
                return false;
            }
            all.push_back(s);
        }
    }
    out = std::move(all);
    return true;
}

bool parse_options(const std::vector<std::string>& args, Options& out, std::string& error) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
            continue;
        }
        if (a == "--version") {
            o.version = true;
            continue;
        }
        if (a == "--no-discovery") {
            o.discovery = false;
            continue;
        }
        static const char* const with_value[] = {
            "--station", "--stations-file", "--period", "--stale-after", "--mqtt", "--mqtt-prefix",
            "--mqtt-user", "--mqtt-password-file", "--mqtt-cafile", "--http", "--bridge-id",
            "--channel-topics", "--shard", "--spool", "--spool-max-bytes", "--spool-max-age"};
        if (std::find(std::begin(with_value), std::end(with_value), a) == std::end(with_value)) {
            error = "unknown argument '" + a + "'";
            return false;
        }
        if (i + 1 >= args.size()) {
            error = a + " needs a value";
            return false;
        }
        const std::string& v = args[++i];
        if (a == "--station") {
            StationAddress s;
            if (!parse_station(v, s, error)) return false;
            o.stations.push_back(s);
        } else if (a == "--stations-file") {
            o.stations_file = v;
        } else if (a == "--period") {
            if (!parse_number(v, 1, 86400, o.period)) {
                error = "--period '" + v + "' is not a whole number of seconds, 1 to 86400";
                return false;
            }
        } else if (a == "--stale-after") {
            if (!parse_number(v, 1, 30 * 86400, o.stale_after)) {
                error = "--stale-after '" + v + "' is not a whole number of seconds, 1 to 2592000";
                return false;
            }
        } else if (a == "--mqtt") {
            if (!parse_endpoint(v, o.mqtt, error)) return false;
        } else if (a == "--mqtt-prefix") {
            if (!valid_prefix(v)) {
                error = "--mqtt-prefix '" + v + "' must be a topic without wildcards or empty levels";
                return false;
            }
            o.mqtt_prefix = v;
        } else if (a == "--mqtt-user") {
            o.mqtt_user = v;
        } else if (a == "--mqtt-password-file") {
            o.mqtt_password_file = v;
        } else if (a == "--mqtt-cafile") {
            o.mqtt_cafile = v;
        } else if (a == "--http") {
            if (!parse_endpoint(v, o.http, error)) return false;
        } else if (a == "--bridge-id") {
            if (!valid_bridge_id(v)) {
                error = "--bridge-id '" + v + "' must be 1 to 32 of the characters A-Z a-z 0-9 _ -";
                return false;
            }
            o.bridge_id = v;
        } else if (a == "--channel-topics") {
            if (v != "yes" && v != "no") {
                error = "--channel-topics '" + v + "' must be yes or no";
                return false;
            }
            o.channel_topics = v == "yes";
        } else if (a == "--shard") {
            if (!parse_shard(v, o.shard, error)) return false;
        } else if (a == "--spool") {
            if (v.empty()) {
                error = "--spool needs a folder";
                return false;
            }
            o.spool = v;
        } else if (a == "--spool-max-bytes") {
            if (!parse_amount(v, {{'K', 1LL << 10}, {'M', 1LL << 20}, {'G', 1LL << 30}}, 64 << 10,
                              1LL << 40, o.spool_max_bytes)) {
                error = "--spool-max-bytes '" + v + "' is not a size from 64K to 1024G";
                return false;
            }
        } else if (a == "--spool-max-age") {
            if (!parse_amount(v, {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}}, 1, 365 * 86400,
                              o.spool_max_age)) {
                error = "--spool-max-age '" + v + "' is not a time from 1s to 365d";
                return false;
            }
        }
    }
    if (o.help || o.version) {
        out = o;
        return true;
    }
    if (!o.mqtt_password_file.empty() && o.mqtt_user.empty()) {
        error = "--mqtt-password-file needs --mqtt-user";
        return false;
    }
    if (o.stations.empty() && o.stations_file.empty()) {
        error = "no station: give --station NAME=HOST:PORT or --stations-file FILE";
        return false;
    }
    std::vector<StationAddress> checked;
    if (!merge_stations(o.stations, {}, checked, error)) return false;
    out = o;
    return true;
}

// zkbridge: polls stations' data servers and publishes their readings to an MQTT broker and
// over HTTP for Prometheus.
//
// Threads: the main thread parses the command line and then only waits for signals (it
// re-reads the stations file on SIGHUP); the poll thread runs every exchange and applies its
// outcome to the fleet; the MQTT thread owns the broker connection; the HTTP server's two
// threads read snapshots of the fleet.
#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "fleet.h"
#include "http_server.h"
#include "logging.h"
#include "mqtt_publisher.h"
#include "options.h"
#include "poller.h"
#include "web_feed.h"
#include "web_routes.h"

namespace {

double unix_now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

bool read_file(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

bool resolve(const StationAddress& s, PollTarget& out, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(s.host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        error = "station " + s.name + ": cannot resolve " + s.host + ": " + gai_strerror(rc);
        return false;
    }
    out.name = s.name;
    out.address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    out.address.sin_port = htons(static_cast<std::uint16_t>(s.port));
    ::freeaddrinfo(found);
    return true;
}

// The stations of the command line and of the file that belong to this bridge's shard,
// resolved. `given` counts them all.
bool load_stations(const Options& o, std::vector<PollTarget>& out, std::size_t& given,
                   std::string& error) {
    std::vector<StationAddress> from_file;
    if (!o.stations_file.empty()) {
        std::string text;
        if (!read_file(o.stations_file, text, error)) return false;
        if (!parse_stations_file(text, from_file, error)) {
            error = o.stations_file + ": " + error;
            return false;
        }
    }
    std::vector<StationAddress> all;
    if (!merge_stations(o.stations, from_file, all, error)) return false;
    std::vector<PollTarget> targets;
    for (const auto& s : all) {
        if (!in_shard(s.name, o.shard)) continue;
        PollTarget t;
        if (!resolve(s, t, error)) return false;
        targets.push_back(t);
    }
    out = std::move(targets);
    given = all.size();
    return true;
}

// " (shard 2/3 of 300 given)", or nothing without shards.
std::string shard_note(const Shard& s, std::size_t given) {
    if (s.count <= 1) return "";
    return " (shard " + std::to_string(s.index) + "/" + std::to_string(s.count) + " of " +
           std::to_string(given) + " given)";
}

std::vector<std::string> names_of(const std::vector<PollTarget>& targets) {
    std::vector<std::string> n;
    for (const auto& t : targets) n.push_back(t.name);
    return n;
}

// Each station holds a socket while it is polled; a large fleet needs more than the usual
// soft limit of descriptors.
void raise_file_limit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
}

// "a=10.0.0.5:5000, b=...": the first stations of a fleet, so that the line stays short.
std::string station_list(const std::vector<PollTarget>& targets) {
    constexpr std::size_t SHOWN = 20;
    std::string list;
    for (std::size_t i = 0; i < targets.size() && i < SHOWN; ++i) {
        char host[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &targets[i].address.sin_addr, host, sizeof host);
        if (i) list += ", ";
        list += targets[i].name + "=" + host + ":" +
                std::to_string(ntohs(targets[i].address.sin_port));
    }
    if (targets.size() > SHOWN) list += " and " + std::to_string(targets.size() - SHOWN) + " more";
    return list;
}

int bad_usage(const std::string& error) {
    std::fprintf(stderr, "zkbridge: %s\n%s", error.c_str(), usage().c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), o, error))
        return bad_usage(error);
    if (o.help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::puts("zkbridge " ZK47_VERSION);
        return 0;
    }
    const Log log(stderr, is_journal_stream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO));

    char host_name[256] = "";
    ::gethostname(host_name, sizeof host_name - 1);
    const BridgeIdentity bridge{o.mqtt_prefix,
                                o.bridge_id.empty() ? bridge_id_from_host(host_name) : o.bridge_id,
                                ZK47_VERSION};

    MqttSettings mqtt;
    mqtt.host = o.mqtt.host;
    mqtt.port = o.mqtt.port;
    mqtt.user = o.mqtt_user;
    mqtt.cafile = o.mqtt_cafile;
    mqtt.will_topic = bridge_availability_topic(bridge);
    mqtt.queue_topic = bridge_queue_topic(bridge);
    if (o.discovery) mqtt.discovery_prefix = DISCOVERY_PREFIX;
    // The broker drops an older connection with the same id: bridges on one broker need
    // their own ids anyway.
    mqtt.client_id = "zkbridge-" + bridge.id;
    // For tests: a queue that overflows after a few readings.
    if (const char* limit = std::getenv("ZKBRIDGE_MQTT_QUEUE_LIMIT"))
        mqtt.max_queued = std::max(1UL, std::strtoul(limit, nullptr, 10));
    mqtt.spool_dir = o.spool;
    mqtt.spool_max_bytes = std::size_t(o.spool_max_bytes);
    mqtt.max_age = std::chrono::seconds(o.spool_max_age);
    if (!o.mqtt_password_file.empty()) {
        if (!read_file(o.mqtt_password_file, mqtt.password, error)) return bad_usage(error);
        mqtt.password = mqtt.password.substr(0, mqtt.password.find_first_of("\r\n"));
    }
    if (!o.mqtt_cafile.empty() && ::access(o.mqtt_cafile.c_str(), R_OK) != 0)
        return bad_usage("cannot read the CA file " + o.mqtt_cafile);

    std::vector<PollTarget> targets;
    std::size_t given = 0;
    if (!load_stations(o, targets, given, error)) return bad_usage(error);
    raise_file_limit();

    // Signals are taken by the main thread alone, with sigwait; every thread started from
    // here inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    MqttPublisher publisher(mqtt);
    Fleet fleet(bridge, o.discovery, publisher);
    fleet.set_stale_after(stale_after_seconds(o));
    fleet.set_channel_topics(o.channel_topics);
    // The web page's history and event streams; made before the server whose routes use it,
    // so that it outlives the server.
    WebFeed web;
    HttpServer http(fleet, [&publisher] {
        return BridgeGauges{publisher.connected(), publisher.queued(), publisher.dropped(),
                            publisher.dropped_readings()};
    });
    fleet.add_observer(&web);
    add_web_routes(http, web, fleet);
    if (!http.bind(o.http.host, o.http.port, error)) {
        log.write(Priority::error, error);
        return 1;
    }

    fleet.set_stations(names_of(targets));
    // A test aid: the page's benchmarks need full hours of history without waiting an hour.
    if (const char* fill = std::getenv("ZKBRIDGE_TEST_FILL_HISTORY"))
        web.fill_for_test(names_of(targets), std::atoi(fill), unix_now());
    std::vector<std::string> notes;
    const bool spool_ok = publisher.start(notes, error);
    for (const auto& n : notes) log.write(Priority::warning, n);
    if (!spool_ok) {
        log.write(Priority::error, error);
        return 1;
    }
    Poller poller(std::chrono::seconds(o.period),
                  [&fleet, &log](const std::string& name, Exchange&& e) {
                      const PollChange c = fleet.apply(name, e, unix_now());
                      if (!c.note.empty()) log.write(c.priority, "station " + name + ": " + c.note);
                  });
    poller.set_targets(targets);
    std::thread poll_thread([&poller] { poller.run(); });
    http.start();
    log.write(Priority::notice,
              "version " ZK47_VERSION "; polling " + std::to_string(targets.size()) +
                  " stations" + shard_note(o.shard, given) + " every " +
                  std::to_string(o.period) + " s, stale after " +
                  std::to_string(stale_after_seconds(o)) + " s: " + station_list(targets) +
                  "; MQTT " + o.mqtt.host + ":" + std::to_string(o.mqtt.port) + "; HTTP on " +
                  o.http.host + ":" + std::to_string(o.http.port));

    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) continue;
        if (sig != SIGHUP) break;
        std::vector<PollTarget> next;
        if (!load_stations(o, next, given, error)) {
            log.write(Priority::error, error + "; keeping the current stations");
            continue;
        }
        fleet.set_stations(names_of(next));
        poller.set_targets(next);
        log.write(Priority::notice, "stations reloaded: " + std::to_string(next.size()) +
                                        " stations" + shard_note(o.shard, given) + ": " +
                                        station_list(next));
    }

    log.write(Priority::notice, "stopping");
    poller.stop();
    poll_thread.join();
    web.streams().close();  // no stream opens or wakes while the server stops
    http.stop();
    fleet.announce_stop();
    publisher.stop(std::chrono::seconds(5));
    return 0;
}

// The bridge's poller alone, for the benchmark: the same exchanges with the stations as the
// bridge makes, and nothing done with the replies but counting them. Every 100 ms it prints
// how many exchanges have ended so far and how many of them brought a reply.
//
// usage: bare_poller STATIONS_FILE PERIOD_SECONDS SECONDS
#include <arpa/inet.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "options.h"
#include "poller.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bare_poller STATIONS_FILE PERIOD_SECONDS SECONDS\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<StationAddress> stations;
    std::string error;
    if (!in || !parse_stations_file(text.str(), stations, error)) {
        std::fprintf(stderr, "bare_poller: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    std::vector<PollTarget> targets;
    for (const auto& s : stations) {
        PollTarget t{s.name, {}};
        t.address.sin_family = AF_INET;
        t.address.sin_port = htons(static_cast<std::uint16_t>(s.port));
        if (::inet_pton(AF_INET, s.host.c_str(), &t.address.sin_addr) != 1) {
            std::fprintf(stderr, "bare_poller: %s is not an IPv4 address\n", s.host.c_str());
            return 1;
        }
        targets.push_back(t);
    }
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }

    std::atomic<long> polls{0}, replies{0};
    Poller poller(std::chrono::seconds(std::atoi(argv[2])),
                  [&](const std::string&, Exchange&& e) {
                      if (e.transport == Transport::replied) ++replies;
                      ++polls;
                  });
    poller.set_targets(targets);
    std::thread poll_thread([&poller] { poller.run(); });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::printf("polls %ld replies %ld\n", polls.load(), replies.load());
        std::fflush(stdout);
    }
    poller.stop();
    poll_thread.join();
    return 0;
}

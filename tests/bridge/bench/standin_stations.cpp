// Many stand-in data servers in one process, for the bridge's benchmark. Listens on N ports
// of 127.0.0.1, prints them on one line, and answers every query with a data line whose
// seconds count the whole seconds since the start, as a station that reads once a second.
// After `seconds`, or at SIGTERM, it prints how many queries came and how many of them came on
// time (no later than 1.25 periods after the station's previous query), then on a second line
// the queries of each station, in the order of the ports.
//
// usage: standin_stations N PERIOD_MS SECONDS
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "reading.h"
#include "sockets.h"

namespace {
using Clock = std::chrono::steady_clock;

struct Listener {
    net::Socket socket;
    Clock::time_point last_query{};
    long queries = 0;
};

volatile sig_atomic_t stopping = 0;
void on_term(int) { stopping = 1; }
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: standin_stations N PERIOD_MS SECONDS\n");
        return 2;
    }
    const int n = std::atoi(argv[1]);
    const auto period = std::chrono::milliseconds(std::atoi(argv[2]));
    const auto run_for = std::chrono::seconds(std::atoi(argv[3]));
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }

    std::vector<Listener> listeners(n);
    std::string ports;
    for (auto& l : listeners) {
        l.socket = net::Socket::tcp();
        if (!net::bind_to(l.socket, net::ipv4_address(htonl(INADDR_LOOPBACK), 0)) ||
            ::listen(l.socket.get(), 64) != 0 || !net::set_nonblocking(l.socket)) {
            net::report("standin_stations: listen");
            return 1;
        }
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(l.socket.get(), reinterpret_cast<sockaddr*>(&a), &len);
        ports += std::to_string(ntohs(a.sin_port)) + " ";
    }
    std::printf("%s\n", ports.c_str());
    std::fflush(stdout);
    // Without SA_RESTART, so that poll returns at once.
    struct sigaction term {};
    term.sa_handler = on_term;
    ::sigaction(SIGTERM, &term, nullptr);

    const auto start = Clock::now();
    const std::time_t wall_start = std::time(nullptr);
    long queries = 0, on_time = 0, gaps = 0;
    struct Pending {
        net::Socket socket;
        int station;
        Clock::time_point deadline;
    };
    std::vector<Pending> pending;  // accepted, query not yet read
    std::vector<pollfd> fds;
    std::array<std::string, NCHAN> texts;
    while (!stopping && Clock::now() - start < run_for) {
        fds.clear();
        for (auto& l : listeners) fds.push_back({l.socket.get(), POLLIN, 0});
        for (auto& p : pending) fds.push_back({p.socket.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
        const auto now = Clock::now();
        std::vector<Pending> still;
        for (std::size_t j = 0; j < pending.size(); ++j) {
            Pending& p = pending[j];
            if (!fds[n + j].revents) {
                if (now < p.deadline) still.push_back(std::move(p));
                continue;
            }
            char buf[16];
            if (net::recv_some(p.socket, buf, sizeof buf) <= 0) continue;
            ++queries;
            Listener& l = listeners[p.station];
            ++l.queries;
            if (l.last_query != Clock::time_point{}) {
                ++gaps;
                if (now - l.last_query <= period * 5 / 4) ++on_time;
            }
            l.last_query = now;
            const auto sec = std::int32_t(
                std::chrono::duration_cast<std::chrono::seconds>(now - start).count() + 1);
            Reading rd;
            take_stamps(wall_start + sec, wall_start, rd);
            for (int k = 0; k < NCHAN; ++k)
                texts[k] = channel_text(20.0 + k + p.station % 100 / 100.0);
            const std::string line = build_data_line(sec, rd.sys_stamp, "00004521", texts);
            net::send_some(p.socket, line.data(), line.size());
        }
        pending = std::move(still);
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            for (;;) {
                net::Socket c = net::accept_from(listeners[i].socket);
                if (!c.valid()) break;
                net::set_nonblocking(c);
                pending.push_back({std::move(c), i, now + std::chrono::seconds(5)});
            }
        }
    }
    std::printf("queries %ld gaps %ld on_time %ld\n", queries, gaps, on_time);
    for (const auto& l : listeners) std::printf("%ld ", l.queries);
    std::printf("\n");
    return 0;
}

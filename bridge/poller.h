#pragma once
// Polls many data servers at once from one thread: non-blocking sockets under poll(2), each
// exchange with its own time limits, so a slow or dead station never delays the others.
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "sockets.h"
#include "station_status.h"

struct PollTarget {
    std::string name;
    sockaddr_in address{};
};

class Poller {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the poll thread at the end of each exchange; it must not wait.
    using Done = std::function<void(const std::string& name, Exchange&& exchange)>;

    static constexpr auto CONNECT_TIME = std::chrono::seconds(5);
    static constexpr auto REPLY_TIME = std::chrono::seconds(5);
    // A server that keeps the connection open after its reply: the reply is taken once it
    // holds every token of a data line and no byte has come for this long. A compliant server
    // sends it in one piece, so its bytes never pause this long before the end.
    static constexpr auto REPLY_PAUSE = std::chrono::milliseconds(250);

    Poller(std::chrono::milliseconds period, Done done);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Any thread: the stations to poll from now on. Stations that stay keep their schedule.
    void set_targets(std::vector<PollTarget> targets);
    // Runs on the calling thread until stop().
    void run();
    // Any thread.
    void stop();

private:
    enum class Phase { idle, connecting, receiving };
    struct Slot {
        PollTarget target;
        Clock::time_point next_due;
        Phase phase = Phase::idle;
        net::Socket socket;
        Clock::time_point deadline;
        Clock::time_point settled;  // when a reply that holds every token is taken
        std::string reply;
    };

    void apply_targets(Clock::time_point now);
    void start(Slot& s, Clock::time_point now);
    void on_ready(Slot& s, short revents, Clock::time_point now);
    void on_time(Slot& s, Clock::time_point now);
    Clock::time_point wake_time(const Slot& s) const;
    void finish(Slot& s, Transport t);
    void wake();

    const std::chrono::milliseconds period_;
    const Done done_;
    int wake_pipe_[2] = {-1, -1};

    // Written by set_targets and stop (any thread), read by the poll thread, under mutex_.
    std::mutex mutex_;
    bool stopping_ = false;
    bool targets_changed_ = false;
    std::vector<PollTarget> new_targets_;

    std::vector<Slot> slots_;  // the poll thread's own
};

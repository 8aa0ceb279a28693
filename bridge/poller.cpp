#include "poller.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "messages.h"
#include "reply.h"

Poller::Poller(std::chrono::milliseconds period, Done done)
    : period_(period), done_(std::move(done)) {
    if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe_[0] = wake_pipe_[1] = -1;
}

Poller::~Poller() {
    for (int fd : wake_pipe_)
        if (fd >= 0) ::close(fd);
}

void Poller::set_targets(std::vector<PollTarget> targets) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        new_targets_ = std::move(targets);
        targets_changed_ = true;
    }
    wake();
}

void Poller::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
}

void Poller::wake() {
    const char b = 1;
    if (wake_pipe_[1] >= 0) (void)!::write(wake_pipe_[1], &b, 1);
}

void Poller::apply_targets(Clock::time_point now) {
    std::vector<PollTarget> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!targets_changed_) return;
        targets_changed_ = false;
        targets = std::move(new_targets_);
    }
    std::map<std::string, Slot> old;
    for (auto& s : slots_) old.emplace(s.target.name, std::move(s));
    slots_.clear();
    slots_.reserve(targets.size());
    // New stations start spread over one period, so that a large fleet does not connect to
    // all of its stations in the same millisecond.
    std::size_t fresh = 0;
    for (auto& t : targets) {
        auto it = old.find(t.name);
        const bool same = it != old.end() && std::memcmp(&it->second.target.address, &t.address,
                                                         sizeof t.address) == 0;
        if (same) {
            slots_.push_back(std::move(it->second));
            continue;
        }
        Slot s;
        s.target = std::move(t);
        s.next_due = now + period_ * fresh++ / std::max<std::size_t>(targets.size(), 1);
        slots_.push_back(std::move(s));
    }
    // Slots left in `old` close their sockets as they go.
}

void Poller::start(Slot& s, Clock::time_point now) {
    // A poll still running at its next due time makes that one lapse.
    while (s.next_due <= now) s.next_due += period_;
    s.reply.clear();
    s.socket = net::Socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.socket.valid()) {
        finish(s, Transport::refused);  // out of descriptors: counted, tried again next period
        return;
    }
    s.phase = Phase::connecting;
    s.deadline = now + CONNECT_TIME;
    if (net::connect_to(s.socket, s.target.address)) {
        on_ready(s, POLLOUT, now);
    } else if (errno != EINPROGRESS) {
        finish(s, errno == ETIMEDOUT ? Transport::timeout : Transport::refused);
    }
}

void Poller::on_ready(Slot& s, short revents, Clock::time_point now) {
    if (s.phase == Phase::connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s.socket.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) {
            finish(s, err == ETIMEDOUT ? Transport::timeout : Transport::refused);
            return;
        }
        const std::string query = query_message();
        if (net::send_some(s.socket, query.data(), query.size()) != long(query.size())) {
            finish(s, Transport::closed);
            return;
        }
        s.phase = Phase::receiving;
        s.deadline = now + REPLY_TIME;
        s.settled = s.deadline;
        return;
    }
    if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
    // One byte past the longest reply is enough to know it is too long.
    char buf[MAX_REPLY + 1];
    const std::size_t room = MAX_REPLY + 1 - s.reply.size();
    const long n = net::recv_some(s.socket, buf, room);
    if (n < 0 && net::would_block()) return;
    if (n <= 0) {
        finish(s, s.reply.empty() ? Transport::closed : Transport::replied);
        return;
    }
    s.reply.append(buf, std::size_t(n));
    // A reply ends at the server's close, at its NUL, or when it is already too long; from a
    // server that keeps the connection open, when its bytes pause after a whole data line.
    if (s.reply.size() > MAX_REPLY || s.reply.find('\0') != std::string::npos)
        finish(s, Transport::replied);
    else
        s.settled = count_tokens(s.reply) == DATA_LINE_TOKENS ? now + REPLY_PAUSE : s.deadline;
}

void Poller::on_time(Slot& s, Clock::time_point now) {
    if (s.phase == Phase::receiving && s.settled < s.deadline && s.settled <= now) {
        finish(s, Transport::replied);
    } else if (s.deadline <= now) {
        // A reply still arriving, or cut short, is no reply: it may hold a value cut in two.
        finish(s, Transport::timeout);
    }
}

Poller::Clock::time_point Poller::wake_time(const Slot& s) const {
    return s.phase == Phase::receiving ? std::min(s.settled, s.deadline) : s.deadline;
}

void Poller::finish(Slot& s, Transport t) {
    s.socket.close();
    s.phase = Phase::idle;
    Exchange e;
    e.transport = t;
    e.reply = std::move(s.reply);  // for a timeout, what had come: the log shows it
    s.reply.clear();
    done_(s.target.name, std::move(e));
}

void Poller::run() {
    std::vector<pollfd> fds;
    std::vector<Slot*> owners;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
        }
        auto now = Clock::now();
        apply_targets(now);

        for (auto& s : slots_)
            if (s.phase == Phase::idle && s.next_due <= now) start(s, now);
        for (auto& s : slots_)
            if (s.phase != Phase::idle && wake_time(s) <= now) on_time(s, now);

        fds.clear();
        owners.clear();
        fds.push_back({wake_pipe_[0], POLLIN, 0});
        owners.push_back(nullptr);
        auto next = now + std::chrono::seconds(60);
        for (auto& s : slots_) {
            if (s.phase == Phase::idle) {
                next = std::min(next, s.next_due);
                continue;
            }
            next = std::min(next, wake_time(s));
            fds.push_back({s.socket.get(), short(s.phase == Phase::connecting ? POLLOUT : POLLIN), 0});
            owners.push_back(&s);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        const int ready = ::poll(fds.data(), fds.size(), int(std::max<decltype(wait)>(wait, 0)));
        if (ready <= 0) continue;  // a time limit or due time came, or a signal: look again
        now = Clock::now();
        if (fds[0].revents) {
            char drain[64];
            while (::read(wake_pipe_[0], drain, sizeof drain) > 0) {}
        }
        for (std::size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents && owners[i]->phase != Phase::idle)
                on_ready(*owners[i], fds[i].revents, now);
    }
    for (auto& s : slots_) s.socket.close();
}

#include "data_server.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Every slot frees itself within the time limits below, so a full table only delays new
// callers (they wait in the listen queue) and never grows.
constexpr std::size_t MAX_CONNECTIONS = 128;
// A client that has not completed its message by then is closed unanswered.
constexpr auto MESSAGE_TIME = std::chrono::seconds(5);
// After its answer a client gets this long to close its end.
constexpr auto CLOSE_TIME = std::chrono::seconds(5);

struct Connection {
    net::Socket socket;
    bool loopback = false;
    std::string received;
    bool answered = false;  // the reply went out; only the client's close is awaited
    Clock::time_point deadline;
    bool done = false;
};

enum class Outcome { keep, close, quit };

class Server {
public:
    Server(const net::Socket& listener, const RequestRules& rules)
        : listener_(listener), rules_(rules) {}

    int run() {
        std::vector<net::poll_entry> entries;
        for (;;) {
            const auto now = Clock::now();
            drop_expired(now);

            entries.clear();
            const bool accepting = connections_.size() < MAX_CONNECTIONS;
            if (accepting) entries.push_back(entry(listener_.get()));
            for (const auto& c : connections_) entries.push_back(entry(c.socket.get()));

            const int ready = net::poll_sockets(entries.data(), entries.size(), timeout_ms(now));
            if (ready < 0) {
                if (net::would_block()) continue;
                net::report("zksrv: poll");
                return 1;
            }
            if (ready == 0) continue;

            // Connections first: accepting appends to the table the entries were built from.
            const std::size_t first = accepting ? 1 : 0;
            for (std::size_t i = 0; i < connections_.size() && first + i < entries.size(); ++i) {
                if (entries[first + i].revents == 0) continue;
                switch (service(connections_[i])) {
                case Outcome::keep: break;
                case Outcome::close: connections_[i].done = true; break;
                case Outcome::quit: return 0;
                }
            }
            if (accepting && entries[0].revents != 0) accept_pending();
            connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                              [](const Connection& c) { return c.done; }),
                               connections_.end());
        }
    }

private:
    static net::poll_entry entry(net::socket_t s) {
        net::poll_entry e{};
        e.fd = s;
        e.events = POLLIN;
        return e;
    }

    void drop_expired(Clock::time_point now) {
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [now](const Connection& c) { return c.deadline <= now; }),
                           connections_.end());
    }

    int timeout_ms(Clock::time_point now) const {
        if (connections_.empty()) return -1;
        auto next = connections_.front().deadline;
        for (const auto& c : connections_) next = std::min(next, c.deadline);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::max<decltype(wait)>(wait, 0));
    }

    void accept_pending() {
        while (connections_.size() < MAX_CONNECTIONS) {
            std::uint32_t peer = 0;
            net::Socket s = net::accept_from(listener_, &peer);
            if (!s.valid() || !net::set_nonblocking(s)) return;
            Connection c;
            c.socket = std::move(s);
            c.loopback = is_loopback(peer);
            c.deadline = Clock::now() + MESSAGE_TIME;
            connections_.push_back(std::move(c));
        }
    }

    Outcome service(Connection& c) {
        char buf[2048];
        const long n = net::recv_some(c.socket, buf, sizeof buf);
        if (n < 0) return net::would_block() ? Outcome::keep : Outcome::close;
        if (c.answered) return n == 0 ? Outcome::close : Outcome::keep;

        const bool ended = n == 0;
        // One byte past the limit is enough for the rules to refuse the message.
        const std::size_t room = rules_.max_message() + 1 - c.received.size();
        c.received.append(buf, std::min(static_cast<std::size_t>(n), room));

        const Judgement j = rules_.judge(c.received, ended, c.loopback);
        switch (j.verdict) {
        case Verdict::wait: return Outcome::keep;
        case Verdict::query: return answer(c, ended);
        case Verdict::push: latest_.assign(j.line); return Outcome::close;
        case Verdict::quit: return Outcome::quit;
        case Verdict::drop: return Outcome::close;
        }
        return Outcome::close;
    }

    // The reply goes out in one send, as the client takes it in one receive. Our side is then
    // shut and the client's close awaited, so that bytes it may still send cannot make the
    // system reset the connection before it has read the reply.
    Outcome answer(Connection& c, bool client_ended) {
        const long sent = net::send_some(c.socket, latest_.data(), latest_.size());
        if (sent != static_cast<long>(latest_.size()) || client_ended) return Outcome::close;
        net::shutdown_sending(c.socket);
        c.answered = true;
        c.received.clear();
        c.received.shrink_to_fit();
        c.deadline = Clock::now() + CLOSE_TIME;
        return Outcome::keep;
    }

    const net::Socket& listener_;
    const RequestRules& rules_;
    std::vector<Connection> connections_;
    std::string latest_ = "NO DATA";  // the answer before the first push
};

}  // namespace

int serve(const net::Socket& listener, const RequestRules& rules) {
    return Server(listener, rules).run();
}

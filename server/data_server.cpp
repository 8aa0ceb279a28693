#include "data_server.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "admission.h"

namespace {

using Clock = std::chrono::steady_clock;

// A client that has not completed its message by then is closed unanswered.
constexpr auto MESSAGE_TIME = std::chrono::seconds(5);
// After its answer a client gets this long to close its end.
constexpr auto CLOSE_TIME = std::chrono::seconds(5);
// When a caller cannot be taken (out of descriptors with nothing left to give up, or the
// listener failing), listening pauses this long rather than wake for it again and again.
constexpr auto LISTEN_PAUSE = std::chrono::milliseconds(100);

struct Connection {
    net::Socket socket;
    std::uint32_t peer = 0;  // IPv4, host order
    bool loopback = false;   // may push and quit
    std::string received;
    bool answered = false;  // the reply went out; only the client's close is awaited
    Clock::time_point deadline;
    Clock::time_point last_active;  // taken or last sent a byte: the quietest is given up first
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
            const bool accepting = now >= listen_again_;
            if (accepting) entries.push_back(entry(listener_.get()));
            for (const auto& c : connections_) entries.push_back(entry(c.socket.get()));

            const int ready = net::poll_sockets(entries.data(), entries.size(), timeout_ms(now));
            if (ready < 0) {
                if (net::would_block()) continue;
                net::report("zksrv: poll");
                return 1;
            }
            if (ready == 0) continue;

            // Connections first, so that a push is taken before a query that came after it;
            // accepting then changes the table the entries were built from.
            const std::size_t first = accepting ? 1 : 0;
            for (std::size_t i = 0; i < connections_.size(); ++i) {
                if (entries[first + i].revents == 0) continue;
                switch (service(connections_[i])) {
                case Outcome::keep: break;
                case Outcome::close: connections_[i].done = true; break;
                case Outcome::quit: return 0;
                }
            }
            erase_done();
            if (accepting && entries[0].revents != 0 && accept_pending() == Outcome::quit)
                return 0;
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
        const bool paused = now < listen_again_;
        if (connections_.empty() && !paused) return -1;
        auto next = paused ? listen_again_ : connections_.front().deadline;
        for (const auto& c : connections_) next = std::min(next, c.deadline);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::max<decltype(wait)>(wait, 0));
    }

    // Takes every waiting caller at once (a bounded batch, so that a stream of them cannot keep
    // the table's own clients waiting), making room by the rules of admission.h, and serves
    // what each has sent already: a query or a push usually comes whole with the connection.
    Outcome accept_pending() {
        for (std::size_t taken = 0; taken < MAX_CONNECTIONS; ++taken) {
            std::uint32_t peer = 0;
            net::Socket s = net::accept_from(listener_, &peer);
            if (!s.valid()) {
                if (net::would_block()) return Outcome::keep;
                if (net::caller_gone()) continue;
                if (net::short_of_resources() && give_up_quietest_remote()) continue;
                listen_again_ = Clock::now() + LISTEN_PAUSE;
                return Outcome::keep;
            }
            if (!net::set_nonblocking(s)) continue;
            if (finish_monitor_messages() == Outcome::quit) return Outcome::quit;
            const Place place = place_for(connections_, peer);
            if (!place.admitted) continue;

            Connection c;
            c.socket = std::move(s);
            c.peer = peer;
            c.loopback = is_loopback(peer);
            c.last_active = Clock::now();
            c.deadline = c.last_active + MESSAGE_TIME;
            const std::size_t at = place.give_up;
            if (at == connections_.size()) connections_.push_back(std::move(c));
            else connections_[at] = std::move(c);  // closes the one given up

            switch (service(connections_[at])) {
            case Outcome::keep: break;
            case Outcome::close: close_at(at); break;
            case Outcome::quit: return Outcome::quit;
            }
        }
        return Outcome::keep;
    }

    // A push that ended before a newcomer came is taken before the newcomer's query is
    // answered. The wait may not have reported that end yet (Wine can report it a round
    // late), so the monitor's messages under way are read again first.
    Outcome finish_monitor_messages() {
        for (auto& c : connections_) {
            if (c.peer != MONITOR_ADDRESS || c.answered || c.received.empty()) continue;
            switch (service(c)) {
            case Outcome::keep: break;
            case Outcome::close: c.done = true; break;
            case Outcome::quit: return Outcome::quit;
            }
        }
        erase_done();
        return Outcome::keep;
    }

    void erase_done() {
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const Connection& c) { return c.done; }),
                           connections_.end());
    }

    // Frees a descriptor for the next caller; false when only the monitor's connections are open.
    bool give_up_quietest_remote() {
        const std::size_t at = quietest_remote(connections_);
        if (at == connections_.size()) return false;
        close_at(at);
        return true;
    }

    void close_at(std::size_t at) {
        connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(at));
    }

    // Reads until the message is complete or nothing more has come, so that a push whose end
    // is already here is taken before any caller accepted after it is answered.
    Outcome service(Connection& c) {
        char buf[2048];
        for (;;) {
            const long n = net::recv_some(c.socket, buf, sizeof buf);
            if (n < 0) return net::would_block() ? Outcome::keep : Outcome::close;
            if (n > 0) c.last_active = Clock::now();
            if (c.answered) return n == 0 ? Outcome::close : Outcome::keep;

            const bool ended = n == 0;
            // One byte past the limit is enough for the rules to refuse the message, so the
            // reading ends there.
            const std::size_t room = rules_.max_message() + 1 - c.received.size();
            c.received.append(buf, std::min(static_cast<std::size_t>(n), room));

            const Judgement j = rules_.judge(c.received, ended, c.loopback);
            switch (j.verdict) {
            case Verdict::wait: break;
            case Verdict::query: return answer(c, ended);
            case Verdict::push: latest_.assign(j.line); return Outcome::close;
            case Verdict::quit: return Outcome::quit;
            case Verdict::drop: return Outcome::close;
            }
        }
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
    Clock::time_point listen_again_;  // the listener is left out of the wait until then
    std::string latest_ = "NO DATA";  // the answer before the first push
};

}  // namespace

int serve(const net::Socket& listener, const RequestRules& rules) {
    return Server(listener, rules).run();
}

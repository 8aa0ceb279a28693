// The network poller: on every tick the window gives it, it asks the remote data server for its
// latest reading and treats a new one like a reading of its own. Failures pause acquisition.
#include <string>

#include "acquisition.h"
#include "messages.h"
#include "sockets.h"
#include "text.h"

namespace {

constexpr int kExchangeTimeoutMs = 5000;  // for the connection, and again for the reply
constexpr unsigned kMinPeriodMs = 1000;   // a period below a second polls once a second

const char* query(const net::Socket& sockfd1, const sockaddr_in& server1, char (&reply)[REPLY_CAPACITY],
                  long& got) {
    if (!net::connect_within(sockfd1, server1, kExchangeTimeoutMs)) return "Невозможно открыть сокет";
    const std::string query = query_message();
    if (net::send_some(sockfd1, query.data(), query.size()) <= 0) return "Ошибка передачи в сокет";
    got = net::recv_within(sockfd1, reply, sizeof reply, kExchangeTimeoutMs);
    if (got <= 0) return "Ошибка приёма из сокета";
    return nullptr;
}

// One query and its reply; the failure's message, or nothing. The connection is shut down
// and closed before any message is shown.
const char* exchange(const sockaddr_in& server1, char (&reply)[REPLY_CAPACITY], long& got) {
    net::Socket sockfd1 = net::Socket::tcp();
    if (!sockfd1.valid()) return "Невозможно создать сокет";
    const char* failure = query(sockfd1, server1, reply, got);
    net::shutdown_both(sockfd1);
    return failure;
}

}  // namespace

void Poller::start() {
    const std::int32_t period = station_.settings.per_msec;
    station_.events().start_poll_ticks(period < std::int32_t(kMinPeriodMs) ? kMinPeriodMs : unsigned(period));
}

void Poller::tick() {
    if (!station_.NotPausedFlag) return;
    char reply[REPLY_CAPACITY] = {};
    long got = 0;
    if (const char* failure = exchange(station_.server1, reply, got))
        return station_.events().pause_for_failure(failure);
    // The reply is the text of this one receive, up to its first NUL byte.
    const std::string_view text = c_text(std::string_view(reply, std::size_t(got)));

    const FaultCheck check = station_.with_faults([&](FaultList& f) { parse_data_line(text, polled_, f); });
    if (!accept_polled(polled_.sec, old_sec_stamp_)) return;
    station_.record_reading(polled_);
    // The reply is pushed exactly as received; a failed push pauses acquisition.
    if (station_.sharing.on)
        if (const char* failure = station_.push(text)) return station_.events().pause_for_failure(failure);
    station_.conclude_reading(check);
}

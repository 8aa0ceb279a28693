// The network poller: on every tick of timer 1 it asks the remote data server for its latest
// reading and treats a new one like a reading of its own. Failures pause acquisition.
#include <string>

#include "acquisition.h"
#include "messages.h"
#include "sockets.h"
#include "station.h"
#include "text.h"

namespace {

constexpr int kExchangeTimeoutMs = 5000;  // for the connection, and again for the reply
constexpr UINT kMinPeriodMs = 1000;       // a period below a second polls once a second

const char* query(const net::Socket& sockfd1, char (&reply)[REPLY_CAPACITY], long& got) {
    if (!net::connect_within(sockfd1, server1, kExchangeTimeoutMs)) return "Невозможно открыть сокет";
    const std::string query = query_message();
    if (net::send_some(sockfd1, query.data(), query.size()) <= 0) return "Ошибка передачи в сокет";
    got = net::recv_within(sockfd1, reply, sizeof reply, kExchangeTimeoutMs);
    if (got <= 0) return "Ошибка приёма из сокета";
    return nullptr;
}

// One query and its reply; the failure's message, or nothing. The connection is shut down
// and closed before any message is shown.
const char* exchange(char (&reply)[REPLY_CAPACITY], long& got) {
    net::Socket sockfd1 = net::Socket::tcp();
    if (!sockfd1.valid()) return "Невозможно создать сокет";
    const char* failure = query(sockfd1, reply, got);
    net::shutdown_both(sockfd1);
    return failure;
}

}  // namespace

void Poller::start(HWND window) {
    const UINT period = g_settings.per_msec < std::int32_t(kMinPeriodMs) ? kMinPeriodMs
                                                                         : UINT(g_settings.per_msec);
    SetTimer(window, 1, period, nullptr);
}

void Poller::tick() {
    if (!NotPausedFlag) return;
    char reply[REPLY_CAPACITY] = {};
    long got = 0;
    if (const char* failure = exchange(reply, got)) return station_events().pause_for_failure(failure);
    // The reply is the text of this one receive, up to its first NUL byte.
    const std::string_view text = c_text(std::string_view(reply, std::size_t(got)));

    const FaultCheck check = with_faults([&](FaultList& f) { parse_data_line(text, polled_, f); });
    if (!accept_polled(polled_.sec, old_sec_stamp_)) return;
    record_reading(polled_);
    if (sharing_on() && !push_reply(text)) return;
    conclude_reading(check);
}

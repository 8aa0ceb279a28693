// The network poller: on every tick of timer 1 it asks the remote data server for its latest
// reading and treats a new one like a reading of its own. Failures pause acquisition.
#include <string>

#include "acquisition.h"
#include "query.h"
#include "station.h"
#include "text.h"

namespace {

constexpr UINT kMinPeriodMs = 1000;  // a period below a second polls once a second

// What the operator is told when a query fails, by the step it failed at.
constexpr const char* kQueryFailures[] = {nullptr, "Невозможно создать сокет",
                                          "Невозможно открыть сокет", "Ошибка передачи в сокет",
                                          "Ошибка приёма из сокета"};

}  // namespace

void Poller::start(HWND window) {
    const UINT period = g_settings.per_msec < std::int32_t(kMinPeriodMs) ? kMinPeriodMs
                                                                         : UINT(g_settings.per_msec);
    SetTimer(window, 1, period, nullptr);
}

void Poller::tick() {
    if (!NotPausedFlag) return;
    net::QueryReply reply;
    if (const net::QueryStep step = net::query_server(server1, reply); step != net::QueryStep::done)
        return station_events().pause_for_failure(kQueryFailures[int(step)]);
    // The reply is the text of this one receive, up to its first NUL byte.
    const std::string_view text = c_text(std::string_view(reply.bytes, reply.size));

    const FaultCheck check = with_faults([&](FaultList& f) { parse_data_line(text, polled_, f); });
    if (!accept_polled(polled_.sec, old_sec_stamp_)) return;
    record_reading(polled_);
    if (sharing_on() && !push_reply(text)) return;
    conclude_reading(check);
}

// The network poller: on every tick the window gives it, it asks the remote data server for its
// latest reading and treats a new one like a reading of its own. Failures pause acquisition.
#include <string>

#include "acquisition.h"
#include "query.h"
#include "station.h"
#include "text.h"

namespace {

constexpr unsigned kMinPeriodMs = 1000;  // a period below a second polls once a second

// What the operator is told when a query fails, by the step it failed at.
constexpr const char* kQueryFailures[] = {nullptr, "Невозможно создать сокет",
                                          "Невозможно открыть сокет", "Ошибка передачи в сокет",
                                          "Ошибка приёма из сокета"};

}  // namespace

void Poller::start() {
    const std::int32_t period = station_.settings.per_msec;
    station_.events().start_poll_ticks(period < std::int32_t(kMinPeriodMs) ? kMinPeriodMs : unsigned(period));
}

void Poller::tick() {
    if (!station_.NotPausedFlag) return;
    net::QueryReply reply;
    if (const net::QueryStep step = net::query_server(station_.server1, reply); step != net::QueryStep::done)
        return station_.events().pause_for_failure(kQueryFailures[int(step)]);
    // The reply is the text of this one receive, up to its first NUL byte.
    const std::string_view text = c_text(std::string_view(reply.bytes, reply.size));

    const FaultCheck check = station_.with_faults([&](FaultList& f) { parse_data_line(text, polled_, f); });
    if (!accept_polled(polled_.sec, old_sec_stamp_)) return;
    station_.record_reading(polled_);
    // The reply is pushed exactly as received; a failed push pauses acquisition.
    if (station_.sharing.on)
        if (const char* failure = station_.push(text)) return station_.events().pause_for_failure(failure);
    station_.conclude_reading(check);
}

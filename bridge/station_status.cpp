#include "station_status.h"

#include "reply.h"

const char* result_name(PollResult r) {
    switch (r) {
    case PollResult::ok: return "ok";
    case PollResult::unchanged: return "unchanged";
    case PollResult::unreadable: return "unreadable";
    case PollResult::refused: return "refused";
    case PollResult::timeout: return "timeout";
    case PollResult::closed: break;
    }
    return "closed";
}

namespace {
void set_availability(StationStatus& s, Availability a, PollChange& c) {
    if (s.availability == a) return;
    s.availability = a;
    c.availability_changed = true;
}
}  // namespace

PollChange apply_exchange(StationStatus& s, const Exchange& e, double now) {
    PollChange c;
    switch (e.transport) {
    case Transport::refused: c.result = PollResult::refused; break;
    case Transport::timeout: c.result = PollResult::timeout; break;
    case Transport::closed: c.result = PollResult::closed; break;
    case Transport::replied: {
        s.failures_in_row = 0;
        set_availability(s, Availability::online, c);
        ParsedReply p = read_reply(e.reply);
        if (!p.readable) {
            c.result = PollResult::unreadable;
        } else if (s.has_reading && p.reading.sec == s.last.sec &&
                   p.reading.sys_stamp == s.last.sys_stamp) {
            c.result = PollResult::unchanged;
        } else {
            c.result = PollResult::ok;
            c.new_reading = true;
            s.has_reading = true;
            s.last = std::move(p.reading);
            s.last_state = state_json(s.last);
            s.last_reading_time = now;
        }
        break;
    }
    }
    if (e.transport != Transport::replied &&
        ++s.failures_in_row >= FAILURES_FOR_OFFLINE)
        set_availability(s, Availability::offline, c);
    ++s.polls[static_cast<std::size_t>(c.result)];
    return c;
}

#include "station_status.h"

#include <cmath>

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

const char* availability_name(Availability a) {
    switch (a) {
    case Availability::unknown: return "unknown";
    case Availability::online: return "online";
    case Availability::stale: return "stale";
    case Availability::offline: break;
    }
    return "offline";
}

namespace {

std::string whole_seconds(double s) { return std::to_string(std::llround(s)) + " s"; }

std::string failure_text(const Exchange& e) {
    switch (e.transport) {
    case Transport::refused: return "connection refused or unreachable";
    case Transport::closed: return "closed without a reply";
    case Transport::timeout:
        if (e.reply.empty()) return "no answer within the time limit";
        return "reply incomplete at the time limit, " + std::to_string(e.reply.size()) +
               " bytes: " + quoted_bytes(e.reply);
    case Transport::replied: break;
    }
    return "replied";
}

// Online, stale and offline lines, with what brought the change.
std::string availability_note(const StationStatus& s, const Exchange& e, double now,
                              Priority& priority) {
    switch (s.availability) {
    case Availability::offline:
        priority = Priority::warning;
        return "offline: " + std::to_string(s.failures_in_row) +
               " failed polls in a row, the last: " + failure_text(e);
    case Availability::stale:
        priority = Priority::warning;
        return "stale: no new reading for " + whole_seconds(now - s.fresh_since) +
               (s.has_reading ? ", the last has seconds " + std::to_string(s.last.sec)
                              : std::string(", none yet"));
    case Availability::online:
    case Availability::unknown: break;
    }
    priority = Priority::notice;
    return s.has_reading ? "online: reading with seconds " + std::to_string(s.last.sec)
                         : std::string("online: answers, no reading yet");
}

// Unreadable or cut-off replies: told when they start, then at most once a JUNK_LOG_INTERVAL.
void junk_note(StationStatus& s, const std::string& why, double now, PollChange& c) {
    const bool started = !s.junk;
    s.junk = true;
    if (!c.note.empty()) {
        // An offline line already names the failure.
        if (c.result == PollResult::unreadable) c.note += "; " + why;
    } else if (now - s.junk_told_at >= JUNK_LOG_INTERVAL) {
        c.priority = Priority::warning;
        c.note = (started ? "unreadable replies: " : "unreadable replies go on: ") + why;
        if (s.junk_untold)
            c.note += " (" + std::to_string(s.junk_untold) + " more since the last line)";
    } else {
        ++s.junk_untold;
        return;
    }
    s.junk_shown = true;
    s.junk_told_at = now;
    s.junk_untold = 0;
}

void set_availability(StationStatus& s, Availability a, PollChange& c) {
    if (s.availability == a) return;
    s.availability = a;
    c.availability_changed = true;
}

}  // namespace

PollChange apply_exchange(StationStatus& s, const Exchange& e, double now, double stale_after) {
    PollChange c;
    if (s.fresh_since < 0) s.fresh_since = now;
    const Availability before = s.availability;
    std::string junk;
    switch (e.transport) {
    case Transport::refused: c.result = PollResult::refused; break;
    case Transport::timeout: c.result = PollResult::timeout; break;
    case Transport::closed: c.result = PollResult::closed; break;
    case Transport::replied: {
        s.failures_in_row = 0;
        ParsedReply p = read_reply(e.reply);
        if (!p.readable) {
            c.result = PollResult::unreadable;
            junk = quoted_bytes(e.reply) + " " + problem_text(p);
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
            s.fresh_since = now;
        }
        set_availability(s, now - s.fresh_since >= stale_after ? Availability::stale
                                                               : Availability::online, c);
        break;
    }
    }
    if (e.transport != Transport::replied) {
        if (++s.failures_in_row >= FAILURES_FOR_OFFLINE)
            set_availability(s, Availability::offline, c);
        // A reply cut off by the time limit is junk too, though it counts as a timeout.
        if (e.transport == Transport::timeout && !e.reply.empty()) junk = failure_text(e);
    }
    // A station found online at first is what the start line expects: a large fleet would
    // otherwise begin its log with a line per station.
    const bool first_found_online =
        before == Availability::unknown && s.availability == Availability::online;
    if (c.availability_changed && !first_found_online)
        c.note = availability_note(s, e, now, c.priority);
    if (!junk.empty()) {
        junk_note(s, junk, now, c);
    } else if (e.transport == Transport::replied) {
        s.junk = false;
        if (s.junk_shown && c.note.empty()) {
            c.priority = Priority::notice;
            c.note = "replies readable again";
        }
        s.junk_shown = false;
    }
    ++s.polls[static_cast<std::size_t>(c.result)];
    return c;
}

#include "history.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "numbers.h"

namespace {

// "-0.00" (a small negative value) has no integer of its own; this stands for it.
constexpr std::int32_t NEGATIVE_ZERO = std::numeric_limits<std::int32_t>::min();

void put_text(std::array<char, 8>& field, std::string_view text) {
    std::memcpy(field.data(), text.data(), text.size() < 8 ? text.size() : 8);
}

std::string get_text(const std::array<char, 8>& field) {
    return std::string(field.data(), strnlen(field.data(), field.size()));
}

// Hundredths from the "%.2f" text, so that printing them back gives the same text; false
// when they do not fit 32 bits (or the text is "inf").
bool hundredths(std::string_view text, std::int32_t& out) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot == 0 || text.size() != dot + 3) return false;
    std::int64_t n = 0;
    for (char c : text) {
        if (c == '.') continue;
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
        if (n > std::numeric_limits<std::int32_t>::max()) return false;
    }
    out = negative ? (n == 0 ? NEGATIVE_ZERO : std::int32_t(-n)) : std::int32_t(n);
    return true;
}

std::string hundredths_text(std::int32_t n) {
    if (n == NEGATIVE_ZERO) return "-0.00";
    std::string s;
    if (n < 0) s += '-';
    const std::int64_t a = n < 0 ? -std::int64_t(n) : n;
    append_padded(s, a / 100, 0);
    s += '.';
    s += char('0' + a / 10 % 10);
    s += char('0' + a % 10);
    return s;
}

void set_kind(HistoryEntry& e, int k, ChannelKind kind) {
    e.kinds = (e.kinds & ~(3u << (2 * k))) | (std::uint32_t(kind) << (2 * k));
}

}  // namespace

HistoryEntry make_entry(const Reading& r, std::int64_t at_ms) {
    HistoryEntry e;
    e.at_ms = at_ms;
    e.sec = r.sec;
    const auto row = grid_row(r, false);
    put_text(e.time, row[0]);
    put_text(e.device_time, row[1]);
    for (int k = 0; k < NCHAN; ++k) {
        const double v = r.values[k];
        switch (classify(v)) {
        case ValueClass::no_sensor: set_kind(e, k, ChannelKind::no_sensor); break;
        case ValueClass::error: set_kind(e, k, ChannelKind::error); break;
        case ValueClass::measurement:
            if (hundredths(fixed2(v), e.chan[k])) break;
            const float f = float(v);
            std::memcpy(&e.chan[k], &f, sizeof f);
            set_kind(e, k, ChannelKind::wide);
            break;
        }
    }
    return e;
}

ChannelKind kind_of(const HistoryEntry& e, int channel) {
    return ChannelKind((e.kinds >> (2 * channel)) & 3u);
}

std::array<std::string, 14> entry_row(const HistoryEntry& e) {
    std::array<std::string, 14> row;
    row[0] = get_text(e.time);
    row[1] = get_text(e.device_time);
    for (int k = 0; k < NCHAN; ++k) {
        switch (kind_of(e, k)) {
        case ChannelKind::measurement: row[2 + k] = ' ' + hundredths_text(e.chan[k]); break;
        case ChannelKind::no_sensor: row[2 + k] = channel_text(NSENS_VALUE); break;
        case ChannelKind::error: row[2 + k] = channel_text(ERROR_VALUE); break;
        case ChannelKind::wide: {
            float f;
            std::memcpy(&f, &e.chan[k], sizeof f);
            row[2 + k] = channel_text(f);
            break;
        }
        }
    }
    return row;
}

void History::push(const HistoryEntry& e) {
    ++total_;
    if (capacity_ == 0) return;
    if (ring_.size() < capacity_) {
        // One allocation for the whole hour: a vector's doubling would overshoot the budget.
        if (ring_.empty()) ring_.reserve(capacity_);
        ring_.push_back(e);
        return;
    }
    ring_[start_] = e;
    start_ = (start_ + 1) % capacity_;
}

bool channel_value(const HistoryEntry& e, int channel, double& out) {
    switch (kind_of(e, channel)) {
    case ChannelKind::measurement:
        out = e.chan[channel] == NEGATIVE_ZERO ? 0.0 : e.chan[channel] / 100.0;
        return true;
    case ChannelKind::wide: {
        float f;
        std::memcpy(&f, &e.chan[channel], sizeof f);
        out = f;
        return true;
    }
    default: return false;
    }
}

std::int64_t usual_spacing(const std::vector<HistoryEntry>& entries) {
    if (entries.size() < 2) return 0;
    std::vector<std::int64_t> d;
    d.reserve(entries.size() - 1);
    for (std::size_t i = 1; i < entries.size(); ++i)
        d.push_back(entries[i].at_ms - entries[i - 1].at_ms);
    const auto mid = d.begin() + std::ptrdiff_t((d.size() - 1) / 2);
    std::nth_element(d.begin(), mid, d.end());
    return *mid;
}

std::vector<HistoryColumn> reduce_history(const std::vector<HistoryEntry>& entries,
                                          std::int64_t from_ms, std::int64_t span_ms,
                                          std::int64_t until_ms, int columns,
                                          std::int64_t spacing_ms) {
    std::vector<HistoryColumn> out;
    if (columns <= 0 || span_ms <= 0) return out;
    const std::int64_t gap = GAP_SPACINGS * spacing_ms;
    std::int64_t column = -1, previous_at = 0;
    for (const HistoryEntry& e : entries) {
        if (e.at_ms >= until_ms) break;
        if (e.at_ms < from_ms) continue;
        const std::int64_t c = (e.at_ms - from_ms) * columns / span_ms;
        if (out.empty() || c != column || e.at_ms - previous_at > gap) {
            out.emplace_back();
            out.back().from_ms = e.at_ms;
            column = c;
        }
        previous_at = e.at_ms;
        HistoryColumn& col = out.back();
        const bool first = col.count++ == 0;
        col.to_ms = e.at_ms;
        for (int k = 0; k < NCHAN; ++k) {
            double v;
            if (!channel_value(e, k, v)) {
                col.faults |= 1u << k;
            } else if (first) {
                col.min[k] = col.max[k] = v;
            } else {
                col.min[k] = std::min(col.min[k], v);
                col.max[k] = std::max(col.max[k], v);
            }
        }
    }
    return out;
}

#include "reading.h"

#include <cmath>
#include <limits>

#include "numbers.h"
#include "text.h"

ValueClass classify(double v) {
    if (v > ERROR_VALUE) return ValueClass::measurement;
    if (v < -900.0) return ValueClass::no_sensor;
    return ValueClass::error;
}

std::string channel_text(double v) {
    switch (classify(v)) {
    case ValueClass::measurement: return ' ' + fixed2(v);
    case ValueClass::no_sensor: return " N/SENS";
    case ValueClass::error: break;
    }
    return " ERROR";
}

namespace {

void append2(std::string& out, int n, char sep) {
    out += char('0' + (n / 10) % 10);
    out += char('0' + n % 10);
    if (sep) out += sep;
}

}  // namespace

bool local_time(std::time_t t, std::tm& out) {
#ifdef _WIN32
    return localtime_s(&out, &t) == 0;
#else
    return localtime_r(&t, &out) != nullptr;
#endif
}

std::string sys_time_of(std::string_view sys_stamp) {
    return std::string(sys_stamp.size() > 8 ? sys_stamp.substr(sys_stamp.size() - 8) : sys_stamp);
}

std::string format_stamp(const std::tm& t) {
    std::string s;
    append_padded(s, t.tm_year + 1900, 4);
    s += '-';
    append2(s, t.tm_mon + 1, '-');
    append2(s, t.tm_mday, '-');
    append2(s, t.tm_hour, '-');
    append2(s, t.tm_min, '-');
    append2(s, t.tm_sec, 0);
    return s;
}

void take_stamps(std::time_t tm, std::time_t tm0, Reading& r) {
    const double diff = std::difftime(tm, tm0);
    const double lim = std::numeric_limits<std::int32_t>::max();
    r.sec = std::int32_t(std::fabs(diff) > lim ? (diff > 0 ? lim : -lim) : std::trunc(diff));
    std::tm t{};
    if (!local_time(tm, t)) return;
    r.sys_stamp = format_stamp(t);
    r.sys_time = r.sys_stamp.substr(11);
}

std::string build_data_line(std::int32_t sec, std::string_view sys_stamp,
                            std::string_view device_time,
                            const std::array<std::string, NCHAN>& texts) {
    std::string line;
    line.reserve(128);
    append_padded(line, sec, 0);
    line += ' ';
    if (sys_stamp.size() < 19) line.append(19 - sys_stamp.size(), ' ');
    line += sys_stamp;
    line += ' ';
    line += device_time;
    for (const auto& t : texts) line += t;
    return line;
}

std::size_t split_tokens(std::string_view s, DataLineTokens& tokens) {
    std::size_t count = 0, i = 0;
    while (count < DATA_LINE_TOKENS) {
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size()) break;
        const std::size_t start = i;
        while (i < s.size() && !is_space(s[i])) ++i;
        tokens[count++] = s.substr(start, i - start);
    }
    return count;
}

void parse_data_line(std::string_view text, Reading& r, FaultList& faults) {
    clear_fault_list(faults);
    text = c_text(text);
    std::int32_t sec = 0;
    if (!scan_int(text, sec)) {
        r.sec = 0;
        r.values.fill(NSENS_VALUE);
    } else {
        r.sec = sec;
        DataLineTokens tok{};
        const std::size_t n = split_tokens(text, tok);
        if (n > 1) r.sys_stamp = std::string(tok[1]);
        if (n > 2) r.tm_time = std::string(tok[2]);
        r.sys_time = sys_time_of(r.sys_stamp);
        for (int k = 0; k < NCHAN; ++k) {
            // A channel token is read from a field of 11 characters.
            const std::string_view t = tok[3 + k].substr(0, 11);
            const ScannedNumber num = scan_number(t);
            // An infinite or NaN token is no temperature: it would put a non-number into the logs.
            if (num.ok && std::isfinite(num.value)) {
                r.values[k] = num.value;
            } else if (!t.empty() && t[0] == 'E') {
                r.values[k] = ERROR_VALUE;
                add_fault(faults, k);
            } else {
                r.values[k] = NSENS_VALUE;
            }
        }
    }
    if (r.tm_time.size() > 8) r.tm_time.resize(8);
}

std::array<std::string, GRID_COLS> grid_row(const Reading& r, bool only_seconds) {
    std::array<std::string, GRID_COLS> row;
    if (only_seconds) {
        append_padded(row[0], r.sec, 0);
    } else {
        row[0] = r.sys_time;
    }
    row[1] = r.tm_time;
    for (int k = 0; k < NCHAN; ++k) row[2 + k] = channel_text(r.values[k]);
    return row;
}

bool accept_polled(std::int32_t sec, std::int32_t& old_sec_stamp) {
    if (sec <= old_sec_stamp) return false;
    old_sec_stamp = sec;
    return true;
}

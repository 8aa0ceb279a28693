#include "device_line.h"

#include <cmath>

#include "numbers.h"
#include "text.h"

bool accept_device_line(std::string_view line, std::size_t length, bool first_line_seen) {
    if (!first_line_seen) return false;
    if (length > LINE_CAPACITY) return false;
    if (!line.empty() && line[0] == '<') return false;
    return length >= 60;
}

std::string parse_device_line(std::string_view line, std::int32_t sec, std::string_view sys_stamp,
                              Reading& r, MeterState& meter, FaultList& faults) {
    // The line is a C text: a NUL byte ends it for everything that reads text from it.
    const std::string_view text = c_text(line);
    r.sec = sec;
    r.sys_stamp = std::string(sys_stamp);  // copied first: the caller may pass r.sys_stamp itself
    r.sys_time = sys_time_of(r.sys_stamp);
    r.tm_time = std::string(text.substr(0, 8));

    clear_fault_list(faults);
    std::array<std::string, NCHAN> texts;
    for (int k = 0; k < NCHAN; ++k) {
        const std::size_t marker = 14 + 7 * std::size_t(k);
        if (marker >= line.size() || line[marker] == ' ') {
            // A marker column past the end of the line carries no data: no sensor.
            meter.carried[k] = NSENS_VALUE;
            texts[k] = " N/SENS";
        } else if (line[marker] == '*') {
            meter.carried[k] = ERROR_VALUE;
            texts[k] = " ERROR";
            add_fault(faults, k);
        } else {
            const std::size_t field = 9 + 7 * std::size_t(k);
            if (field < line.size()) {
                // Read from the field's own columns, even after a NUL earlier in the line; the
                // number may run on past its field as long as the characters continue it, and
                // a NUL ends it.
                const ScannedNumber num = scan_number(c_text(line.substr(field)));
                // Infinite, NaN or absurd numbers are no temperature: the channel keeps its value.
                if (num.ok && std::isfinite(num.value) && std::fabs(num.value) < 1e9)
                    meter.carried[k] = num.value;
            }
            texts[k] = ' ' + fixed2(meter.carried[k]);
        }
    }
    r.values = meter.carried;
    return build_data_line(sec, r.sys_stamp, r.tm_time, texts);
}

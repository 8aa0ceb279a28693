// Arbitrary bytes from the serial port through the meter line path: lines cut at line feeds,
// measurements chosen, fields read, data lines built, and each data line read back as a
// polling station would read it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "device_line.h"
#include "grid_buffer.h"
#include "logs.h"
#include "numbers.h"
#include "reading.h"
#include "require.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

const char* const kStamp = "2024-05-17-09-41-07";

// Every channel ends either as a sentinel or as a finite temperature below 1e9 in magnitude.
bool sound_value(double v) {
    return v == NSENS_VALUE || v == ERROR_VALUE || (std::isfinite(v) && std::fabs(v) < 1e9);
}

void check_accepted_line(const std::string& data, const Reading& r, const FaultList& faults) {
    require(data.size() <= 1022, "a data line holds at most 1022 characters");
    require(data.compare(0, 24, std::string("125 ") + kStamp + " ") == 0, "seconds and stamp lead");
    require(r.tm_time.size() <= 8, "the device time holds at most 8 characters");
    require(data.compare(24, r.tm_time.size(), r.tm_time) == 0, "the device time follows the stamp");
    require(faults.err_message.size() <= 39, "twelve fault items take at most 39 characters");
    for (double v : r.values) require(sound_value(v), "values are temperatures or sentinels");

    Reading numbers_only = r;
    numbers_only.tm_time.clear();
    const std::string rows = text_log_row(numbers_only) + csv_log_row(numbers_only);
    require(rows.find("inf") == std::string::npos && rows.find("nan") == std::string::npos,
            "no non-number reaches the logs");
    GridBuffer grid;
    update(grid);
    put_newest_row(grid, grid_row(r, false));

    // A device time of eight printable non-blank characters keeps the tokens in place, so a
    // polling station reads the same faults and, to two decimals, the same values.
    if (r.tm_time.size() != 8) return;
    for (char c : r.tm_time)
        if (is_space(c) || c == '\0') return;
    Reading back;
    FaultList back_faults;
    parse_data_line(data, back, back_faults);
    require(back.sec == 125 && back.sys_stamp == kStamp && back.tm_time == r.tm_time,
            "the stamps read back");
    require(back_faults.err_message == faults.err_message, "the fault list reads back");
    for (int k = 0; k < NCHAN; ++k) {
        if (r.values[k] == ERROR_VALUE || r.values[k] == NSENS_VALUE) continue;
        if (fixed2(r.values[k]).size() > 11) continue;  // a reader takes 11 characters of a token
        require(std::fabs(back.values[k] - r.values[k]) <= 0.005 + 1e-9 * std::fabs(r.values[k]),
                "a value reads back to two decimals");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LineAssembler assembler;
    MeterState meter;
    FaultList faults;
    Reading reading;
    for (std::size_t i = 0; i < size; ++i) {
        if (!assembler.push(char(data[i]))) continue;
        const std::string_view line = assembler.line();
        require(line.size() <= LINE_CAPACITY, "a line holds at most 1023 bytes");
        if (accept_device_line(line, assembler.length(), meter.first_line_seen)) {
            require(assembler.length() >= 60 && assembler.length() <= LINE_CAPACITY,
                    "accepted lines are 60 to 1023 bytes long");
            require(line[0] != '<', "no accepted line begins with '<'");
            const std::string out = parse_device_line(line, 125, kStamp, reading, meter, faults);
            check_accepted_line(out, reading, faults);
        } else {
            meter.first_line_seen = true;
        }
        assembler.clear();
    }
    return 0;
}

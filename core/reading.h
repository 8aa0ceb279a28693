#pragma once
// One reading of the meter's twelve channels, its stamps, and its text forms: the channel
// texts, the data line that crosses between stations, and the grid row.
#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "faults.h"
#include "grid_buffer.h"

constexpr int NCHAN = 12;
constexpr double NSENS_VALUE = -999.0;  // no sensor on the channel
constexpr double ERROR_VALUE = -888.0;  // the sensor reports an error

enum class ValueClass { measurement, no_sensor, error };

struct Reading {
    std::int32_t sec = 0;        // serial: seconds since tm0; network: the reply's seconds
    std::string sys_stamp;       // YYYY-MM-DD-HH-MM-SS
    std::string sys_time;        // HH-MM-SS
    std::string tm_time;         // the meter's own time, at most 8 characters
    std::array<double, NCHAN> values;
    Reading() { values.fill(NSENS_VALUE); }
};

// Above -888 a measurement; below -900 no sensor; everything else (NaN too) an error.
ValueClass classify(double v);

// " %.2f" of a measurement, " N/SENS" or " ERROR".
std::string channel_text(double v);

// Sets sec (whole seconds from tm0 to tm, truncated), sys_stamp and sys_time from local time.
void take_stamps(std::time_t tm, std::time_t tm0, Reading& r);

// The local time of t; false when the platform cannot give it.
bool local_time(std::time_t t, std::tm& out);
// The time of day a stamp shows: its last 8 characters (HH-MM-SS), or the whole of a shorter one.
std::string sys_time_of(std::string_view sys_stamp);

// YYYY-MM-DD-HH-MM-SS of a broken-down time.
std::string format_stamp(const std::tm& t);

// The data line: "%ld %19s " seconds and stamp, the device time as it stands, then the
// twelve channel texts, each with its own leading blank; no line end.
std::string build_data_line(std::int32_t sec, std::string_view sys_stamp,
                            std::string_view device_time,
                            const std::array<std::string, NCHAN>& texts);

// Seconds, stamp, device time and the twelve channels.
constexpr std::size_t DATA_LINE_TOKENS = 15;

using DataLineTokens = std::array<std::string_view, DATA_LINE_TOKENS>;

// Splits a data line at white space as it is read; fills at most DATA_LINE_TOKENS tokens and
// returns how many it found.
std::size_t split_tokens(std::string_view s, DataLineTokens& tokens);

// Reads a data server's reply (text up to its first NUL) into r. Clears the fault list first
// and adds a fault for every channel token that is not a number and begins with 'E'.
void parse_data_line(std::string_view text, Reading& r, FaultList& faults);

// The fourteen texts of the newest grid row.
std::array<std::string, GRID_COLS> grid_row(const Reading& r, bool only_seconds);

// A polled reading counts only when its seconds pass the last accepted ones.
bool accept_polled(std::int32_t sec, std::int32_t& old_sec_stamp);

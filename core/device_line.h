#pragma once
// The meter's serial line: how the byte stream is cut into lines, which lines are
// measurements, and how a line's fixed columns become a reading and its data line.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "faults.h"
#include "reading.h"

constexpr std::size_t LINE_CAPACITY = 1023;  // bytes a line may hold before its line feed

// Gathers bytes up to a line feed. A carriage return belongs to the line. Bytes past the
// capacity are counted, not kept, so an over-long line can be recognised and dropped whole.
class LineAssembler {
public:
    // Takes one byte; true when it was the line feed that completed a line.
    bool push(char c) {
        if (c == '\n') return true;
        if (length_ < LINE_CAPACITY) buf_[length_] = c;
        if (length_ <= LINE_CAPACITY) ++length_;
        return false;
    }
    // The completed line's bytes (at most the capacity) and its true length (capped at
    // capacity + 1, which is enough to tell it is too long).
    std::string_view line() const { return {buf_.data(), length_ < LINE_CAPACITY ? length_ : LINE_CAPACITY}; }
    std::size_t length() const { return length_; }
    void clear() { length_ = 0; }

private:
    std::array<char, LINE_CAPACITY> buf_{};
    std::size_t length_ = 0;
};

// What lives as long as the serial reader: the first-line flag and the carried values.
struct MeterState {
    bool first_line_seen = false;
    std::array<double, NCHAN> carried;
    MeterState() { carried.fill(NSENS_VALUE); }
};

// False for the first line since the reader started, a line beginning with '<', a line of
// fewer than 60 bytes, and a line too long for the buffer.
bool accept_device_line(std::string_view line, std::size_t length, bool first_line_seen);

// Parses an accepted line taken at sec / sys_stamp into r (device time and values; the fault
// list is cleared and filled on the way) and returns its data line.
std::string parse_device_line(std::string_view line, std::int32_t sec, std::string_view sys_stamp,
                              Reading& r, MeterState& meter, FaultList& faults);

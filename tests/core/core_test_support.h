#pragma once
// Shared by the core tests: the worked example, time zones, scratch folders and file bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "device_line.h"
#include "reading.h"

namespace zktest {

// The worked example: a 93-character meter line, field by field.
inline std::string example_meter_line() {
    return std::string("00004521") + " " + "  23.45" + "  23.51" + "       " + " ******" +
           "  -1.50" + " 101.20" + "  22.00" + "       " + "  19.75" + "  20.10" + "  20.05" +
           "  20.00";
}

inline const char* const kExampleStamp = "2024-05-17-09-41-07";

inline const char* const kExampleDataLine =
    "125 2024-05-17-09-41-07 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS 19.75 "
    "20.10 20.05 20.00";

// The reading the worked example yields.
inline Reading example_reading() {
    Reading r;
    r.sec = 125;
    r.sys_stamp = kExampleStamp;
    r.sys_time = "09-41-07";
    r.tm_time = "00004521";
    r.values = {23.45, 23.51, NSENS_VALUE, ERROR_VALUE, -1.50, 101.20,
                22.00, NSENS_VALUE, 19.75, 20.10, 20.05, 20.00};
    return r;
}

// A meter line of twelve 7-character fields after the device time.
inline std::string meter_line(const std::string& device_time, const std::array<const char*, 12>& f) {
    std::string line = device_time + " ";
    for (const char* field : f) line += field;
    return line;
}

// The line end a text-mode stream writes for "\n".
inline std::string native_newlines(const std::string& s) {
#ifdef _WIN32
    std::string out;
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
#else
    return s;
#endif
}

// Sets the process's time zone for one test and puts the old one back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = std::string(old);
        set(tz);
    }
    ~ScopedTimeZone() { set(old_ ? old_->c_str() : ""); }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    static void set(const char* tz) {
#ifdef _WIN32
        _putenv((std::string("TZ=") + tz).c_str());
        _tzset();
#else
        if (*tz) setenv("TZ", tz, 1);
        else unsetenv("TZ");
        tzset();
#endif
    }
    std::optional<std::string> old_;
};

// The calendar time of a local date and time.
inline std::time_t local_time_of(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("zkcore-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A file's bytes exactly as they lie on disk.
inline std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Feeds bytes to the meter line path the way the serial reader does: every line feed ends a
// line, a rejected line marks the first line as seen, and the buffer is emptied after each.
class MeterFeed {
public:
    // Data lines of the accepted lines among the bytes.
    std::vector<std::string> feed(const std::string& bytes, std::int32_t sec = 125,
                                  const std::string& stamp = kExampleStamp) {
        std::vector<std::string> out;
        for (char c : bytes) {
            if (!assembler.push(c)) continue;
            if (accept_device_line(assembler.line(), assembler.length(), meter.first_line_seen)) {
                out.push_back(parse_device_line(assembler.line(), sec, stamp, reading, meter, faults));
            } else {
                meter.first_line_seen = true;
            }
            assembler.clear();
        }
        return out;
    }
    LineAssembler assembler;
    MeterState meter;
    FaultList faults;
    Reading reading;
};

}  // namespace zktest

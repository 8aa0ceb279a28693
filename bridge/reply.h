#pragma once
// A data server's reply as the bridge reads it, and the JSON and texts it publishes of a
// reading. Pure.
#include <string>
#include <string_view>

#include "reading.h"

// A reply is at most 1023 bytes: what a monitor takes in its one receive of 1024 into a zeroed
// buffer. A longer one has no end the monitor could see, so the bridge refuses it.
constexpr std::size_t MAX_REPLY = 1023;

struct ParsedReply {
    bool readable = false;
    Reading reading;  // the fields as the reply held them (Windows-1251 bytes)
};

// Reads the reply's text up to its first NUL as a data line. It is unreadable when it is
// longer than MAX_REPLY, when its seconds read as 0 (no leading number, "NO DATA") or when it
// has no stamp token.
ParsedReply read_reply(std::string_view bytes);

// "ok", "nsens" or "error", by the classification of the value.
const char* channel_status(double v);

// The monitor's channel text without its leading blank: "23.45", "N/SENS" or "ERROR".
std::string channel_payload(double v);

// {"seconds":..,"stamp":..,"device_time":..,"channels":{"T1":{"value":..,"status":..},..}}
// A measurement is written as its "%.2f" text, any other value as null; the stamp and device
// time are decoded from Windows-1251.
std::string state_json(const Reading& r);

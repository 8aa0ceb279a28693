#pragma once
// A data server's reply as the bridge reads it, and the JSON and texts it publishes of a
// reading. Pure.
#include <cstddef>
#include <string>
#include <string_view>

#include "messages.h"
#include "reading.h"

// A reply longer than MAX_REPLY has no end a monitor could see, so the bridge refuses it.

enum class ReplyProblem {
    none,
    too_long,        // more than MAX_REPLY bytes before any NUL
    no_seconds,      // no leading number, or 0 ("NO DATA")
    missing_tokens,  // fewer than the data line's fifteen tokens
};

struct ParsedReply {
    bool readable = false;
    ReplyProblem problem = ReplyProblem::none;
    std::size_t tokens = 0;  // how many of the fifteen tokens the reply held
    Reading reading;         // the fields as the reply held them (Windows-1251 bytes)
};

// How many blank-separated tokens the text up to its first NUL holds, counting at most
// DATA_LINE_TOKENS.
std::size_t count_tokens(std::string_view bytes);

// Reads the reply's text up to its first NUL as a data line. Channel tokens mean what they
// mean to the monitor, except that a number that is not finite (inf, nan) is an error: it is
// no temperature, and must never reach JSON or the metrics as one.
ParsedReply read_reply(std::string_view bytes);

// Why a reply is unreadable, for the log: "lacks ... (4 of 15 tokens)" and the like.
std::string problem_text(const ParsedReply& p);

// "ok", "nsens" or "error", by the classification of the value.
const char* channel_status(double v);

// The monitor's channel text without its leading blank: "23.45", "N/SENS" or "ERROR".
std::string channel_payload(double v);

// {"seconds":..,"stamp":..,"device_time":..,"channels":{"T1":{"value":..,"status":..},..}}
// A measurement is written as its "%.2f" text, any other value as null; the stamp and device
// time are decoded from Windows-1251.
std::string state_json(const Reading& r);

#include "reply.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "faults.h"
#include "numbers.h"
#include "text.h"

std::size_t count_tokens(std::string_view bytes) {
    DataLineTokens tokens;
    return split_tokens(c_text(bytes), tokens);
}

ParsedReply read_reply(std::string_view bytes) {
    ParsedReply p;
    if (bytes.size() > MAX_REPLY) {
        p.problem = ReplyProblem::too_long;
        return p;
    }
    DataLineTokens tokens;
    p.tokens = split_tokens(c_text(bytes), tokens);
    FaultList faults;  // the bridge raises no alert; the fault list only serves the parser
    parse_data_line(bytes, p.reading, faults);
    if (p.reading.sec == 0) {
        p.problem = ReplyProblem::no_seconds;
        return p;
    }
    if (p.tokens < DATA_LINE_TOKENS) {
        p.problem = ReplyProblem::missing_tokens;
        return p;
    }
    // The monitor shows such a token as no sensor; a sensor that sends it is in error.
    for (int k = 0; k < NCHAN; ++k) {
        const ScannedNumber n = scan_number(tokens[3 + k].substr(0, 11));  // the monitor's field
        if (n.ok && !std::isfinite(n.value)) p.reading.values[k] = ERROR_VALUE;
    }
    p.readable = true;
    return p;
}

std::string problem_text(const ParsedReply& p) {
    switch (p.problem) {
    case ReplyProblem::none: return "readable";
    case ReplyProblem::too_long: return "longer than " + std::to_string(MAX_REPLY) + " bytes";
    case ReplyProblem::no_seconds: return "no seconds (no leading number, or 0)";
    case ReplyProblem::missing_tokens: break;
    }
    return "lacks tokens of the data line (" + std::to_string(p.tokens) + " of " +
           std::to_string(DATA_LINE_TOKENS) + ")";
}

const char* channel_status(double v) {
    switch (classify(v)) {
    case ValueClass::measurement: return "ok";
    case ValueClass::no_sensor: return "nsens";
    case ValueClass::error: break;
    }
    return "error";
}

std::string channel_payload(double v) { return channel_text(v).substr(1); }

namespace {
std::string json_text(std::string_view cp1251) {
    return nlohmann::json(from_cp1251(cp1251)).dump();
}
}  // namespace

std::string state_json(const Reading& r) {
    // Written by hand: a JSON library would print 22.00 as 22.0, and the value's text is the
    // monitor's own.
    std::string j = "{\"seconds\":";
    append_padded(j, r.sec, 0);
    j += ",\"stamp\":" + json_text(r.sys_stamp);
    j += ",\"device_time\":" + json_text(r.tm_time);
    j += ",\"channels\":{";
    for (int k = 0; k < NCHAN; ++k) {
        const double v = r.values[k];
        if (k) j += ',';
        j += "\"T";
        append_padded(j, k + 1, 0);
        j += "\":{\"value\":";
        j += classify(v) == ValueClass::measurement ? fixed2(v) : "null";
        j += ",\"status\":\"";
        j += channel_status(v);
        j += "\"}";
    }
    j += "}}";
    return j;
}

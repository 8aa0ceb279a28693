#include "reply.h"

#include <nlohmann/json.hpp>

#include "faults.h"
#include "numbers.h"
#include "text.h"

ParsedReply read_reply(std::string_view bytes) {
    ParsedReply p;
    if (bytes.size() > MAX_REPLY) return p;
    FaultList faults;  // the bridge raises no alert; the fault list only serves the parser
    parse_data_line(bytes, p.reading, faults);
    // A fresh reading has an empty stamp, so an empty one means the token was missing.
    p.readable = p.reading.sec != 0 && !p.reading.sys_stamp.empty();
    return p;
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

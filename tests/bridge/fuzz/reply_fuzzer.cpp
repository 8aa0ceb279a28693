// Arbitrary replies of a data server, up to one byte past the longest, through the bridge's
// path: the reply read, the station's rules, the state JSON, the topics and the views.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "exposition.h"
#include "reply.h"
#include "require.h"
#include "station_status.h"
#include "topics.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    StationStatus s;
    const PollChange c = apply_exchange(s, {Transport::replied, reply}, 1.0, 60);
    require(s.availability == Availability::online, "any reply means the station is up");
    if (!c.new_reading) {
        require(c.result == PollResult::unreadable, "a first reply is new or unreadable");
        require(!s.has_reading, "an unreadable reply is not kept");
        return 0;
    }
    require(size <= MAX_REPLY, "no over-long reply is read");

    // The state JSON is valid, in its fixed order, and every value keeps its printed text.
    const auto j = nlohmann::ordered_json::parse(s.last_state);  // throws (and fails) if invalid
    require(j.size() == 4 && j.begin().key() == "seconds", "four keys, seconds first");
    require(j["seconds"] == s.last.sec && s.last.sec != 0, "the seconds are the reply's");
    require(j["channels"].size() == NCHAN, "twelve channels");
    int k = 0;
    for (const auto& [name, ch] : j["channels"].items()) {
        require(name == "T" + std::to_string(k + 1), "channels in order");
        const std::string status = ch["status"];
        require(status == channel_status(s.last.values[k]), "status by the classification");
        require(ch["value"].is_null() == (status != "ok"), "a value only for a measurement");
        ++k;
    }

    const auto m = reading_messages("zk47", "a", s.last, s.last_state);
    for (const auto& msg : m) require(!msg.payload.empty(), "no payload is empty");

    require(apply_exchange(s, {Transport::replied, reply}, 2.0, 60).result == PollResult::unchanged,
            "the same reply again is unchanged");
    const std::string metrics = metrics_text({{"a", s}}, {});
    require(metrics.find("nan\n") == std::string::npos && metrics.find("inf\n") == std::string::npos,
            "no non-number in the metrics");
    (void)nlohmann::json::parse(stations_json({{"a", s}}));
    return 0;
}

// The bridge's pure parts: the reply and its JSON, the station rules, the topics, the HTTP
// views, the command line and the fleet's announcements.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include <sys/stat.h>

#include "exposition.h"
#include "fleet.h"
#include "logging.h"
#include "options.h"
#include "reply.h"
#include "shard.h"
#include "station_status.h"
#include "topics.h"

namespace {

const std::string kLine =
    "125 2024-05-17-09-41-07 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS 19.75 "
    "20.10 20.05 20.00";
const std::string kState =
    "{\"seconds\":125,\"stamp\":\"2024-05-17-09-41-07\",\"device_time\":\"00004521\","
    "\"channels\":{\"T1\":{\"value\":23.45,\"status\":\"ok\"},"
    "\"T2\":{\"value\":23.51,\"status\":\"ok\"},\"T3\":{\"value\":null,\"status\":\"nsens\"},"
    "\"T4\":{\"value\":null,\"status\":\"error\"},\"T5\":{\"value\":-1.50,\"status\":\"ok\"},"
    "\"T6\":{\"value\":101.20,\"status\":\"ok\"},\"T7\":{\"value\":22.00,\"status\":\"ok\"},"
    "\"T8\":{\"value\":null,\"status\":\"nsens\"},\"T9\":{\"value\":19.75,\"status\":\"ok\"},"
    "\"T10\":{\"value\":20.10,\"status\":\"ok\"},\"T11\":{\"value\":20.05,\"status\":\"ok\"},"
    "\"T12\":{\"value\":20.00,\"status\":\"ok\"}}}";

Exchange replied(const std::string& bytes) { return {Transport::replied, bytes}; }
Exchange failed(Transport t) { return {t, ""}; }

std::string line_with(int sec, const std::string& stamp) {
    return std::to_string(sec) + " " + stamp + kLine.substr(kLine.find(" 00004521"));
}

}  // namespace

// ---- The reply and its JSON ----

TEST(BridgeReply, WorkedExampleGivesTheStateJsonByteForByte) {
    const ParsedReply p = read_reply(kLine);
    ASSERT_TRUE(p.readable);
    EXPECT_EQ(state_json(p.reading), kState);
    // The reply as the data server sends it, with the NUL a client might leave after it.
    EXPECT_EQ(state_json(read_reply(kLine + std::string("\0junk", 5)).reading), kState);
}

TEST(BridgeReply, UnreadableWithoutSecondsOrAnyTokenOrWhenTooLong) {
    EXPECT_EQ(read_reply("NO DATA").problem, ReplyProblem::no_seconds);
    EXPECT_FALSE(read_reply("").readable);
    EXPECT_EQ(read_reply(line_with(0, "2024-05-17-09-41-07")).problem, ReplyProblem::no_seconds);
    EXPECT_FALSE(read_reply("130").readable);   // no stamp token
    EXPECT_FALSE(read_reply("130   ").readable);
    EXPECT_TRUE(read_reply(line_with(-5, "s")).readable);  // only 0 seconds are unreadable

    // A reply cut anywhere before its last token lacks tokens, wherever the cut falls; the
    // monitor would take such a reply with the missing channels as N/SENS.
    for (std::size_t cut = 1; cut < kLine.rfind(' '); ++cut) {
        const ParsedReply p = read_reply(kLine.substr(0, cut));
        EXPECT_FALSE(p.readable) << cut;
        if (kLine[cut] == ' ' && kLine.find(' ') < cut) {
            EXPECT_EQ(p.problem, ReplyProblem::missing_tokens) << cut;
            EXPECT_EQ(problem_text(p), "lacks tokens of the data line (" +
                                           std::to_string(count_tokens(kLine.substr(0, cut))) +
                                           " of 15)");
        }
    }
    // Tokens after the fifteenth are ignored, and the NUL ends the text.
    EXPECT_EQ(state_json(read_reply(kLine + " 99.00 junk").reading), kState);
    const std::size_t t2 = kLine.find(" 23.51");
    EXPECT_EQ(read_reply(kLine.substr(0, t2) + '\0' + kLine.substr(t2)).tokens, 4u);

    std::string longest = kLine;
    longest.resize(MAX_REPLY, ' ');
    EXPECT_TRUE(read_reply(longest).readable);
    EXPECT_EQ(read_reply(longest + " ").problem, ReplyProblem::too_long);  // 1024, no NUL
    EXPECT_FALSE(read_reply(std::string(1024, '7')).readable);
}

TEST(BridgeReply, StampAndDeviceTimeAreDecodedFromWindows1251AndEscaped) {
    // "время" in Windows-1251 as the device time, a quote, a backslash and a control byte.
    const std::string reply = "7 \xC2\xF0\"e\\m\x01 \xE2\xF0\xE5\xEC\xFF 1.00 N/SENS N/SENS" +
                              kLine.substr(kLine.find(" ERROR"));
    const ParsedReply p = read_reply(reply);
    ASSERT_TRUE(p.readable);
    const std::string j = state_json(p.reading);
    EXPECT_NE(j.find("\"stamp\":\"Вр\\\"e\\\\m\\u0001\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"device_time\":\"время\""), std::string::npos) << j;
    const auto parsed = nlohmann::json::parse(j);
    EXPECT_EQ(parsed["channels"]["T1"]["value"], 1.0);
    EXPECT_TRUE(parsed["channels"]["T2"]["value"].is_null());
    EXPECT_EQ(parsed["channels"]["T2"]["status"], "nsens");
}

TEST(BridgeReply, ChannelTokensMeanWhatTheMonitorShowsAndNonFiniteNumbersAreErrors) {
    const std::string head = "9 2024-05-17-09-41-07 00004521 ";
    const ParsedReply p =
        read_reply(head + "inf -INF nan 1e999 -1e999 Infinity 1e2 Err E5 e5 - -999.00");
    ASSERT_TRUE(p.readable);
    const char* status[] = {"error", "error", "error", "error", "error", "error",
                            "ok",    "error", "error", "nsens", "nsens", "nsens"};
    const auto j = nlohmann::json::parse(state_json(p.reading));
    for (int k = 0; k < NCHAN; ++k) {
        const auto& ch = j["channels"]["T" + std::to_string(k + 1)];
        EXPECT_EQ(ch["status"], status[k]) << k;
        EXPECT_EQ(ch["value"].is_null(), k != 6) << k;
    }
    EXPECT_EQ(channel_payload(p.reading.values[0]), "ERROR");
    StationStatus s;
    apply_exchange(s, replied(head + "inf nan 1 2 3 4 5 6 7 8 9 10"), 1, 60);
    const std::string m = metrics_text({{"a", s}}, {});
    EXPECT_EQ(m.find("inf\n"), std::string::npos);
    EXPECT_EQ(m.find("nan\n"), std::string::npos);
    EXPECT_NE(m.find("zk47_channel_status{station=\"a\",channel=\"T2\",status=\"error\"} 1"),
              std::string::npos);
}

TEST(BridgeReply, ValuesFollowTheClassificationAndKeepTwoDecimals) {
    Reading r;
    r.sec = 1;
    r.sys_stamp = "s";
    r.values = {-887.99, -888.0, -900.0, -900.01, -999.0, 0.0, -0.001, 1e6, 0.005, 2.675, 100, -1};
    const auto j = nlohmann::json::parse(state_json(r));
    const char* status[] = {"ok", "error", "error", "nsens", "nsens", "ok",
                            "ok", "ok",    "ok",    "ok",    "ok",    "ok"};
    for (int k = 0; k < NCHAN; ++k)
        EXPECT_EQ(j["channels"]["T" + std::to_string(k + 1)]["status"], status[k]) << k;
    const std::string text = state_json(r);
    for (const char* v : {"-887.99", "0.00", "-0.00", "1000000.00", "0.01", "2.67", "100.00"})
        EXPECT_NE(text.find(std::string("\"value\":") + v + ","), std::string::npos) << v;
    EXPECT_EQ(channel_payload(-888.0), "ERROR");
    EXPECT_EQ(channel_payload(-999.0), "N/SENS");
    EXPECT_EQ(channel_payload(22.0), "22.00");
}

// ---- Station rules ----

TEST(BridgeStation, NewReadingsBySecondsOrStampAndAStationRestartIsPublished) {
    StationStatus s;
    EXPECT_EQ(apply_exchange(s, replied(kLine), 10, 60).result, PollResult::ok);
    EXPECT_EQ(s.last_state, kState);
    EXPECT_EQ(s.last_reading_time, 10);
    const PollChange same = apply_exchange(s, replied(kLine), 11, 60);
    EXPECT_EQ(same.result, PollResult::unchanged);
    EXPECT_FALSE(same.new_reading);
    EXPECT_EQ(s.last_reading_time, 10);
    // The station restarted: fewer seconds than before, a new stamp.
    EXPECT_TRUE(apply_exchange(s, replied(line_with(3, "2024-05-17-10-00-00")), 12, 60)
                    .new_reading);
    EXPECT_EQ(s.last.sec, 3);
    // Same seconds, another stamp: new too.
    EXPECT_TRUE(apply_exchange(s, replied(line_with(3, "2024-05-17-10-00-01")), 13, 60)
                    .new_reading);
    EXPECT_EQ(s.polls[size_t(PollResult::ok)], 3u);
    EXPECT_EQ(s.polls[size_t(PollResult::unchanged)], 1u);
}

TEST(BridgeStation, OfflineAfterThreeFailedPollsInARowAndAnyReplyMeansOnline) {
    StationStatus s;
    EXPECT_TRUE(apply_exchange(s, replied("NO DATA"), 1, 60).availability_changed);
    EXPECT_EQ(s.availability, Availability::online);
    EXPECT_FALSE(apply_exchange(s, failed(Transport::refused), 2, 60).availability_changed);
    EXPECT_FALSE(apply_exchange(s, failed(Transport::timeout), 3, 60).availability_changed);
    // A reply, even unreadable, breaks the run of failures.
    EXPECT_EQ(apply_exchange(s, replied("junk"), 4, 60).result, PollResult::unreadable);
    EXPECT_FALSE(apply_exchange(s, failed(Transport::closed), 5, 60).availability_changed);
    EXPECT_FALSE(apply_exchange(s, failed(Transport::closed), 6, 60).availability_changed);
    const PollChange third = apply_exchange(s, failed(Transport::timeout), 7, 60);
    EXPECT_TRUE(third.availability_changed);
    EXPECT_EQ(s.availability, Availability::offline);
    EXPECT_FALSE(apply_exchange(s, failed(Transport::timeout), 8, 60).availability_changed);
    EXPECT_TRUE(apply_exchange(s, replied(kLine), 9, 60).availability_changed);
    EXPECT_EQ(s.polls[size_t(PollResult::unreadable)], 2u);
    EXPECT_EQ(s.polls[size_t(PollResult::refused)], 1u);
    EXPECT_EQ(s.polls[size_t(PollResult::timeout)], 3u);
    EXPECT_EQ(s.polls[size_t(PollResult::closed)], 2u);
    EXPECT_TRUE(s.has_reading);
    EXPECT_EQ(s.last.sec, 125);
}

TEST(BridgeStation, StaleWhenTheReadingStopsChangingAndLiveAgainAtTheNextOne) {
    StationStatus s;
    EXPECT_EQ(apply_exchange(s, replied(kLine), 100, 10).note, "");  // the start line lists it
    EXPECT_FALSE(apply_exchange(s, replied(kLine), 109, 10).availability_changed);
    const PollChange stale = apply_exchange(s, replied(kLine), 110, 10);
    EXPECT_TRUE(stale.availability_changed);
    EXPECT_EQ(s.availability, Availability::stale);
    EXPECT_EQ(stale.note, "stale: no new reading for 10 s, the last has seconds 125");
    EXPECT_EQ(stale.priority, Priority::warning);
    EXPECT_FALSE(apply_exchange(s, replied(kLine), 111, 10).availability_changed);
    const PollChange live = apply_exchange(s, replied(line_with(126, "s")), 112, 10);
    EXPECT_TRUE(live.new_reading && live.availability_changed);
    EXPECT_EQ(s.availability, Availability::online);
    EXPECT_EQ(live.note, "online: reading with seconds 126");

    // Failures take a stale station offline as any other; back with the same reading, it is
    // stale at once.
    apply_exchange(s, replied(kLine), 113, 10);  // seconds 125 again: a new reading
    apply_exchange(s, replied(kLine), 124, 10);
    ASSERT_EQ(s.availability, Availability::stale);
    apply_exchange(s, failed(Transport::refused), 125, 10);
    apply_exchange(s, failed(Transport::refused), 126, 10);
    EXPECT_EQ(s.availability, Availability::stale);
    EXPECT_EQ(apply_exchange(s, failed(Transport::refused), 127, 10).note,
              "offline: 3 failed polls in a row, the last: connection refused or unreachable");
    EXPECT_EQ(s.availability, Availability::offline);
    apply_exchange(s, replied(kLine), 128, 10);
    EXPECT_EQ(s.availability, Availability::stale);

    // A station that never gives a reading is stale from its first poll on.
    StationStatus empty;
    EXPECT_EQ(apply_exchange(empty, replied("NO DATA"), 50, 10).note,
              "unreadable replies: 'NO DATA' no seconds (no leading number, or 0)");
    apply_exchange(empty, failed(Transport::timeout), 55, 10);
    EXPECT_EQ(apply_exchange(empty, replied("NO DATA"), 60, 10).note,
              "stale: no new reading for 10 s, none yet; 'NO DATA' no seconds (no leading "
              "number, or 0)");
}

TEST(BridgeStation, JunkAndCutRepliesAreToldWhenTheyStartThenOnceAMinute) {
    StationStatus s;
    apply_exchange(s, replied(kLine), 0, 1000);
    // A reply still arriving at the time limit counts as a timeout and shows what came.
    const PollChange cut = apply_exchange(s, {Transport::timeout, kLine.substr(0, 50)}, 5, 1000);
    EXPECT_EQ(cut.result, PollResult::timeout);
    EXPECT_FALSE(cut.new_reading);
    EXPECT_EQ(cut.priority, Priority::warning);
    EXPECT_EQ(cut.note, "unreadable replies: reply incomplete at the time limit, 50 bytes: "
                        "'125 2024-05-17-09-41-07 00004521 23.45 23.51 N/SEN'");
    EXPECT_EQ(apply_exchange(s, replied("x\n1"), 10, 1000).note, "");  // within the minute
    EXPECT_EQ(apply_exchange(s, replied(kLine), 15, 1000).note, "replies readable again");
    EXPECT_EQ(apply_exchange(s, replied("x\n1"), 20, 1000).note, "");
    EXPECT_EQ(apply_exchange(s, replied(kLine), 21, 1000).note, "");  // the junk was not told
    EXPECT_EQ(apply_exchange(s, replied("x\n1"), 22, 1000).note, "");
    EXPECT_EQ(apply_exchange(s, replied("x\n1"), 65, 1000).note,
              "unreadable replies go on: 'x\\x0a1' no seconds (no leading number, or 0) "
              "(3 more since the last line)");
    EXPECT_EQ(apply_exchange(s, replied("x"), 70, 1000).note, "");
    EXPECT_EQ(apply_exchange(s, replied(kLine), 75, 1000).note, "replies readable again");
    // After a minute, junk that starts again is told again.
    EXPECT_EQ(apply_exchange(s, replied("x"), 130, 1000).note,
              "unreadable replies: 'x' no seconds (no leading number, or 0) "
              "(1 more since the last line)");
    // The offline line names the cut reply once.
    apply_exchange(s, failed(Transport::closed), 131, 1000);
    apply_exchange(s, failed(Transport::closed), 132, 1000);
    EXPECT_EQ(apply_exchange(s, {Transport::timeout, "12"}, 137, 1000).note,
              "offline: 3 failed polls in a row, the last: reply incomplete at the time "
              "limit, 2 bytes: '12'");
    EXPECT_EQ(s.polls[size_t(PollResult::timeout)], 2u);
    EXPECT_EQ(s.polls[size_t(PollResult::unreadable)], 6u);
}

// ---- Topics ----

TEST(BridgeTopics, StateThenTwelveChannelTextsNeverEmpty) {
    const ParsedReply p = read_reply(kLine);
    const auto m = reading_messages("site/zk47", "a-1", p.reading, state_json(p.reading));
    ASSERT_EQ(m.size(), 13u);
    EXPECT_EQ(m[0].topic, "site/zk47/a-1/state");
    EXPECT_EQ(m[0].payload, kState);
    const char* texts[] = {"23.45", "23.51", "N/SENS", "ERROR", "-1.50", "101.20",
                           "22.00", "N/SENS", "19.75",  "20.10", "20.05", "20.00"};
    for (int k = 0; k < NCHAN; ++k) {
        EXPECT_EQ(m[1 + k].topic, "site/zk47/a-1/T" + std::to_string(k + 1));
        EXPECT_EQ(m[1 + k].payload, texts[k]);
    }
}

TEST(BridgeTopics, WithoutChannelTopicsTheStateGoesAlone) {
    const ParsedReply p = read_reply(kLine);
    const auto m = reading_messages("zk47", "a", p.reading, kState, false);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].topic, "zk47/a/state");
    EXPECT_EQ(m[0].payload, kState);
    EXPECT_EQ(m[0].retention, Retention::kept);
}

TEST(BridgeTopics, DiscoveryConfigPerChannelWithBothAvailabilityTopics) {
    const BridgeIdentity bridge{"zk47", "hall-2", "1.2.3"};
    const auto m = discovery_messages(bridge, "north");
    ASSERT_EQ(m.size(), 12u);
    EXPECT_EQ(m[4].topic, "homeassistant/sensor/zk47_north_t5/config");
    const auto c = nlohmann::json::parse(m[4].payload);
    EXPECT_EQ(c["device_class"], "temperature");
    EXPECT_EQ(c["unit_of_measurement"], "°C");
    EXPECT_EQ(c["suggested_display_precision"], 2);
    EXPECT_EQ(c["state_topic"], "zk47/north/state");
    EXPECT_EQ(c["value_template"], "{{ value_json.channels.T5.value }}");
    EXPECT_EQ(c["unique_id"], "zk47_north_t5");
    EXPECT_EQ(c["default_entity_id"], "sensor.zk47_north_t5");
    EXPECT_FALSE(c.contains("object_id"));
    EXPECT_EQ(c["availability"][0]["topic"], "zk47/bridge/hall-2/availability");
    EXPECT_EQ(c["availability"][1]["topic"], "zk47/north/availability");
    EXPECT_EQ(c["availability_mode"], "all");
    EXPECT_EQ(c["device"], nlohmann::json::parse(
        R"({"identifiers":["zk47_north"],"name":"ZK-47 north","model":"ZK-47",)"
        R"("sw_version":"1.2.3","via_device":"zk47/bridge/hall-2"})"));
    EXPECT_EQ(c["origin"], nlohmann::json::parse(R"({"name":"zkbridge","sw_version":"1.2.3"})"));
}

TEST(BridgeTopics, DiscoveryIdsCarryThePrefixAndNeverMeet) {
    auto ids = [](const std::string& prefix, const std::string& station) {
        const auto c = nlohmann::json::parse(
            discovery_messages({prefix, "b", "1"}, station)[0].payload);
        return c["unique_id"].get<std::string>() + " " +
               c["device"]["identifiers"][0].get<std::string>() + " " +
               c["default_entity_id"].get<std::string>();
    };
    EXPECT_EQ(ids("site/Zk_4-7", "A-1"),
              "site-2FZk-5F4-2D7_A-1_t1 site-2FZk-5F4-2D7_A-1 sensor.site_2fzk_5f4_2d7_a_1_t1");
    // The prefix ends at the id's first '_', whatever the station is called.
    EXPECT_NE(ids("zk47", "2Fx_t1"), ids("zk47/x", "t1"));
    EXPECT_NE(ids("zk47", "_a"), ids("zk47_", "a"));
    EXPECT_EQ(discovery_messages({"site/zk47", "b", "1"}, "a")[0].topic,
              "homeassistant/sensor/site-2Fzk47_a_t1/config");
}

TEST(BridgeTopics, TheBridgeIsADeviceWithItsConnectionAndQueue) {
    const BridgeIdentity bridge{"site/zk47", "hall-2", "1.2.3"};
    EXPECT_EQ(bridge_availability_topic(bridge), "site/zk47/bridge/hall-2/availability");
    EXPECT_EQ(bridge_queue_topic(bridge), "site/zk47/bridge/hall-2/queue");
    const auto m = bridge_discovery_messages(bridge);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].topic, "homeassistant/binary_sensor/site-2Fzk47_bridge_hall-2_connected/config");
    EXPECT_EQ(m[1].topic, "homeassistant/sensor/site-2Fzk47_bridge_hall-2_queue/config");
    const auto link = nlohmann::json::parse(m[0].payload);
    EXPECT_EQ(link["state_topic"], "site/zk47/bridge/hall-2/availability");
    EXPECT_FALSE(link.contains("availability_topic"));  // it shows the bridge offline itself
    const auto queue = nlohmann::json::parse(m[1].payload);
    EXPECT_EQ(queue["state_topic"], "site/zk47/bridge/hall-2/queue");
    EXPECT_EQ(queue["availability_topic"], "site/zk47/bridge/hall-2/availability");
    EXPECT_EQ(queue["device"], link["device"]);
    EXPECT_EQ(link["device"]["identifiers"][0], "site/zk47/bridge/hall-2");
    // The station's device hangs off this one.
    EXPECT_EQ(nlohmann::json::parse(discovery_messages(bridge, "a")[0].payload)["device"]
                  ["via_device"], link["device"]["identifiers"][0]);
}

TEST(BridgeTopics, ARemovedStationGoesOfflineItsConfigsAreDeletedAndItsTopicsForgotten) {
    const auto m = removal_messages({"zk47", "b", "1"}, "a", true);
    ASSERT_EQ(m.size(), 1u + 12u + 13u);
    EXPECT_EQ(m[0].topic, "zk47/a/availability");
    EXPECT_EQ(m[0].payload, "offline");
    EXPECT_EQ(m[0].retention, Retention::once);
    for (int k = 1; k <= 12; ++k) {
        EXPECT_EQ(m[k].topic, "homeassistant/sensor/zk47_a_t" + std::to_string(k) + "/config");
        EXPECT_EQ(m[k].payload, "");
        EXPECT_EQ(m[k].retention, Retention::once);
    }
    EXPECT_EQ(m[13].topic, "zk47/a/state");
    EXPECT_EQ(m.back().topic, "zk47/a/T12");
    for (std::size_t i = 13; i < m.size(); ++i) EXPECT_EQ(m[i].retention, Retention::forget);
    EXPECT_EQ(removal_messages({"zk47", "b", "1"}, "a", false).size(), 1u + 13u);
}

// ---- HTTP views ----

TEST(BridgeViews, MetricsListOkValuesStatusesAndEveryPollResult) {
    StationStatus s;
    apply_exchange(s, replied(kLine), 1700000000.5, 60);
    apply_exchange(s, replied("NO DATA"), 1700000001, 60);
    StationStatus fresh;
    const std::string m = metrics_text({{"a", s}, {"b", fresh}}, {true, 7, 3, {{"a", 5}, {"gone", 2}}});
    const auto has = [&](const std::string& line) {
        return m.find("\n" + line + "\n") != std::string::npos;
    };
    EXPECT_TRUE(has("zk47_temperature_celsius{station=\"a\",channel=\"T7\"} 22.00"));
    EXPECT_EQ(m.find("zk47_temperature_celsius{station=\"a\",channel=\"T3\"}"), std::string::npos);
    EXPECT_TRUE(has("zk47_channel_status{station=\"a\",channel=\"T4\",status=\"error\"} 1"));
    EXPECT_TRUE(has("zk47_channel_status{station=\"a\",channel=\"T4\",status=\"ok\"} 0"));
    EXPECT_TRUE(has("zk47_channel_status{station=\"a\",channel=\"T3\",status=\"nsens\"} 1"));
    EXPECT_TRUE(has("zk47_reading_seconds{station=\"a\"} 125"));
    EXPECT_TRUE(has("zk47_last_reading_timestamp_seconds{station=\"a\"} 1700000000.500"));
    EXPECT_TRUE(has("zk47_up{station=\"a\"} 1"));
    EXPECT_TRUE(has("zk47_up{station=\"b\"} 0"));
    EXPECT_TRUE(has("zk47_polls_total{station=\"a\",result=\"unreadable\"} 1"));
    EXPECT_TRUE(has("zk47_polls_total{station=\"b\",result=\"closed\"} 0"));
    EXPECT_TRUE(has("# TYPE zk47_polls_total counter"));
    EXPECT_TRUE(has("zk47_bridge_mqtt_queued_messages 7"));
    EXPECT_TRUE(has("zk47_bridge_mqtt_dropped_messages_total 3"));
    // Every station of the fleet has its count, none other.
    EXPECT_TRUE(has("zk47_dropped_readings_total{station=\"a\"} 5"));
    EXPECT_TRUE(has("zk47_dropped_readings_total{station=\"b\"} 0"));
    EXPECT_EQ(m.find("station=\"gone\""), std::string::npos);
    EXPECT_EQ(m.find("station=\"b\",channel"), std::string::npos);  // no reading, no channels
    EXPECT_EQ(m.back(), '\n');
}

TEST(BridgeViews, StaleStationIsNotUpAndSaysSoAndTheVersionIsALabel) {
    StationStatus s;
    apply_exchange(s, replied(kLine), 1, 5);
    apply_exchange(s, replied(kLine), 6, 5);
    const std::string m = metrics_text({{"a", s}}, {});
    EXPECT_NE(m.find("\nzk47_up{station=\"a\"} 0\n"), std::string::npos);
    EXPECT_NE(m.find("\nzk47_stale{station=\"a\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("\nzk47_temperature_celsius{station=\"a\",channel=\"T1\"} 23.45\n"),
              std::string::npos);  // the last value stays, with its age beside it
    EXPECT_NE(m.find("\nzk47_bridge_build_info{version=\"" ZK47_VERSION "\"} 1\n"),
              std::string::npos);
    EXPECT_NE(stations_json({{"a", s}}).find("\"available\":false,\"state\":\"stale\""),
              std::string::npos);
}

TEST(BridgeViews, StationsJsonCarriesTheStateTopicTextOrNull) {
    StationStatus s;
    apply_exchange(s, replied(kLine), 1, 60);
    EXPECT_EQ(stations_json({{"a", s}, {"b", {}}}),
              "{\"stations\":[{\"name\":\"a\",\"available\":true,\"state\":\"online\",\"last\":" +
                  kState +
                  "},{\"name\":\"b\",\"available\":false,\"state\":\"unknown\",\"last\":null}]}");
}

// ---- Command line and stations file ----

TEST(BridgeOptions, DefaultsAndEveryOption) {
    Options o;
    std::string e;
    ASSERT_TRUE(parse_options({"--station", "a=127.0.0.1:5000"}, o, e)) << e;
    EXPECT_EQ(o.period, 5);
    EXPECT_EQ(o.mqtt.host, "127.0.0.1");
    EXPECT_EQ(o.mqtt.port, 1883);
    EXPECT_EQ(o.mqtt_prefix, "zk47");
    EXPECT_EQ(o.http.port, 9147);
    EXPECT_TRUE(o.discovery);
    EXPECT_EQ(o.bridge_id, "");
    ASSERT_TRUE(parse_options({"--station", "a_1=host.example:1", "--station", "B-2=10.0.0.2:65535",
                               "--stations-file", "f", "--period", "1", "--mqtt", "broker:8883",
                               "--mqtt-prefix", "site/zk", "--mqtt-user", "u",
                               "--mqtt-password-file", "p", "--mqtt-cafile", "ca",
                               "--http", "0.0.0.0:80", "--no-discovery", "--bridge-id", "hall_2-B"},
                              o, e)) << e;
    ASSERT_EQ(o.stations.size(), 2u);
    EXPECT_EQ(o.stations[1], (StationAddress{"B-2", "10.0.0.2", 65535}));
    EXPECT_EQ(o.mqtt.host, "broker");
    EXPECT_EQ(o.mqtt_prefix, "site/zk");
    EXPECT_FALSE(o.discovery);
    EXPECT_EQ(o.bridge_id, "hall_2-B");
    EXPECT_TRUE(parse_options({"--help"}, o, e));
    EXPECT_TRUE(o.help);
    EXPECT_TRUE(parse_options({"--version"}, o, e));
    EXPECT_TRUE(o.version);
}

TEST(BridgeOptions, ChannelTopicsAndShard) {
    Options o;
    std::string e;
    ASSERT_TRUE(parse_options({"--station", "a=1:1"}, o, e)) << e;
    EXPECT_TRUE(o.channel_topics);
    EXPECT_EQ(o.shard.index, 1);
    EXPECT_EQ(o.shard.count, 1);
    ASSERT_TRUE(parse_options({"--station", "a=1:1", "--channel-topics", "no", "--shard", "3/3"},
                              o, e)) << e;
    EXPECT_FALSE(o.channel_topics);
    EXPECT_EQ(o.shard.index, 3);
    EXPECT_EQ(o.shard.count, 3);
    ASSERT_TRUE(parse_options({"--station", "a=1:1", "--channel-topics", "yes", "--shard",
                               "1/1024"}, o, e)) << e;
    EXPECT_TRUE(o.channel_topics);
    EXPECT_EQ(o.shard.count, 1024);
    for (const char* bad : {"0/3", "4/3", "1/0", "1/1025", "1", "/3", "1/", "1/3x", "-1/3", "1//3",
                            "1 /3", ""}) {
        EXPECT_FALSE(parse_options({"--station", "a=1:1", "--shard", bad}, o, e)) << bad;
        EXPECT_NE(e.find("is not I/N"), std::string::npos) << e;
    }
    for (const char* bad : {"", "No", "false", "0"})
        EXPECT_FALSE(parse_options({"--station", "a=1:1", "--channel-topics", bad}, o, e)) << bad;
}

TEST(BridgeOptions, StaleAfterTenPeriodsAndAtLeastAMinuteUnlessGiven) {
    Options o;
    std::string e;
    ASSERT_TRUE(parse_options({"--station", "a=h:1"}, o, e));
    EXPECT_EQ(stale_after_seconds(o), 60);
    ASSERT_TRUE(parse_options({"--station", "a=h:1", "--period", "30"}, o, e));
    EXPECT_EQ(stale_after_seconds(o), 300);
    ASSERT_TRUE(
        parse_options({"--station", "a=h:1", "--period", "30", "--stale-after", "5"}, o, e));
    EXPECT_EQ(stale_after_seconds(o), 5);
    for (const char* bad : {"0", "-1", "1.5", "2592001", ""})
        EXPECT_FALSE(parse_options({"--station", "a=h:1", "--stale-after", bad}, o, e)) << bad;
    EXPECT_NE(e.find("--stale-after"), std::string::npos);
}

// ---- The log ----

TEST(BridgeLog, JournalLinesCarryThePriorityAndNoPeerCanStartALine) {
    EXPECT_EQ(log_line(Priority::warning, "station a: offline", true), "<4>station a: offline\n");
    EXPECT_EQ(log_line(Priority::error, "x", true), "<3>x\n");
    EXPECT_EQ(log_line(Priority::info, "station a: x", false), "zkbridge: station a: x\n");
    EXPECT_EQ(log_line(Priority::notice, "a\nb\r\x1b", false), "zkbridge: a\\x0ab\\x0d\\x1b\n");
    EXPECT_EQ(quoted_bytes("it's \xE2\x80", 40), "'it\\x27s \\xe2\\x80'");
    EXPECT_EQ(quoted_bytes(std::string(50, '7'), 3), "'777'...");
}

TEST(BridgeLog, TheJournalIsRecognisedByTheDeviceAndInodeOfTheOutput) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    struct stat st {};
    ASSERT_EQ(::fstat(fileno(f), &st), 0);
    const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    EXPECT_TRUE(is_journal_stream(mine.c_str(), fileno(f)));
    const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
    EXPECT_FALSE(is_journal_stream(other.c_str(), fileno(f)));  // inherited from elsewhere
    for (const char* bad : {"", ":", "12", "12:", "x:1", "1:2:3"})
        EXPECT_FALSE(is_journal_stream(bad, fileno(f))) << bad;
    EXPECT_FALSE(is_journal_stream(nullptr, fileno(f)));
    std::fclose(f);
}

TEST(BridgeOptions, BadArgumentsAreRefusedWithAMessage) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--station", "a b=127.0.0.1:1"},
        {"--station", "a/b=127.0.0.1:1"},
        {"--station", "<b>x</b>=127.0.0.1:1"},
        {"--station", std::string(33, 'a') + "=127.0.0.1:1"},
        {"--station", "=127.0.0.1:1"},
        {"--station", "a=127.0.0.1"},
        {"--station", "a=127.0.0.1:0"},
        {"--station", "a=127.0.0.1:65536"},
        {"--station", "a=127.0.0.1:12x"},
        {"--station", "a=:1"},
        {"--station", "a=1:1", "--station", "a=2:2"},
        {"--station", "a=1:1", "--period", "0"},
        {"--station", "a=1:1", "--period", "1.5"},
        {"--station", "a=1:1", "--mqtt-prefix", "zk/#"},
        {"--station", "a=1:1", "--mqtt-prefix", ""},
        {"--station", "a=1:1", "--mqtt-password-file", "p"},
        {"--station", "a=1:1", "--mqtt"},
        {"--station", "a=1:1", "--bogus"},
        {"--station", "bridge=1:1"},  // its topics would be the bridges' own
        {"--station", "a=1:1", "--bridge-id", ""},
        {"--station", "a=1:1", "--bridge-id", "a.b"},
        {"--station", "a=1:1", "--bridge-id", std::string(33, 'b')},
    };
    for (const auto& args : bad) {
        Options o;
        std::string e;
        EXPECT_FALSE(parse_options(args, o, e)) << (args.empty() ? "" : args.back());
        EXPECT_FALSE(e.empty());
    }
    Options o;
    std::string e;
    parse_options({"--station", "a b=127.0.0.1:1"}, o, e);
    EXPECT_NE(e.find("'a b'"), std::string::npos) << e;
    parse_options({"--station", "bridge=127.0.0.1:1"}, o, e);
    EXPECT_NE(e.find("'bridge' is kept for the bridges' own topics"), std::string::npos) << e;
    EXPECT_TRUE(valid_station_name("Bridge"));
    EXPECT_TRUE(valid_station_name("bridge2"));
}

TEST(BridgeOptions, TheDefaultBridgeIdIsTheHostNameReduced) {
    EXPECT_EQ(bridge_id_from_host("plant-7"), "plant-7");
    EXPECT_EQ(bridge_id_from_host("gw.plant.example"), "gw-plant-example");
    EXPECT_EQ(bridge_id_from_host(std::string(40, 'h')), std::string(32, 'h'));
    EXPECT_EQ(bridge_id_from_host(""), "zkbridge");
    EXPECT_TRUE(valid_bridge_id(bridge_id_from_host("\xD0\xB7 x")));
}

TEST(BridgeOptions, StationsFileWithCommentsAndLineNumbersInErrors) {
    std::vector<StationAddress> s;
    std::string e;
    ASSERT_TRUE(parse_stations_file("# plant\n\na=127.0.0.1:1  # hall\r\n  b=host:2\n", s, e)) << e;
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], (StationAddress{"a", "127.0.0.1", 1}));
    EXPECT_EQ(s[1], (StationAddress{"b", "host", 2}));
    EXPECT_FALSE(parse_stations_file("a=1:1\nb c=1:2\n", s, e));
    EXPECT_NE(e.find("line 2"), std::string::npos) << e;
    std::vector<StationAddress> merged;
    EXPECT_FALSE(merge_stations({{"a", "h", 1}}, {{"a", "h", 2}}, merged, e));
    EXPECT_NE(e.find("twice"), std::string::npos);
}

// ---- The fleet's announcements ----

namespace {

struct RecordingSink : MqttSink {
    std::vector<MqttMessage> sent;
    void publish(std::vector<MqttMessage> m) override {
        sent.insert(sent.end(), m.begin(), m.end());
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> t;
        for (const auto& m : sent) t.push_back(m.topic + " " + m.payload);
        return t;
    }
};

struct RecordingObserver : FleetObserver {
    std::vector<std::string> events;
    void on_reading(const std::string& n, const Reading& r, const std::string& state,
                    double) override {
        events.push_back("reading " + n + " " + std::to_string(r.sec) + " " +
                         (state == kState ? "state" : "other"));
    }
    void on_availability(const std::string& n, Availability a) override {
        events.push_back(n + " " + availability_name(a));
    }
    void on_station_removed(const std::string& n) override { events.push_back("removed " + n); }
};

}  // namespace

TEST(BridgeFleet, AnnouncesDiscoveryAvailabilityReadingsRemovalsAndStop) {
    RecordingSink sink;
    RecordingObserver seen;
    Fleet fleet({"zk47", "b1", "1.0"}, true, sink);
    fleet.add_observer(&seen);
    fleet.set_stations({"a", "b"});
    ASSERT_EQ(sink.sent.size(), 1u + 2u + 24u);
    EXPECT_EQ(sink.sent[0].topic, "zk47/bridge/b1/availability");
    EXPECT_EQ(sink.sent[0].payload, "online");
    EXPECT_EQ(sink.sent[1].topic, "homeassistant/binary_sensor/zk47_bridge_b1_connected/config");
    EXPECT_EQ(sink.sent[3].topic, "homeassistant/sensor/zk47_a_t1/config");
    for (const auto& m : sink.sent) EXPECT_EQ(m.retention, Retention::kept);

    sink.sent.clear();
    fleet.apply("a", replied(kLine), 1);
    fleet.apply("a", replied(kLine), 2);   // unchanged: nothing goes out
    fleet.apply("gone", replied(kLine), 3);  // not a station (any more): ignored
    ASSERT_EQ(sink.sent.size(), 14u);
    EXPECT_EQ(sink.sent[0].topic, "zk47/a/availability");  // online before the first state
    EXPECT_EQ(sink.sent[1].topic, "zk47/a/state");
    EXPECT_EQ(sink.sent[13].payload, "20.00");

    sink.sent.clear();
    fleet.set_stations({"b", "c"});  // a dropped, c added
    std::vector<MqttMessage> expected = discovery_messages({"zk47", "b1", "1.0"}, "c");
    for (const auto& m : removal_messages({"zk47", "b1", "1.0"}, "a", true)) expected.push_back(m);
    ASSERT_EQ(sink.sent.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(sink.sent[i].topic, expected[i].topic);
        EXPECT_EQ(sink.sent[i].payload, expected[i].payload);
        EXPECT_EQ(sink.sent[i].retention, expected[i].retention);
    }
    EXPECT_EQ(fleet.names(), (std::vector<std::string>{"b", "c"}));
    for (const auto& s : fleet.snapshot()) EXPECT_NE(s.name, "a");

    sink.sent.clear();
    fleet.announce_stop();
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{"zk47/b/availability offline",
                                                       "zk47/c/availability offline",
                                                       "zk47/bridge/b1/availability offline"}));
    EXPECT_EQ(seen.events, (std::vector<std::string>{"a online", "reading a 125 state",
                                                     "a offline", "removed a"}));
}

TEST(BridgeFleet, AStaleStationIsOfflineOnMqttOnceAndTheObserversTellStaleFromOffline) {
    RecordingSink sink;
    RecordingObserver seen;
    Fleet fleet({"zk47", "b1", "1.0"}, false, sink);
    fleet.add_observer(&seen);
    fleet.set_stale_after(10);
    fleet.set_stations({"a"});
    sink.sent.clear();
    fleet.apply("a", replied(kLine), 0);
    EXPECT_EQ(fleet.apply("a", replied(kLine), 10).note,
              "stale: no new reading for 10 s, the last has seconds 125");
    for (int t : {11, 12, 13}) fleet.apply("a", failed(Transport::refused), t);
    fleet.apply("a", replied(line_with(126, "s")), 14);
    std::vector<std::string> availability;
    for (const auto& m : sink.sent)
        if (m.topic == "zk47/a/availability") availability.push_back(m.payload);
    EXPECT_EQ(availability, (std::vector<std::string>{"online", "offline", "online"}));
    EXPECT_EQ(seen.events, (std::vector<std::string>{"a online", "reading a 125 state", "a stale",
                                                     "a offline", "a online",
                                                     "reading a 126 other"}));
    EXPECT_EQ(fleet.snapshot()[0].status.availability, Availability::online);
}

TEST(BridgeFleet, NoDiscoveryWhenTurnedOff) {
    RecordingSink sink;
    Fleet fleet({"zk47", "b1", "1.0"}, false, sink);
    fleet.set_stations({"a"});
    EXPECT_EQ(sink.sent.size(), 1u);
    fleet.set_stations({});
    EXPECT_EQ(sink.sent.size(), 1u + 1u + 13u);  // offline, and its topics forgotten
}

TEST(BridgeFleet, WithoutChannelTopicsAReadingIsOneMessage) {
    RecordingSink sink;
    Fleet fleet({"zk47", "b1", "1.0"}, false, sink);
    fleet.set_channel_topics(false);
    fleet.set_stations({"a"});
    sink.sent.clear();
    fleet.apply("a", replied(kLine), 1);
    fleet.apply("a", replied(line_with(126, "s")), 2);
    EXPECT_EQ(sink.lines().size(), 3u);  // online, then two states
    for (const auto& m : sink.sent) EXPECT_EQ(m.topic.find("/T"), std::string::npos) << m.topic;
}

// ---- Shards ----

TEST(BridgeShard, ScoresArePinnedSoEveryMachineAndRunAgree) {
    // Bridges on different machines and builds must agree on these numbers.
    EXPECT_EQ(shard_score("north", 1), 0x8c5fa5fdfc5cd772ULL);
    EXPECT_EQ(shard_score("north", 2), 0xe1728cc8965e7636ULL);
    EXPECT_EQ(shard_score("", 1), 0xfc30245581410856ULL);
    std::vector<int> shards;
    for (int i = 0; i < 12; ++i) shards.push_back(shard_of("s" + std::to_string(i), 3));
    EXPECT_EQ(shards, (std::vector<int>{1, 1, 1, 3, 3, 3, 1, 1, 3, 1, 2, 1}));
    EXPECT_EQ(shard_of("anything", 1), 1);
}

TEST(BridgeShard, EveryStationInExactlyOneShardAndTheShardsBalanced) {
    for (int n : {1, 2, 3, 7}) {
        std::vector<int> per_shard(n + 1, 0);
        for (int i = 0; i < 3000; ++i) {
            const std::string name = "st-" + std::to_string(i);
            int owners = 0;
            for (int k = 1; k <= n; ++k) owners += in_shard(name, {k, n});
            EXPECT_EQ(owners, 1) << name << " in " << n;
            ++per_shard[shard_of(name, n)];
        }
        // Within 15 % of an even share (about 5 standard deviations at 7 shards).
        for (int k = 1; k <= n; ++k) EXPECT_NEAR(per_shard[k], 3000.0 / n, 0.15 * 3000 / n);
    }
}

TEST(BridgeShard, GrowingByOneShardMovesStationsOnlyToTheNewShard) {
    int moved = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "st-" + std::to_string(i);
        const int before = shard_of(name, 3);
        const int after = shard_of(name, 4);
        if (after != before) {
            EXPECT_EQ(after, 4) << name;
            ++moved;
        }
    }
    EXPECT_NEAR(moved, 3000 / 4, 100);
}

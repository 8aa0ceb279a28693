#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core_test_support.h"
#include "device_line.h"
#include "logs.h"
#include "reading.h"

using zktest::example_meter_line;
using zktest::kExampleDataLine;
using zktest::meter_line;
using zktest::MeterFeed;

namespace {

// A feed that has already seen (and dropped) its first line.
MeterFeed started_feed() {
    MeterFeed feed;
    feed.feed("start\n");
    return feed;
}

const char* const kBlank = "       ";

// The data line's channel texts (everything after the device time).
std::string channels_of(const std::string& data_line) {
    const std::string head = std::string("125 ") + zktest::kExampleStamp + " ";
    return data_line.substr(head.size() + 8);
}

}  // namespace

// ---- Cutting the byte stream into lines ----

TEST(MeterLineCutting, LineFeedEndsALineAndACarriageReturnBelongsToIt) {
    LineAssembler a;
    for (char c : std::string("ab\rc")) EXPECT_FALSE(a.push(c));
    EXPECT_TRUE(a.push('\n'));
    EXPECT_EQ(a.line(), "ab\rc");
    EXPECT_EQ(a.length(), 4u);
    a.clear();
    EXPECT_EQ(a.line(), "");
}

TEST(MeterLineCutting, LineOfMoreThan1023BytesIsRecognisedAndOverflowsNothing) {
    LineAssembler a;
    for (int i = 0; i < 5000; ++i) a.push('7');
    EXPECT_TRUE(a.push('\n'));
    EXPECT_GT(a.length(), LINE_CAPACITY);
    EXPECT_EQ(a.line().size(), LINE_CAPACITY);
    a.clear();
    for (char c : std::string("next")) a.push(c);
    a.push('\n');
    EXPECT_EQ(a.line(), "next");  // nothing of the long line leaks into the next one
}

// ---- Which lines are measurements ----

TEST(MeterLineAcceptance, FirstCompleteLineIsDroppedEvenIfWellFormed) {
    EXPECT_FALSE(accept_device_line(example_meter_line(), 93, false));
    MeterFeed feed;
    const auto lines = feed.feed(example_meter_line() + "\n" + example_meter_line() + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], kExampleDataLine);
}

TEST(MeterLineAcceptance, LineBeginningWithLessThanIsDroppedWhateverItsLength) {
    const std::string line = "<" + example_meter_line().substr(1);
    EXPECT_FALSE(accept_device_line(line, line.size(), true));
    EXPECT_FALSE(accept_device_line("<", 1, true));
    MeterFeed feed = started_feed();
    EXPECT_TRUE(feed.feed(line + "\n").empty());
}

TEST(MeterLineAcceptance, FiftyNineCharactersAreDroppedAndSixtyTaken) {
    const std::string line = example_meter_line();
    EXPECT_FALSE(accept_device_line(line.substr(0, 59), 59, true));
    EXPECT_TRUE(accept_device_line(line.substr(0, 60), 60, true));
    MeterFeed feed = started_feed();
    EXPECT_TRUE(feed.feed(line.substr(0, 59) + "\n").empty());
    EXPECT_EQ(feed.feed(line.substr(0, 60) + "\n").size(), 1u);
}

TEST(MeterLineAcceptance, CarriageReturnCountsTowardTheLength) {
    MeterFeed feed = started_feed();
    EXPECT_EQ(feed.feed(example_meter_line().substr(0, 59) + "\r\n").size(), 1u);
    EXPECT_EQ(feed.feed(example_meter_line().substr(0, 58) + "\r\n").size(), 0u);
}

TEST(MeterLineAcceptance, LineOf1023BytesIsTakenAndALongerOneDroppedWhole) {
    const std::string longest = example_meter_line() + std::string(1023 - 93, ' ');
    EXPECT_TRUE(accept_device_line(longest, 1023, true));
    EXPECT_FALSE(accept_device_line(longest, 1024, true));
    MeterFeed feed = started_feed();
    const auto taken = feed.feed(longest + "\n");
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0], kExampleDataLine);
    EXPECT_TRUE(feed.feed(longest + " \n").empty());
    EXPECT_TRUE(feed.feed(longest + std::string(3000, '1') + "\n").empty());
}

TEST(MeterLineAcceptance, OverLongLineCountsAsARejectedFirstLine) {
    MeterFeed feed;
    EXPECT_TRUE(feed.feed(example_meter_line() + std::string(1000, ' ') + "\n").empty());
    EXPECT_TRUE(feed.meter.first_line_seen);
    EXPECT_EQ(feed.feed(example_meter_line() + "\n").size(), 1u);
}

TEST(MeterLineAcceptance, BufferIsEmptiedAfterEveryLine) {
    MeterFeed feed;
    const auto lines = feed.feed("<garbage\nshort\n" + example_meter_line() + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], kExampleDataLine);
}

// ---- Fields and markers ----

TEST(MeterLineFields, WorkedExampleGivesTheDataLineReadingAndFaultsByteForByte) {
    const std::string line = example_meter_line();
    ASSERT_EQ(line.size(), 93u);
    MeterState meter;
    FaultList faults;
    Reading r;
    const std::string data = parse_device_line(line, 125, zktest::kExampleStamp, r, meter, faults);
    EXPECT_EQ(data, kExampleDataLine);
    EXPECT_EQ(r.sec, 125);
    EXPECT_EQ(r.sys_stamp, zktest::kExampleStamp);
    EXPECT_EQ(r.sys_time, "09-41-07");
    EXPECT_EQ(r.tm_time, "00004521");
    const Reading want = zktest::example_reading();
    for (int k = 0; k < NCHAN; ++k) EXPECT_DOUBLE_EQ(r.values[k], want.values[k]) << "T" << k + 1;
    EXPECT_EQ(faults.err_message, "T4 ");
    EXPECT_TRUE(alert_due(faults));
}

TEST(MeterLineFields, StarInTheSixthCharacterIsAnErrorWhateverTheOthers) {
    MeterState meter;
    FaultList faults;
    Reading r;
    const std::string line = meter_line("00000001", {"12.34*6", "*****  ", "  1.0* ", kBlank, kBlank, kBlank,
                                                     kBlank, kBlank, kBlank, kBlank, kBlank, "      *"});
    const std::string data = parse_device_line(line, 125, zktest::kExampleStamp, r, meter, faults);
    EXPECT_EQ(r.values[0], ERROR_VALUE);
    EXPECT_EQ(r.values[1], NSENS_VALUE);  // stars, but a blank in the marker column
    EXPECT_EQ(r.values[2], ERROR_VALUE);
    EXPECT_EQ(r.values[11], NSENS_VALUE);
    EXPECT_EQ(faults.err_message, "T1 T3 ");
    EXPECT_EQ(channels_of(data),
              " ERROR N/SENS ERROR N/SENS N/SENS N/SENS N/SENS N/SENS N/SENS N/SENS N/SENS N/SENS");
}

TEST(MeterLineFields, UnreadableFieldKeepsThePreviousValueAndPrintsItAgain) {
    MeterFeed feed = started_feed();
    feed.feed(example_meter_line() + "\n");
    std::string line = example_meter_line();
    line.replace(9, 7, "  ---.-");
    const auto lines = feed.feed(line + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], kExampleDataLine);
    EXPECT_EQ(feed.reading.values[0], 23.45);
}

TEST(MeterLineFields, BeforeAnyValueWasReadAnUnreadableFieldIsNoSensor) {
    MeterState meter;
    FaultList faults;
    Reading r;
    std::string line = example_meter_line();
    line.replace(9, 7, "  ---.-");
    const std::string data = parse_device_line(line, 125, zktest::kExampleStamp, r, meter, faults);
    EXPECT_EQ(r.values[0], NSENS_VALUE);
    EXPECT_EQ(channels_of(data).substr(0, 8), " -999.00");
    EXPECT_EQ(grid_row(r, false)[2], " N/SENS");
}

TEST(MeterLineFields, NumberRunsOnIntoTheNextField) {
    MeterState meter;
    FaultList faults;
    Reading r;
    std::string line = example_meter_line();
    line.replace(16, 7, "6789.01");
    const std::string data = parse_device_line(line, 125, zktest::kExampleStamp, r, meter, faults);
    EXPECT_DOUBLE_EQ(r.values[0], 23.456789);
    EXPECT_DOUBLE_EQ(r.values[1], 6789.01);
    EXPECT_EQ(channels_of(data).substr(0, 15), " 23.46 6789.01 ");
}

TEST(MeterLineFields, Minus950IsANumberInTheDataLineButNoSensorInGridAndLogs) {
    MeterState meter;
    FaultList faults;
    Reading r;
    std::string line = example_meter_line();
    line.replace(9, 7, " -950.0");
    const std::string data = parse_device_line(line, 125, zktest::kExampleStamp, r, meter, faults);
    EXPECT_EQ(r.values[0], -950.0);
    EXPECT_EQ(channels_of(data).substr(0, 8), " -950.00");
    EXPECT_EQ(grid_row(r, false)[2], " N/SENS");
    EXPECT_NE(text_log_row(r).find("2024-05-17-09-41-07 00004521  -999.00 "), std::string::npos);
    EXPECT_NE(csv_log_row(r).find(";00004521;N/SENS;"), std::string::npos);
    EXPECT_EQ(faults.err_message, "T4 ");
}

TEST(MeterLineFields, MarkerColumnAtOrBeyondTheEndOfTheLineReadsAsNoSensor) {
    MeterFeed feed = started_feed();
    std::string full = example_meter_line();
    full.replace(58, 7, "  11.00");  // T8 measures
    feed.feed(full + "\n");
    EXPECT_EQ(feed.reading.values[7], 11.0);
    EXPECT_EQ(feed.reading.values[8], 19.75);

    // 64 characters: T8's marker (column 63) is the last one of the line.
    auto lines = feed.feed(full.substr(0, 64) + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(feed.reading.values[7], 11.0);
    EXPECT_EQ(channels_of(lines[0]),
              " 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 11.00 N/SENS N/SENS N/SENS N/SENS");
    for (int k = 8; k < NCHAN; ++k) EXPECT_EQ(feed.reading.values[k], NSENS_VALUE);

    // 63 characters: T8's marker lies beyond the end.
    lines = feed.feed(full.substr(0, 63) + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(feed.reading.values[7], NSENS_VALUE);
    EXPECT_EQ(channels_of(lines[0]).substr(0, 51), " 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS");
}

TEST(MeterLineFields, NonFiniteOrHugeNumberKeepsTheChannelsValue) {
    MeterFeed feed = started_feed();
    feed.feed(meter_line("00000001", {"   1.00", "   2.00", "   3.00", "   4.00", "   5.00", "   6.00",
                                      "   7.00", "   8.00", "   9.00", "  10.00", "  11.00", "  12.00"}) +
              "\n");
    const auto lines =
        feed.feed(meter_line("00000002", {"    inf", "    nan", "  1e+09", "-1.0e09", "  1e400", "  99999",
                                          "9999.99", "   -INF", "  nan()", "  -1e-5", "  1e308", "    INF"}) +
                  "\n");
    ASSERT_EQ(lines.size(), 1u);
    const auto& v = feed.reading.values;
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[1], 2.0);
    EXPECT_EQ(v[2], 3.0);  // exactly 1e9 is too large
    EXPECT_EQ(v[3], 4.0);
    EXPECT_EQ(v[4], 5.0);
    EXPECT_DOUBLE_EQ(v[5], 999999999.99);  // just below the limit, read across two fields
    EXPECT_DOUBLE_EQ(v[6], 9999.99);
    EXPECT_EQ(v[7], 8.0);
    EXPECT_EQ(v[8], 9.0);
    EXPECT_DOUBLE_EQ(v[9], -1e-5);
    EXPECT_EQ(v[10], 11.0);
    EXPECT_EQ(v[11], 12.0);
    EXPECT_EQ(channels_of(lines[0]),
              " 1.00 2.00 3.00 4.00 5.00 999999999.99 9999.99 8.00 9.00 -0.00 11.00 12.00");
    const std::string row = text_log_row(feed.reading);
    EXPECT_EQ(row.find("inf"), std::string::npos);
    EXPECT_EQ(row.find("nan"), std::string::npos);
}

TEST(MeterLineFields, DeviceTimeIsCopiedAsItStands) {
    MeterState meter;
    FaultList faults;
    Reading r;
    std::string line = example_meter_line();
    line.replace(0, 8, " 12:34 x");
    const std::string data = parse_device_line(line, 125, zktest::kExampleStamp, r, meter, faults);
    EXPECT_EQ(r.tm_time, " 12:34 x");
    const std::string want = std::string("125 ") + zktest::kExampleStamp + "  12:34 x 23.45 ";
    EXPECT_EQ(data.substr(0, want.size()), want);
}

TEST(MeterLineFields, FieldsAfterANulByteAreReadFromTheirOwnColumns) {
    MeterFeed feed = started_feed();
    // A previous line with other values, so that a carried value cannot pass for a read one.
    feed.feed(meter_line("00000001", {"  11.00", "  12.00", "  13.00", "  14.00", "  15.00", "  16.00",
                                      "  17.00", "  18.00", "  19.00", "  20.00", "  21.00", "  22.00"}) +
              "\n");
    std::string line = example_meter_line();
    line.replace(16, 7, std::string("  23\0" "51", 7));  // T2's marker is '5'
    const auto lines = feed.feed(line + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(feed.reading.values[0], 23.45);   // before the NUL
    EXPECT_EQ(feed.reading.values[1], 23.0);    // the NUL ends the number inside its field
    EXPECT_EQ(feed.reading.values[4], -1.50);   // after the NUL: read, not carried (15.00)
    EXPECT_EQ(feed.reading.values[5], 101.20);
    EXPECT_EQ(feed.reading.values[11], 20.00);
    EXPECT_EQ(feed.reading.values[3], ERROR_VALUE);
    EXPECT_EQ(feed.reading.tm_time, "00004521");
}

TEST(MeterLineFields, FaultListIsRebuiltForEveryLine) {
    MeterFeed feed = started_feed();
    feed.feed(example_meter_line() + "\n");
    EXPECT_EQ(feed.faults.err_message, "T4 ");
    std::string clean = example_meter_line();
    clean.replace(30, 7, "  21.00");
    feed.feed(clean + "\n");
    EXPECT_EQ(feed.faults.err_message, "");
    EXPECT_FALSE(alert_due(feed.faults));
    EXPECT_EQ(feed.faults.t_errors[3], 1);  // the latch stays until acknowledged
}

TEST(MeterLineFields, DigitsToTheEndOfTheBufferGiveAShortDataLine) {
    MeterFeed feed = started_feed();
    const auto lines = feed.feed(std::string(1023, '9') + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LE(lines[0].size(), 1022u);
    EXPECT_EQ(feed.reading.tm_time, "99999999");
    // Every field reads a number of hundreds of digits: none is a temperature.
    for (double v : feed.reading.values) EXPECT_EQ(v, NSENS_VALUE);
}

// The serial reader keeps the stamp taken at the line feed in the reading it parses into.
TEST(MeterLineFields, StampHeldByTheReadingItselfReachesTheDataLineIntact) {
    MeterState meter;
    FaultList faults;
    Reading r;
    r.sec = 125;
    r.sys_stamp = "2024-05-17-09-41-07";
    const std::string data = parse_device_line(example_meter_line(), r.sec, r.sys_stamp, r, meter, faults);
    EXPECT_EQ(data.substr(0, 33), "125 2024-05-17-09-41-07 00004521 ");
    EXPECT_EQ(r.sys_stamp, "2024-05-17-09-41-07");
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core_test_support.h"
#include "reading.h"

using zktest::example_reading;
using zktest::kExampleDataLine;
using zktest::kExampleStamp;

namespace {

std::array<std::string, NCHAN> example_texts() {
    return {" 23.45", " 23.51", " N/SENS", " ERROR", " -1.50", " 101.20",
            " 22.00", " N/SENS", " 19.75", " 20.10", " 20.05", " 20.00"};
}

Reading parsed(const std::string& text, FaultList& faults) {
    Reading r;
    parse_data_line(text, r, faults);
    return r;
}

Reading parsed(const std::string& text) {
    FaultList faults;
    return parsed(text, faults);
}

// A well-formed reply with the given channel tokens.
std::string reply_with(const std::string& channels) {
    return std::string("130 ") + kExampleStamp + " 00004521 " + channels;
}

}  // namespace

// ---- Classification and channel texts ----

TEST(ChannelValue, ThresholdsAreStrictAtMinus888AndMinus900) {
    EXPECT_EQ(classify(-887.99), ValueClass::measurement);
    EXPECT_EQ(classify(-888.0), ValueClass::error);
    EXPECT_EQ(classify(-900.0), ValueClass::error);
    EXPECT_EQ(classify(-900.01), ValueClass::no_sensor);
    EXPECT_EQ(classify(NSENS_VALUE), ValueClass::no_sensor);
    EXPECT_EQ(classify(ERROR_VALUE), ValueClass::error);
    EXPECT_EQ(classify(std::numeric_limits<double>::quiet_NaN()), ValueClass::error);
}

TEST(ChannelValue, TextsBeginWithABlank) {
    EXPECT_EQ(channel_text(-887.99), " -887.99");
    EXPECT_EQ(channel_text(-888.0), " ERROR");
    EXPECT_EQ(channel_text(-900.0), " ERROR");
    EXPECT_EQ(channel_text(-900.01), " N/SENS");
    EXPECT_EQ(channel_text(-950.0), " N/SENS");
    EXPECT_EQ(channel_text(101.2), " 101.20");
    EXPECT_EQ(channel_text(-1.5), " -1.50");
    EXPECT_EQ(channel_text(std::numeric_limits<double>::quiet_NaN()), " ERROR");
}

// ---- Building the data line ----

TEST(DataLine, WorkedExampleIsBuiltByteForByte) {
    EXPECT_EQ(build_data_line(125, kExampleStamp, "00004521", example_texts()), kExampleDataLine);
}

TEST(DataLine, ShortStampIsRightAlignedInNineteenAndALongOneKeptWhole) {
    std::array<std::string, NCHAN> texts;
    texts.fill(" N/SENS");
    const std::string short_line = build_data_line(-3, "09-41-07", "ABCDEFGH", texts);
    const std::string short_want = "-3 " + std::string(11, ' ') + "09-41-07 ABCDEFGH N/SENS";
    EXPECT_EQ(short_line.substr(0, short_want.size()), short_want);
    const std::string long_stamp(25, 'x');
    const std::string long_want = "1 " + long_stamp + " 12345678 N/SENS";
    EXPECT_EQ(build_data_line(1, long_stamp, "12345678", texts).substr(0, long_want.size()), long_want);
}

TEST(DataLine, DeviceTimeIsCopiedWithNoBlankAroundIt) {
    std::array<std::string, NCHAN> texts;
    texts.fill(" 1.00");
    const std::string line = build_data_line(5, kExampleStamp, "  12 :34", texts);
    EXPECT_EQ(line, std::string("5 ") + kExampleStamp + "   12 :34" +
                        " 1.00 1.00 1.00 1.00 1.00 1.00 1.00 1.00 1.00 1.00 1.00 1.00");
}

// ---- Stamps ----

TEST(Stamps, WorkedExampleMomentGivesItsStampTimeAndSeconds) {
    const std::time_t tm = zktest::local_time_of(2024, 5, 17, 9, 41, 7);
    Reading r;
    take_stamps(tm, tm - 125, r);
    EXPECT_EQ(r.sec, 125);
    EXPECT_EQ(r.sys_stamp, kExampleStamp);
    EXPECT_EQ(r.sys_time, "09-41-07");
}

TEST(Stamps, AreTakenInLocalTime) {
    const std::time_t tm = 1715938867;  // 2024-05-17 09:41:07 UTC
    Reading r;
    {
        zktest::ScopedTimeZone utc("UTC0");
        take_stamps(tm, tm, r);
        EXPECT_EQ(r.sys_stamp, "2024-05-17-09-41-07");
    }
    {
        zktest::ScopedTimeZone east("XYZ-3");
        take_stamps(tm, tm, r);
        EXPECT_EQ(r.sys_stamp, "2024-05-17-12-41-07");
        EXPECT_EQ(r.sys_time, "12-41-07");
    }
}

TEST(Stamps, EveryFieldButTheYearIsZeroPadded) {
    zktest::ScopedTimeZone utc("UTC0");
    Reading r;
    take_stamps(1709622489, 1709622489, r);  // 2024-03-05 07:08:09 UTC
    EXPECT_EQ(r.sys_stamp, "2024-03-05-07-08-09");
    EXPECT_EQ(r.sys_time, "07-08-09");
}

TEST(Stamps, SecondsAreTheDifferenceFromTheStartEvenBackwards) {
    Reading r;
    take_stamps(1000, 1000, r);
    EXPECT_EQ(r.sec, 0);
    take_stamps(1000, 1010, r);  // the clock was set back after the start
    EXPECT_EQ(r.sec, -10);
}

// ---- Reading a data line ----

TEST(ReadDataLine, WorkedExampleReadsBackIntoTheSameReading) {
    FaultList faults;
    const Reading r = parsed(kExampleDataLine, faults);
    const Reading want = example_reading();
    EXPECT_EQ(r.sec, 125);
    EXPECT_EQ(r.sys_stamp, kExampleStamp);
    EXPECT_EQ(r.sys_time, "09-41-07");
    EXPECT_EQ(r.tm_time, "00004521");
    for (int k = 0; k < NCHAN; ++k) EXPECT_DOUBLE_EQ(r.values[k], want.values[k]) << "T" << k + 1;
    EXPECT_EQ(faults.err_message, "T4 ");
}

TEST(ReadDataLine, TokensBeginningWithCapitalEAreErrors) {
    FaultList faults;
    const Reading r = parsed(reply_with("ERROR Err E5 1 1 1 1 1 1 1 1 E"), faults);
    EXPECT_EQ(r.values[0], ERROR_VALUE);
    EXPECT_EQ(r.values[1], ERROR_VALUE);
    EXPECT_EQ(r.values[2], ERROR_VALUE);
    EXPECT_EQ(r.values[11], ERROR_VALUE);
    EXPECT_EQ(faults.err_message, "T1 T2 T3 T12 ");
}

TEST(ReadDataLine, OtherNonNumbersAndMissingTokensAreNoSensor) {
    FaultList faults;
    const Reading r = parsed(reply_with("N/SENS - e5 error ."), faults);
    for (int k = 0; k < NCHAN; ++k) EXPECT_EQ(r.values[k], NSENS_VALUE) << "T" << k + 1;
    EXPECT_EQ(faults.err_message, "");
}

TEST(ReadDataLine, ANumberTokenIsNeverAFaultWhateverItsValue) {
    FaultList faults;
    const Reading r = parsed(reply_with("-999.00 -888.00 -950 1e2 -1.5 E"), faults);
    EXPECT_EQ(r.values[0], -999.0);
    EXPECT_EQ(r.values[1], -888.0);
    EXPECT_EQ(r.values[2], -950.0);
    EXPECT_EQ(r.values[3], 100.0);
    EXPECT_EQ(r.values[4], -1.5);
    EXPECT_EQ(faults.err_message, "T6 ");
    // -950 is shown as no sensor wherever the number is printed.
    EXPECT_EQ(grid_row(r, false)[4], " N/SENS");
}

TEST(ReadDataLine, InfiniteOrNanTokenIsNoNumber) {
    FaultList faults;
    const Reading r = parsed(reply_with("inf -INF nan 1e999 -1e999 Einf 0x1p3"), faults);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(r.values[k], NSENS_VALUE) << "T" << k + 1;
        EXPECT_TRUE(std::isfinite(r.values[k]));
    }
    EXPECT_EQ(r.values[5], ERROR_VALUE);
    EXPECT_EQ(r.values[6], 8.0);
    EXPECT_EQ(faults.err_message, "T6 ");
}

TEST(ReadDataLine, ReplyWithoutLeadingIntegerGivesZeroSecondsAndKeepsTheStamps) {
    Reading r;
    r.sys_stamp = "old-stamp-value";
    r.sys_time = "old-time";
    r.tm_time = "oldmeter";
    r.values.fill(12.0);
    FaultList faults;
    faults.err_message = "T1 ";
    parse_data_line("abc 2024-01-01-00-00-00 X E", r, faults);
    EXPECT_EQ(r.sec, 0);
    EXPECT_EQ(r.sys_stamp, "old-stamp-value");
    EXPECT_EQ(r.sys_time, "old-time");
    EXPECT_EQ(r.tm_time, "oldmeter");
    for (double v : r.values) EXPECT_EQ(v, NSENS_VALUE);
    EXPECT_EQ(faults.err_message, "");
    std::int32_t old_sec_stamp = 0;
    EXPECT_FALSE(accept_polled(r.sec, old_sec_stamp));
}

TEST(ReadDataLine, SecondsAloneGiveAllChannelsNoSensorAndKeepTheStamps) {
    Reading r;
    r.sys_stamp = kExampleStamp;
    r.sys_time = "09-41-07";
    r.tm_time = "00004521";
    r.values.fill(20.0);
    FaultList faults;
    parse_data_line("130", r, faults);
    EXPECT_EQ(r.sec, 130);
    EXPECT_EQ(r.sys_stamp, kExampleStamp);
    EXPECT_EQ(r.tm_time, "00004521");
    for (double v : r.values) EXPECT_EQ(v, NSENS_VALUE);
    std::int32_t old_sec_stamp = 125;
    EXPECT_TRUE(accept_polled(r.sec, old_sec_stamp));
}

TEST(ReadDataLine, SysTimeIsTheLastEightCharactersOfTheStamp) {
    EXPECT_EQ(parsed("1 2024-05-17-09-41-07-extra X").sys_time, "07-extra");
    EXPECT_EQ(parsed("1 12-34 X").sys_time, "12-34");
}

TEST(ReadDataLine, StampTokenIsKeptWhole) {
    const std::string stamp(600, 's');
    const Reading r = parsed("1 " + stamp + " 00004521 1 2");
    EXPECT_EQ(r.sys_stamp, stamp);
    EXPECT_EQ(r.tm_time, "00004521");
    EXPECT_EQ(r.values[1], 2.0);
}

TEST(ReadDataLine, DeviceTimeIsCutToEightCharacters) {
    EXPECT_EQ(parsed("1 s 0123456789AB 1").tm_time, "01234567");
}

TEST(ReadDataLine, LongChannelTokenIsCutToElevenCharactersBeforeItIsRead) {
    const Reading r = parsed(reply_with("100000000005 23.456789012345 -1234567890.5 1"));
    EXPECT_EQ(r.values[0], 10000000000.0);   // "10000000000"
    EXPECT_DOUBLE_EQ(r.values[1], 23.45678901);
    EXPECT_EQ(r.values[2], -1234567890.0);   // "-1234567890"
    EXPECT_EQ(r.values[3], 1.0);             // the next token is not disturbed
}

TEST(ReadDataLine, TokensAfterTheFifteenthAreIgnored) {
    FaultList faults;
    const Reading r = parsed(reply_with("1 2 3 4 5 6 7 8 9 10 11 12 E 99"), faults);
    EXPECT_EQ(r.values[11], 12.0);
    EXPECT_EQ(faults.err_message, "");
}

TEST(ReadDataLine, TextAfterTheFirstNulIsIgnored) {
    std::string reply = reply_with("1 2");
    reply += '\0';
    reply += " 3 4 E";
    FaultList faults;
    const Reading r = parsed(reply, faults);
    EXPECT_EQ(r.values[1], 2.0);
    EXPECT_EQ(r.values[2], NSENS_VALUE);
    EXPECT_EQ(faults.err_message, "");
}

TEST(ReadDataLine, AnyWhiteSpaceSeparatesTokens) {
    const Reading r = parsed(std::string("  7\t") + kExampleStamp + "\r\n00004521\v1.5\f-2");
    EXPECT_EQ(r.sec, 7);
    EXPECT_EQ(r.tm_time, "00004521");
    EXPECT_EQ(r.values[0], 1.5);
    EXPECT_EQ(r.values[1], -2.0);
}

TEST(ReadDataLine, BlankInsideTheDeviceTimeShiftsEveryLaterToken) {
    const Reading r = parsed(std::string("5 ") + kExampleStamp + " 0000 452 23.45 23.51");
    EXPECT_EQ(r.tm_time, "0000");
    EXPECT_EQ(r.values[0], 452.0);
    EXPECT_EQ(r.values[1], 23.45);
    EXPECT_EQ(r.values[2], 23.51);
}

TEST(ReadDataLine, LeadingBlanksOfTheDeviceTimeOnlyWidenTheGap) {
    const Reading r = parsed(std::string("5 ") + kExampleStamp + "    4521 23.45");
    EXPECT_EQ(r.tm_time, "4521");
    EXPECT_EQ(r.values[0], 23.45);
}

TEST(ReadDataLine, FaultListIsClearedBeforeTheReplyIsRead) {
    FaultList faults;
    parsed(reply_with("E E"), faults);
    EXPECT_EQ(faults.err_message, "T1 T2 ");
    parsed(reply_with("1 2"), faults);
    EXPECT_EQ(faults.err_message, "");
    EXPECT_EQ(faults.ShowErrorFlag, 0);
}

TEST(ReadDataLine, RepeatedReplyLatchesItsErrorsWithoutBeingAccepted) {
    FaultList faults;
    std::int32_t old_sec_stamp = 130;
    const Reading r = parsed(reply_with("1 E"), faults);  // seconds 130 again
    EXPECT_FALSE(accept_polled(r.sec, old_sec_stamp));
    EXPECT_EQ(faults.t_errors[1], 1);
}

TEST(ReadDataLine, LongestReplyOverflowsNothing) {
    // 1023 bytes in a few tokens of every kind, read under the sanitizers too.
    const std::string replies[] = {
        "1 " + std::string(1021, '9'),
        "1 s t " + std::string(1017, '-'),
        "1 s t 1" + std::string(1016, '0'),
        std::string(1023, '7'),
        "1 s t " + std::string(1017, 'E'),
    };
    for (const std::string& reply : replies) {
        ASSERT_EQ(reply.size(), 1023u);
        FaultList faults;
        const Reading r = parsed(reply, faults);
        EXPECT_LE(r.tm_time.size(), 8u);
        for (double v : r.values) EXPECT_TRUE(std::isfinite(v));
    }
}

// ---- The newest grid row ----

TEST(GridRow, ShowsSecondsOrTimeOfDayThenMeterTimeThenChannels) {
    const Reading r = example_reading();
    const auto by_time = grid_row(r, false);
    EXPECT_EQ(by_time[0], "09-41-07");
    EXPECT_EQ(by_time[1], "00004521");
    EXPECT_EQ(by_time[2], " 23.45");
    EXPECT_EQ(by_time[4], " N/SENS");
    EXPECT_EQ(by_time[5], " ERROR");
    EXPECT_EQ(by_time[7], " 101.20");
    EXPECT_EQ(by_time[13], " 20.00");
    EXPECT_EQ(grid_row(r, true)[0], "125");
}

// ---- Newness of a polled reading ----

TEST(PolledReading, IsAcceptedOnlyWhenItsSecondsPassTheLastAccepted) {
    std::int32_t old_sec_stamp = 0;
    EXPECT_FALSE(accept_polled(0, old_sec_stamp));  // not even as the first of the run
    EXPECT_FALSE(accept_polled(-5, old_sec_stamp));
    EXPECT_TRUE(accept_polled(125, old_sec_stamp));
    EXPECT_EQ(old_sec_stamp, 125);
    EXPECT_FALSE(accept_polled(125, old_sec_stamp));
    EXPECT_FALSE(accept_polled(3, old_sec_stamp));  // a restarted sharing monitor
    EXPECT_EQ(old_sec_stamp, 125);
    EXPECT_TRUE(accept_polled(126, old_sec_stamp));
    EXPECT_EQ(old_sec_stamp, 126);
}

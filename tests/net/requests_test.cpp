// The data server's request rules: what completes a message, what is answered, kept or dropped.
#include "requests.h"

#include <gtest/gtest.h>

#include <string>

#include "messages.h"

namespace {

using namespace std::string_literals;

const RequestRules rules(7);  // pushes and quits carry it as "    7"

Verdict verdict(const std::string& received, bool ended, bool loopback = true) {
    return rules.judge(received, ended, loopback).verdict;
}

TEST(QueryRules, CompleteAtItsNulOrAtTheEndOfSending) {
    EXPECT_EQ(verdict("?"s, false), Verdict::wait);
    EXPECT_EQ(verdict("?\0"s, false), Verdict::query);
    EXPECT_EQ(verdict("?abc"s, false), Verdict::wait);
    EXPECT_EQ(verdict("?abc\0def"s, false), Verdict::query);
    EXPECT_EQ(verdict("?"s, true), Verdict::query);
    EXPECT_EQ(verdict("?abc"s, true), Verdict::query);
}

TEST(QueryRules, AnsweredFromAnyAddress) {
    EXPECT_EQ(verdict("?\0"s, false, false), Verdict::query);
}

TEST(QueryRules, DroppedWhenItOutgrowsTheLimit) {
    EXPECT_EQ(verdict("?" + std::string(rules.max_message() - 1, 'x'), false), Verdict::wait);
    EXPECT_EQ(verdict("?" + std::string(rules.max_message(), 'x'), false), Verdict::drop);
    EXPECT_EQ(verdict("?" + std::string(rules.max_message(), 'x') + "\0"s, false), Verdict::drop);
}

TEST(PushRules, LineKeptExactlyAtTheEndOfSending) {
    const std::string line = "125 2024-05-17-09-41-07 00004521 23.45\0\r\n"s;
    const std::string message = "+    7 " + line;
    EXPECT_EQ(verdict(message, false), Verdict::wait);
    const Judgement j = rules.judge(message, true, true);
    EXPECT_EQ(j.verdict, Verdict::push);
    EXPECT_EQ(std::string(j.line), line);
}

TEST(PushRules, LongestLineIs1023Bytes) {
    const std::string longest(MAX_REPLY, '9');
    EXPECT_EQ(rules.judge("+    7 " + longest, true, true).line.size(), 1023u);
    EXPECT_EQ(verdict("+    7 " + longest + "9", false), Verdict::drop);
    EXPECT_EQ(verdict("+    7 " + longest + "9", true), Verdict::drop);
}

TEST(PushRules, EmptyLineRefused) {
    EXPECT_EQ(verdict("+    7 ", true), Verdict::drop);
    EXPECT_EQ(verdict("+    7", true), Verdict::drop);
    EXPECT_EQ(verdict("+", true), Verdict::drop);
}

TEST(PushRules, OnlyTheCodeAsPrintedByTheMonitorCounts) {
    EXPECT_EQ(verdict("+    8 1 x", true), Verdict::drop);
    EXPECT_EQ(verdict("+00007 1 x", true), Verdict::drop);
    EXPECT_EQ(verdict("+7 1 x", true), Verdict::drop);
    EXPECT_EQ(verdict("+    71 x", true), Verdict::drop);
    // A wrong code is dropped as soon as it shows, without waiting for the end.
    EXPECT_EQ(verdict("+   1", false), Verdict::drop);
    EXPECT_EQ(verdict("+   ", false), Verdict::wait);
}

TEST(PushRules, OnlyFromLoopback) {
    EXPECT_EQ(verdict("+    7 1 x", true, false), Verdict::drop);
    EXPECT_EQ(verdict("+", false, false), Verdict::drop);
}

TEST(PushRules, CodeOfMoreThanFiveDigitsPrintedWhole) {
    const RequestRules wide(123456);
    EXPECT_EQ(wide.judge("+123456 1 x", true, true).verdict, Verdict::push);
    EXPECT_EQ(wide.judge("+23456 1 x", true, true).verdict, Verdict::drop);
}

TEST(QuitRules, ExactlyTheSixBytesAtTheEndOfSending) {
    EXPECT_EQ(verdict("q    7", false), Verdict::wait);
    EXPECT_EQ(verdict("q    7", true), Verdict::quit);
    EXPECT_EQ(verdict("q    7 ", false), Verdict::drop);
    EXPECT_EQ(verdict("q    7\0"s, true), Verdict::drop);
    EXPECT_EQ(verdict("q    ", true), Verdict::drop);
    EXPECT_EQ(verdict("q    8", true), Verdict::drop);
    EXPECT_EQ(verdict("q00007", true), Verdict::drop);
}

TEST(QuitRules, OnlyFromLoopback) {
    EXPECT_EQ(verdict("q    7", true, false), Verdict::drop);
}

TEST(OtherRequests, DroppedAtTheirFirstByte) {
    for (const std::string& first : {"\0"s, "Q"s, "-"s, "G"s, "\xff"s})
        EXPECT_EQ(verdict(first, false), Verdict::drop) << int(first[0]);
    EXPECT_EQ(verdict("", true), Verdict::drop);
    EXPECT_EQ(verdict("", false), Verdict::wait);
}

TEST(Loopback, WholeRange127) {
    EXPECT_TRUE(is_loopback(0x7F000001));
    EXPECT_TRUE(is_loopback(0x7F0A0B0C));
    EXPECT_FALSE(is_loopback(0xC0A80001));
    EXPECT_FALSE(is_loopback(0x00000000));
    EXPECT_FALSE(is_loopback(0x80000001));
}

}  // namespace

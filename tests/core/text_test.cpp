#include <gtest/gtest.h>

#include <string>

#include "text.h"

TEST(Windows1251, CyrillicDegreeSignAndEuroBecomeSingleBytes) {
    EXPECT_EQ(to_cp1251("Ёж°€ №"), "\xA8\xE6\xB0\x88 \xB9");
    EXPECT_EQ(to_cp1251("АЯая"), "\xC0\xDF\xE0\xFF");
    EXPECT_EQ(to_cp1251("T1,°C"), "T1,\xB0" "C");
}

TEST(Windows1251, CharacterWithoutAWindows1251ByteBecomesAQuestionMark) {
    EXPECT_EQ(to_cp1251("a中b😀c"), "a?b?c");
}

TEST(Windows1251, MalformedSequenceIsOneUnknownCharacterAndSwallowsNothing) {
    EXPECT_EQ(to_cp1251("\xD0"), "?");              // cut short at the end
    EXPECT_EQ(to_cp1251("\xD0" "A"), "?A");         // a missing continuation byte
    EXPECT_EQ(to_cp1251("\xE2\x82" "b"), "??b");
    EXPECT_EQ(to_cp1251("\xB0"), "?");              // a stray continuation byte
    EXPECT_EQ(to_cp1251(std::string("\xC0\x80", 2)), "??");  // an over-long NUL
    EXPECT_EQ(to_cp1251("\xFF" "x"), "?x");
}

TEST(Windows1251, EveryByteDecodesToUtf8AndBackExceptTheUnassignedOne) {
    EXPECT_EQ(from_cp1251("\xA8\xE6\xB0\x88 \xB9"), "Ёж°€ №");
    EXPECT_EQ(from_cp1251("\xC0\xDF\xE0\xFF"), "АЯая");
    EXPECT_EQ(from_cp1251(std::string("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(from_cp1251("\x98"), "\xEF\xBF\xBD");  // unassigned: U+FFFD, still UTF-8
    for (int b = 1; b < 256; ++b) {
        if (b == 0x98) continue;
        const std::string one(1, char(b));
        EXPECT_EQ(to_cp1251(from_cp1251(one)), one) << "byte " << b;
    }
}

TEST(BoundedText, CutKeepsAtMostItsCapacity) {
    EXPECT_EQ(cut("COM12", 5), "COM12");
    EXPECT_EQ(cut("COM123", 5), "COM12");
    EXPECT_EQ(cut("", 5), "");
    EXPECT_EQ(c_text(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(c_text("abc"), "abc");
}

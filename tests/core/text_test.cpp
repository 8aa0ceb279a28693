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

TEST(BoundedText, CutKeepsAtMostItsCapacity) {
    EXPECT_EQ(cut("COM12", 5), "COM12");
    EXPECT_EQ(cut("COM123", 5), "COM12");
    EXPECT_EQ(cut("", 5), "");
    EXPECT_EQ(c_text(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(c_text("abc"), "abc");
}

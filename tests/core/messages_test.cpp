#include <gtest/gtest.h>

#include <string>

#include "command_lines.h"
#include "core_test_support.h"
#include "messages.h"

TEST(Messages, QueryIsAQuestionMarkAndANulByte) {
    const std::string q = query_message();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0], '?');
    EXPECT_EQ(q[1], '\0');
}

TEST(Messages, PushCarriesTheCodeInFiveColumnsABlankAndTheDataLine) {
    EXPECT_EQ(push_message(123, zktest::kExampleDataLine),
              std::string("+  123 ") + zktest::kExampleDataLine);
    EXPECT_EQ(push_message(0, "1 x"), "+    0 1 x");
    EXPECT_EQ(push_message(32760, "1 x"), "+32760 1 x");
}

TEST(Messages, QuitIsSixCharacters) {
    EXPECT_EQ(quit_message(7), "q    7");
    EXPECT_EQ(quit_message(32760), "q32760");
    EXPECT_EQ(quit_message(0).size(), 6u);
}

TEST(CommandLines, ViewerProgramAndFileAreQuotedSoBlanksSurvive) {
    EXPECT_EQ(viewer_command("C:\\zk 47\\wgnuplot.exe", "C:\\zk 47\\data\\a b.plt"),
              std::string("\"C:\\zk 47\\wgnuplot.exe\" \"C:\\zk 47\\data\\a b.plt\""));
}

TEST(CommandLines, LineTooLongForItsBufferIsRefusedNotCut) {
    const std::string program = "C:\\wgnuplot.exe";                // 15 characters
    const std::string fits(383 - 15 - 5, 'f');                     // plus four quotes and a blank
    ASSERT_TRUE(viewer_command(program, fits).has_value());
    EXPECT_EQ(viewer_command(program, fits)->size(), 383u);
    EXPECT_FALSE(viewer_command(program, fits + "f").has_value());
}

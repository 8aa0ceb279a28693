#include <gtest/gtest.h>

#include "faults.h"

namespace {

// One reading's bookkeeping: the list is cleared, then every ERROR channel is added.
void reading_with_errors(FaultList& f, std::initializer_list<int> channels) {
    clear_fault_list(f);
    for (int k : channels) add_fault(f, k);
}

}  // namespace

TEST(FaultList, NewErrorIsListedAndMakesTheAlertDue) {
    FaultList f;
    reading_with_errors(f, {2});
    EXPECT_EQ(f.err_message, "T3 ");
    EXPECT_TRUE(alert_due(f));
    EXPECT_EQ(f.t_errors[2], 1);
}

TEST(FaultList, LastingErrorIsListedAgainButNotDueAgain) {
    FaultList f;
    reading_with_errors(f, {2});
    reading_with_errors(f, {2});
    EXPECT_EQ(f.err_message, "T3 ");
    EXPECT_FALSE(alert_due(f));
}

TEST(FaultList, SecondChannelEnteringErrorListsBothInChannelOrder) {
    FaultList f;
    reading_with_errors(f, {2});
    reading_with_errors(f, {2, 4});
    EXPECT_EQ(f.err_message, "T3 T5 ");
    EXPECT_TRUE(alert_due(f));
}

TEST(FaultList, ReadingWithoutErrorsHasAnEmptyListAndIsNotDue) {
    FaultList f;
    reading_with_errors(f, {});
    EXPECT_EQ(f.err_message, "");
    EXPECT_FALSE(alert_due(f));
    for (int latch : f.t_errors) EXPECT_EQ(latch, 0);
}

TEST(FaultList, ChannelThatLeavesErrorKeepsItsLatchUntilAcknowledged) {
    FaultList f;
    reading_with_errors(f, {2});
    reading_with_errors(f, {});
    EXPECT_EQ(f.t_errors[2], 1);
    reading_with_errors(f, {2});
    EXPECT_FALSE(alert_due(f));  // came back before OK: nothing due on its account
}

TEST(FaultList, AcknowledgementMakesALastingErrorDueAgain) {
    FaultList f;
    reading_with_errors(f, {2});
    clear_latches(f);
    EXPECT_FALSE(alert_due(f));
    for (int latch : f.t_errors) EXPECT_EQ(latch, 0);
    reading_with_errors(f, {2});
    EXPECT_TRUE(alert_due(f));
}

TEST(FaultList, AllTwelveChannelsFitTheListInOrder) {
    FaultList f;
    reading_with_errors(f, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    EXPECT_EQ(f.err_message, "T1 T2 T3 T4 T5 T6 T7 T8 T9 T10 T11 T12 ");
    EXPECT_EQ(f.err_message.size(), 39u);
}

TEST(FaultList, ChannelIndexOutsideTheMeterIsIgnored) {
    FaultList f;
    reading_with_errors(f, {-1, 12, 1000});
    EXPECT_EQ(f.err_message, "");
    EXPECT_FALSE(alert_due(f));
}

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "grid_buffer.h"

namespace {

// A row whose every text names its reading and column.
std::array<std::string, GRID_COLS> row_of(int reading) {
    std::array<std::string, GRID_COLS> row;
    for (int j = 0; j < GRID_COLS; ++j) row[j] = "r" + std::to_string(reading) + "c" + std::to_string(j);
    return row;
}

void show(GridBuffer& g, int reading) {
    update(g);
    put_newest_row(g, row_of(reading));
}

std::string cell(const GridBuffer& g, int column, int row) { return g.var_data[column][row].data(); }

}  // namespace

TEST(Grid, StartsWithAllTextsEmpty) {
    GridBuffer g;
    for (int j = 0; j < GRID_COLS; ++j)
        for (int r = 0; r < GRID_ROWS; ++r) EXPECT_EQ(cell(g, j, r), "");
}

TEST(Grid, ClearingEmptiesEveryText) {
    GridBuffer g;
    for (int i = 1; i <= 8; ++i) show(g, i);
    zero_var(g);
    for (int j = 0; j < GRID_COLS; ++j)
        for (int r = 0; r < GRID_ROWS; ++r) EXPECT_EQ(cell(g, j, r), "");
}

TEST(Grid, FillsFromTheBottomRow) {
    GridBuffer g;
    for (int i = 1; i <= 3; ++i) show(g, i);
    for (int r = 0; r <= 4; ++r)
        for (int j = 0; j < GRID_COLS; ++j) EXPECT_EQ(cell(g, j, r), "");
    for (int j = 0; j < GRID_COLS; ++j) {
        EXPECT_EQ(cell(g, j, 5), row_of(1)[j]);
        EXPECT_EQ(cell(g, j, 6), row_of(2)[j]);
        EXPECT_EQ(cell(g, j, 7), row_of(3)[j]);
    }
}

TEST(Grid, NinthReadingPushesTheFirstOut) {
    GridBuffer g;
    for (int i = 1; i <= 9; ++i) show(g, i);
    for (int r = 0; r < GRID_ROWS; ++r)
        for (int j = 0; j < GRID_COLS; ++j) EXPECT_EQ(cell(g, j, r), row_of(r + 2)[j]);
}

TEST(Grid, ScrollLeavesTheBottomRowUntilItIsOverwritten) {
    GridBuffer g;
    show(g, 1);
    update(g);
    EXPECT_EQ(cell(g, 3, 6), "r1c3");
    EXPECT_EQ(cell(g, 3, 7), "r1c3");
}

TEST(Grid, TextLongerThan127CharactersIsCut) {
    GridBuffer g;
    auto row = row_of(1);
    row[2] = " " + std::string(400, '9') + ".00";
    row[3] = std::string(127, 'x');
    row[4] = std::string(128, 'y');
    put_newest_row(g, row);
    EXPECT_EQ(cell(g, 2, 7), row[2].substr(0, 127));
    EXPECT_EQ(cell(g, 3, 7), row[3]);
    EXPECT_EQ(cell(g, 4, 7), std::string(127, 'y'));
    EXPECT_EQ(cell(g, 5, 7), "r1c5");  // the neighbour is untouched
}

TEST(Grid, ShorterTextReplacesALongerOneWhole) {
    GridBuffer g;
    auto row = row_of(1);
    row[0] = "123456789";
    put_newest_row(g, row);
    row[0] = "12";
    put_newest_row(g, row);
    EXPECT_EQ(cell(g, 0, 7), "12");
}

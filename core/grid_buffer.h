#pragma once
// The texts of the display table: 14 columns x 8 rows, row 7 the newest reading.
#include <array>
#include <string>
#include <string_view>

constexpr int GRID_COLS = 14;
constexpr int GRID_ROWS = 8;
constexpr std::size_t CELL_CAPACITY = 127;  // characters a cell text may hold

struct GridBuffer {
    // var_data[column][row], each NUL-terminated.
    std::array<std::array<std::array<char, CELL_CAPACITY + 1>, GRID_ROWS>, GRID_COLS> var_data{};
};

void zero_var(GridBuffer& g);
// Scrolls up by one row; row 7 keeps its old texts until put_newest_row overwrites them.
void update(GridBuffer& g);
// Writes a reading's grid row into row 7, each text cut to the cell's capacity.
void put_newest_row(GridBuffer& g, const std::array<std::string, GRID_COLS>& row);

#include "grid_buffer.h"

#include <cstring>

void zero_var(GridBuffer& g) {
    for (auto& column : g.var_data)
        for (auto& cell : column) cell[0] = '\0';
}

void update(GridBuffer& g) {
    for (int r = 1; r < GRID_ROWS; ++r)
        for (int j = 0; j < GRID_COLS; ++j) g.var_data[j][r - 1] = g.var_data[j][r];
}

void put_newest_row(GridBuffer& g, const std::array<std::string, GRID_COLS>& row) {
    for (int j = 0; j < GRID_COLS; ++j) {
        auto& cell = g.var_data[j][GRID_ROWS - 1];
        const std::size_t n = row[j].size() < CELL_CAPACITY ? row[j].size() : CELL_CAPACITY;
        std::memcpy(cell.data(), row[j].data(), n);
        cell[n] = '\0';
    }
}

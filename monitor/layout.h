#pragma once
// Rectangles and texts of the main window's controls, in client pixels.
#include "grid_buffer.h"

struct Rect {
    int x, y, w, h;
};

constexpr Rect kStartButton{2, 0, 115, 20};   // Start, Pause and Continue take turns here
constexpr Rect kServerButton{592, 0, 124, 20}; // the server button, then its label

struct ButtonSpec {
    int id;
    const char* text;  // UTF-8
    Rect rect;
};
constexpr ButtonSpec kButtonRow[] = {
    {7, "Старт", kStartButton},
    {1, "Файл", {120, 0, 115, 20}},
    {2, "График", {238, 0, 115, 20}},
    {3, "Снимок", {356, 0, 115, 20}},
    {4, "Журнал", {474, 0, 115, 20}},
    {5, "Запуск сервера", kServerButton},
};

constexpr Rect kFileLabel{2, 215, 188, 20};
constexpr Rect kFileField{192, 215, 663, 20};

// The grid: time columns pitch 70, channel columns pitch 60, rows pitch 20 from y 45.
inline Rect header_rect(int column) {
    if (column < 2) return {70 * column, 22, 68, 20};
    return {140 + 60 * (column - 2), 22, 58, 20};
}
inline Rect cell_rect(int column, int row) {
    Rect r = header_rect(column);
    r.y = 45 + 20 * row;
    return r;
}
inline int cell_id(int column, int row) {
    if (column == 0) return 1368 + row;
    if (column == 1) return 1376 + row;
    return 1384 + 8 * (column - 2) + row;
}

constexpr const char* kChannelTitles[12] = {
    " T1,°C", " T2,°C", " T3,°C", " T4,°C", " T5,°C", " T6,°C",
    " T7,°C", " T8,°C", " T9,°C", "T10,°C", "T11,°C", "T12,°C",
};

#pragma once
// Rectangles and texts of the main window's controls, in client pixels.
#include "grid_buffer.h"
#include "reading.h"
#include "resource.h"

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
    {ID_START, "Старт", kStartButton},
    {ID_FILE, "Файл", {120, 0, 115, 20}},
    {ID_GRAPH, "График", {238, 0, 115, 20}},
    {ID_SNAPSHOT, "Снимок", {356, 0, 115, 20}},
    {ID_JOURNAL, "Журнал", {474, 0, 115, 20}},
    {ID_SERVER, "Запуск сервера", kServerButton},
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
    if (column == 0) return ID_TIME_CELL_FIRST + row;
    if (column == 1) return ID_METER_CELL_FIRST + row;
    return ID_CHANNEL_CELL_FIRST + GRID_ROWS * (column - 2) + row;
}

constexpr const char* kChannelTitles[NCHAN] = {
    " T1,°C", " T2,°C", " T3,°C", " T4,°C", " T5,°C", " T6,°C",
    " T7,°C", " T8,°C", " T9,°C", "T10,°C", "T11,°C", "T12,°C",
};

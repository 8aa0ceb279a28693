#include "logs.h"

#include <cstdio>
#include <memory>

#include "numbers.h"
#include "settings.h"
#include "text.h"

std::string text_log_header(std::string_view started_time) {
    std::string h = to_cp1251("#Начало измерений: ");
    h += started_time;
    h += to_cp1251(
        "\n#Время,с Дата/время системы  Вр.ZK-47    T1,°C    T2,°C    T3,°C    T4,°C    T5,°C"
        "    T6,°C    T7,°C    T8,°C    T9,°C   T10,°C   T11,°C   T12,°C\n");
    h += "#-------+-------------------+--------";
    for (int k = 0; k < NCHAN; ++k) h += "+--------";
    h += '\n';
    return h;
}

std::string csv_log_header(std::string_view started_time) {
    std::string h = to_cp1251("Начало измерений:;;");
    h += started_time;
    h += to_cp1251(
        "\nВремя,с;Дата/время системы;Время ZK-47,с;T1,°C;T2,°C;T3,°C;T4,°C;T5,°C;T6,°C;T7,°C;"
        "T8,°C;T9,°C;T10,°C;T11,°C;T12,°C\n");
    return h;
}

namespace {

// The number a log prints for a channel: the value itself, or the sentinel of its fault.
double logged_value(double v) {
    switch (classify(v)) {
    case ValueClass::measurement: return v;
    case ValueClass::no_sensor: return NSENS_VALUE;
    case ValueClass::error: break;
    }
    return ERROR_VALUE;
}

void append_right(std::string& out, std::string_view s, std::size_t width) {
    if (s.size() < width) out.append(width - s.size(), ' ');
    out += s;
}

}  // namespace

std::string text_log_row(const Reading& r) {
    std::string row;
    row.reserve(160);
    append_padded(row, r.sec, 8);
    row += ' ';
    append_right(row, r.sys_stamp, 19);
    row += ' ';
    row += r.tm_time;
    for (double v : r.values) {
        row += ' ';
        append_right(row, fixed2(logged_value(v)), 8);
    }
    row += '\n';
    return row;
}

std::string csv_cell(std::string_view token) {
    std::string cell(token);
    for (char& c : cell)
        if (c == ';' || c == '"' || c == '\t' || c == '\r') c = '_';
    if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@'))
        cell[0] = '_';
    return cell;
}

std::string csv_log_row(const Reading& r) {
    std::string row;
    row.reserve(128);
    append_padded(row, r.sec, 0);
    row += ';';
    row += csv_cell(r.sys_stamp);
    row += ';';
    row += csv_cell(r.tm_time);
    for (double v : r.values) {
        switch (classify(v)) {
        case ValueClass::measurement: row += ';' + fixed2(v); break;
        case ValueClass::no_sensor: row += ";N/SENS"; break;
        case ValueClass::error: row += ";ERROR"; break;
        }
    }
    row += '\n';
    return row;
}

std::string derived_name(std::string_view szFile, std::string_view ext) {
    std::string name(szFile);
    const std::size_t n = name.size() < 3 ? name.size() : 3;
    name.replace(name.size() - n, n, ext);
    return name;
}

std::optional<std::string> chosen_log_name(std::string_view chosen) {
    std::string name(chosen);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") != 0) name += ".txt";
    if (name.size() > PATH_CAPACITY) return std::nullopt;
    return name;
}

namespace {

bool write_with_mode(const std::string& path, std::string_view bytes, const char* mode) {
    UniqueFile f(std::fopen(path.c_str(), mode));
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
    return std::fclose(f.release()) == 0 && written;
}

}  // namespace

bool append_text_file(const std::string& path, std::string_view bytes) {
    return write_with_mode(path, bytes, "at");
}

bool write_text_file(const std::string& path, std::string_view bytes) {
    return write_with_mode(path, bytes, "wt");
}

std::vector<std::string> write_log_headers(WaitingRows& waiting, LogNames& names,
                                           std::string_view started_time) {
    std::vector<std::string> failing;
    if (waiting.put({names.szFile, names.szFile, LogKind::text}, text_log_header(started_time), true))
        failing.push_back(names.szFile);
    names.szCsv = derived_name(names.szFile, "csv");
    if (waiting.put({names.szCsv, names.szFile, LogKind::csv}, csv_log_header(started_time), true))
        failing.push_back(names.szCsv);
    return failing;
}

std::vector<std::string> append_logs(WaitingRows& waiting, const LogNames& names, const Reading& r) {
    std::vector<std::string> failing;
    if (waiting.put({names.szFile, names.szFile, LogKind::text}, text_log_row(r), false))
        failing.push_back(names.szFile);
    if (waiting.put({names.szCsv, names.szFile, LogKind::csv}, csv_log_row(r), false))
        failing.push_back(names.szCsv);
    return failing;
}

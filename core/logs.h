#pragma once
// The run's two logs: a fixed-width text log (also the plot scripts' data) and a CSV log,
// both in Windows-1251, written through text-mode streams ("\n" becomes CR LF on Windows).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reading.h"
#include "waiting_rows.h"

std::string text_log_header(std::string_view started_time);
std::string csv_log_header(std::string_view started_time);
std::string text_log_row(const Reading& r);
// A received text token as a CSV cell: separators, quotes, TAB and CR become '_', and so does
// a leading '=', '+', '-' or '@', which spreadsheet programs would run as a formula.
std::string csv_cell(std::string_view token);
std::string csv_log_row(const Reading& r);

// A copy of szFile with its last three characters replaced by ext ("csv", "plt", ...).
std::string derived_name(std::string_view szFile, std::string_view ext);

// The log name for a name chosen with File: ".txt" appended unless it ends so already.
// Nothing when that name does not fit a path buffer: cutting it would lose its ".txt", and
// the derived names could then hit the chosen file or each other.
std::optional<std::string> chosen_log_name(std::string_view chosen);

// Appends bytes to a file opened in text mode; false when it cannot be opened or written.
bool append_text_file(const std::string& path, std::string_view bytes);
// Creates or empties a file in text mode and writes bytes; false on failure.
bool write_text_file(const std::string& path, std::string_view bytes);

// The run's log pair.
struct LogNames {
    std::string szFile;  // the .txt log
    std::string szCsv;   // derived from szFile by write_log_headers
};

// Derives szCsv, appends the text header to szFile and the CSV header to szCsv, each behind
// whatever waits for its file. Returns the paths that have just started failing.
std::vector<std::string> write_log_headers(WaitingRows& waiting, LogNames& names,
                                           std::string_view started_time);

// Appends one row to each log, each opened and closed for the row, behind whatever waits for
// its file. Returns the paths that have just started failing.
std::vector<std::string> append_logs(WaitingRows& waiting, const LogNames& names, const Reading& r);

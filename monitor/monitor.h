#pragma once
// The monitor's process-wide state. Settings and run values are fixed on the GUI thread before
// any other thread starts and only read afterwards; what threads share while running (grid,
// log names, fault list) is reached through the functions below, which hold the locks.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "faults.h"
#include "grid_buffer.h"
#include "logs.h"
#include "platform.h"
#include "plot_scripts.h"
#include "reading.h"
#include "settings.h"

// Posted to the main window with a heap-held path: a file could not be written.
constexpr UINT WM_WRITE_FAILED = WM_APP + 1;
// Posted to the main window by the serial reader: the grid buffer has rows to show.
constexpr UINT WM_GRID_CHANGED = WM_APP + 2;
// The main window's timer that retries the log lines waiting for their files.
constexpr UINT_PTR RETRY_TIMER = 2;
constexpr UINT RETRY_PERIOD_MS = 5000;

extern Settings g_settings;   // location, com0, ip0, port, per_msec, per_sec, the four flags
extern RunSetup g_run;        // szWDir, szDDir, szDDir1, started_time, szGnuplotStart, tm0
extern std::int32_t secret;
extern sockaddr_in server1;   // the remote data server (network source)
extern bool g_autostart;      // --autostart: confirm the settings and press Start unattended

extern HINSTANCE hin;
extern HWND winhandler;
extern HWND butt_start, butt_stop, butt_cont, server_butt, file_name_real;
extern HWND val_data[GRID_COLS][GRID_ROWS];

extern std::atomic<int> NotPausedFlag;
extern int FileFlag;          // GUI thread only
extern HANDLE hThread;        // the serial reader

// Grid: scrolls and writes the newest row under the lock; restore copies the buffer out
// under the lock and only then writes the cells, so no lock is held while the GUI thread works.
// Called on another thread, restore asks the GUI thread to do it (WM_GRID_CHANGED).
void clear_grid();
void grid_add(const Reading& r);
void restore();

// Logs: a row goes wholly to the pair named when it is appended; a line that cannot be
// appended waits for its file (and is retried before the next row for that file, and by
// the retry timer).
void set_default_log(const std::string& szFile);
// Ends the process between two rows, never in the middle of one, after the waiting rows'
// last try (finish_logs).
[[noreturn]] void exit_between_rows(UINT code);
void log_reading(const Reading& r);
void retry_waiting_rows();
// At the end of the run: one more try, then what still waits goes to the unsaved files in the
// working directory; a box tells how many rows were lost, if any.
void finish_logs();
// Makes new_file the log (when given), writes its headers and both scripts, as one step
// against the rows the reader appends.
void prepare_log_file(const std::string* new_file);
std::string current_log();
ScriptNames current_scripts();

// Fault list: the parse that fills it runs under its lock; the alert clears the latches.
struct FaultCheck {
    bool due = false;
    std::string list;  // the reading's fault list, copied for the alert
};
FaultCheck with_faults(const std::function<void(FaultList&)>& parse);
void acknowledge_faults();

// Asks the GUI thread to report files that have started failing.
void report_write_failures(const std::vector<std::string>& paths);
void show_write_failure(std::string* path);  // GUI thread, from WM_WRITE_FAILED

#pragma once
// The window's handles and own state, and its side of the station's events. The run's state
// is the Station's (station.h), made by WinMain with the reader, the poller and sharing.
#include <atomic>
#include <set>
#include <string>

#include "acquisition.h"
#include "platform.h"
#include "sharing.h"
#include "station.h"

// Posted to the main window with a heap-held path: a file could not be written.
constexpr UINT WM_WRITE_FAILED = WM_APP + 1;
// Posted to the main window by the serial reader: the grid buffer has rows to show.
constexpr UINT WM_GRID_CHANGED = WM_APP + 2;
// Posted to the main window by the serial reader: the port was lost (wParam 1) or is back (0).
constexpr UINT WM_PORT_STATE = WM_APP + 3;
// The main window's timers: the network poller's ticks, and the retry of the log lines
// waiting for their files.
constexpr UINT_PTR POLL_TIMER = 1;
constexpr UINT_PTR RETRY_TIMER = 2;
constexpr UINT RETRY_PERIOD_MS = 5000;

// The window's answers to the station's events; WinMain hands them to its Station.
class WindowEvents final : public StationEvents {
public:
    void grid_changed() override;
    void alert_due(const std::string& list) override;
    void pause_for_failure(const char* utf8) override;
    void port_lost(bool lost) override;
    void write_failed(const std::string& path) override;
    void rows_not_saved(std::size_t count) override;
    void start_poll_ticks(unsigned period_ms) override;
    [[noreturn]] void fatal(const char* utf8) override;
    [[noreturn]] void end_process(int code) override;
};

// The main window's handles and what only the window keeps. GUI thread only, but where a
// member says otherwise; the handles and the run's objects are set before any other thread
// starts.
struct Window {
    HINSTANCE hin = nullptr;
    HWND winhandler = nullptr;
    HWND butt_start = nullptr, butt_stop = nullptr, butt_cont = nullptr, server_butt = nullptr;
    HWND file_name_real = nullptr;
    HWND val_data[GRID_COLS][GRID_ROWS] = {};
    int FileFlag = 0;
    bool autostart = false;              // --autostart: confirm the settings and press Start unattended
    std::int32_t zkdrv_port = 5000;      // zkdrv.cfg's port, the dialog's fallback
    // Set before any box can show: when not 0, the box of fatal() closes itself after this many
    // milliseconds, so that an unattended station ends (and its service manager restarts it)
    // instead of waiting for an OK nobody will press.
    UINT fatal_box_timeout_ms = 0;
    // Set by the thread that posts WM_GRID_CHANGED, cleared by the GUI thread that serves it.
    std::atomic<bool> grid_refresh_posted{false};
    // Written by the serial reader only (one reader thread at a time): the alert thread's id,
    // 0 until the first alert.
    DWORD alert_thread_id = 0;
    // Written by the alert thread only: its open dialogs.
    std::set<HWND> open_alerts;

    // The run's objects, made by WinMain and living as long as the window.
    Station* station = nullptr;
    SerialReader* serial_reader = nullptr;
    Poller* poller = nullptr;
    Sharing* sharing = nullptr;
};
extern Window window;

inline Station& station() { return *window.station; }

// Writes the grid's cells from a copy of the buffer, so no lock is held while the GUI thread
// works. Called on another thread, it asks the GUI thread to do it (WM_GRID_CHANGED).
void restore();

void show_write_failure(std::string* path);  // GUI thread, from WM_WRITE_FAILED

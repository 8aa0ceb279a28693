#pragma once
// The window's process-wide state and its side of the station's events. The run's shared
// state lives in the pipeline (station.h).
#include <string>

#include "acquisition.h"
#include "platform.h"
#include "station.h"

// Posted to the main window with a heap-held path: a file could not be written.
constexpr UINT WM_WRITE_FAILED = WM_APP + 1;
// Posted to the main window by the serial reader: the grid buffer has rows to show.
constexpr UINT WM_GRID_CHANGED = WM_APP + 2;
// Posted to the main window by the serial reader: the port was lost (wParam 1) or is back (0).
constexpr UINT WM_PORT_STATE = WM_APP + 3;
// The main window's timer that retries the log lines waiting for their files.
constexpr UINT_PTR RETRY_TIMER = 2;
constexpr UINT RETRY_PERIOD_MS = 5000;

// GUI thread only, but for winhandler and val_data, which are set before any other thread
// starts.
extern bool g_autostart;      // --autostart: confirm the settings and press Start unattended
extern HINSTANCE hin;
extern HWND winhandler;
extern HWND butt_start, butt_stop, butt_cont, server_butt, file_name_real;
extern HWND val_data[GRID_COLS][GRID_ROWS];
extern int FileFlag;
extern SerialReader serial_reader;
extern Poller poller;

// The window's answers to the station's events; set as the station's events in WinMain.
class WindowEvents final : public StationEvents {
public:
    void grid_changed() override;
    void alert_due(const std::string& list) override;
    void pause_for_failure(const char* utf8) override;
    void port_lost(bool lost) override;
    void write_failed(const std::string& path) override;
    void rows_not_saved(std::size_t count) override;
    [[noreturn]] void fatal(const char* utf8) override;
};
extern WindowEvents window_events;

// Writes the grid's cells from a copy of the buffer, so no lock is held while the GUI thread
// works. Called on another thread, it asks the GUI thread to do it (WM_GRID_CHANGED).
void restore();

void show_write_failure(std::string* path);  // GUI thread, from WM_WRITE_FAILED

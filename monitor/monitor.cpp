#include "monitor.h"

#include <atomic>
#include <memory>

#include "alert.h"
#include "commands.h"

bool g_autostart = false;

HINSTANCE hin = nullptr;
HWND winhandler = nullptr;
HWND butt_start, butt_stop, butt_cont, server_butt, file_name_real;
HWND val_data[GRID_COLS][GRID_ROWS];

int FileFlag = 0;
SerialReader serial_reader;
Poller poller;
WindowEvents window_events;

namespace {

// Set by the thread that posts WM_GRID_CHANGED, cleared by the GUI thread that serves it.
std::atomic<bool> grid_refresh_posted{false};

bool on_gui_thread() { return GetWindowThreadProcessId(winhandler, nullptr) == GetCurrentThreadId(); }

}  // namespace

void restore() {
    // Writing 112 cells from the reader's thread costs two thread switches per cell, which held
    // the reader to about ten lines a second on a busy machine: one posted message per batch of
    // rows lets the GUI thread write them, and the reader goes back to the port at once.
    if (!on_gui_thread()) {
        if (!grid_refresh_posted.exchange(true) && !PostMessageW(winhandler, WM_GRID_CHANGED, 0, 0))
            grid_refresh_posted = false;
        return;
    }
    grid_refresh_posted = false;  // before the copy: a row added after it posts again
    const GridBuffer shown = grid_snapshot();
    for (int r = 0; r < GRID_ROWS; ++r)
        for (int j = 0; j < GRID_COLS; ++j)
            if (!IsIconic(winhandler))
                SendMessageA(val_data[j][r], WM_SETTEXT, 0,
                             reinterpret_cast<LPARAM>(shown.var_data[j][r].data()));
}

void WindowEvents::grid_changed() { restore(); }

void WindowEvents::alert_due(const std::string& list) {
    // The serial reader goes on at once; the poller waits for the alert on the GUI thread.
    if (on_gui_thread())
        raise_alert_modal(list);
    else
        raise_alert_async(list);
}

// Pause first, then the message: the ticks that arrive under the box find the poller paused.
void WindowEvents::pause_for_failure(const char* utf8) {
    pause_acquisition();
    error_box(utf8);
}

void WindowEvents::port_lost(bool lost) { PostMessageW(winhandler, WM_PORT_STATE, lost, 0); }

void WindowEvents::write_failed(const std::string& path) {
    // The box is shown by the GUI thread, so acquisition goes on while it is open.
    auto* owned = new std::string(path);
    if (!PostMessageA(winhandler, WM_WRITE_FAILED, 0, reinterpret_cast<LPARAM>(owned))) delete owned;
}

void WindowEvents::rows_not_saved(std::size_t count) {
    error_box(wide("Не сохранено строк журнала: ") + std::to_wstring(count));
}

void WindowEvents::fatal(const char* utf8) { ::fatal(utf8); }

void show_write_failure(std::string* path) {
    std::unique_ptr<std::string> owned(path);
    error_box(wide("Невозможно записать файл ") + wide_ansi(*owned));
}

#include "monitor.h"

#include <memory>

#include "alert.h"
#include "commands.h"

Window window;

namespace {

bool on_gui_thread() {
    return GetWindowThreadProcessId(window.winhandler, nullptr) == GetCurrentThreadId();
}

}  // namespace

void restore() {
    // Writing 112 cells from the reader's thread costs two thread switches per cell, which held
    // the reader to about ten lines a second on a busy machine: one posted message per batch of
    // rows lets the GUI thread write them, and the reader goes back to the port at once.
    if (!on_gui_thread()) {
        if (!window.grid_refresh_posted.exchange(true) &&
            !PostMessageW(window.winhandler, WM_GRID_CHANGED, 0, 0))
            window.grid_refresh_posted = false;
        return;
    }
    window.grid_refresh_posted = false;  // before the copy: a row added after it posts again
    const GridBuffer shown = station().grid_snapshot();
    for (int r = 0; r < GRID_ROWS; ++r)
        for (int j = 0; j < GRID_COLS; ++j)
            if (!IsIconic(window.winhandler))
                SendMessageA(window.val_data[j][r], WM_SETTEXT, 0,
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

void WindowEvents::port_lost(bool lost) { PostMessageW(window.winhandler, WM_PORT_STATE, lost, 0); }

void WindowEvents::write_failed(const std::string& path) {
    // The box is shown by the GUI thread, so acquisition goes on while it is open.
    auto* owned = new std::string(path);
    if (!PostMessageA(window.winhandler, WM_WRITE_FAILED, 0, reinterpret_cast<LPARAM>(owned))) delete owned;
}

void WindowEvents::rows_not_saved(std::size_t count) {
    error_box(wide("Не сохранено строк журнала: ") + std::to_wstring(count));
}

void WindowEvents::start_poll_ticks(unsigned period_ms) {
    SetTimer(window.winhandler, POLL_TIMER, period_ms, nullptr);
}

void WindowEvents::fatal(const char* utf8) { ::fatal(utf8); }

void WindowEvents::end_process(int code) { ExitProcess(UINT(code)); }

void show_write_failure(std::string* path) {
    std::unique_ptr<std::string> owned(path);
    error_box(wide("Невозможно записать файл ") + wide_ansi(*owned));
}

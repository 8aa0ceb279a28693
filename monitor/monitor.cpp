#include "monitor.h"

#include <chrono>
#include <memory>
#include <mutex>

Settings g_settings;
RunSetup g_run;
std::int32_t secret = 0;
sockaddr_in server1{};
bool g_autostart = false;

HINSTANCE hin = nullptr;
HWND winhandler = nullptr;
HWND butt_start, butt_stop, butt_cont, server_butt, file_name_real;
HWND val_data[GRID_COLS][GRID_ROWS];

std::atomic<int> NotPausedFlag{0};
int FileFlag = 0;
HANDLE hThread = nullptr;

namespace {

std::mutex grid_mutex;
std::atomic<bool> grid_refresh_posted{false};
GridBuffer var_data;

// The log names and the lines waiting for their files. Rows come from the serial reader
// (serial source) or the GUI thread (network source); names, headers and the 5 s retry from
// the GUI thread; the end of the run from whichever thread ends the process. Timed, because
// a reader terminated while it appended would hold it for good; recursive, because the GUI
// thread holds it to the end under the box of lost rows, whose message loop goes on
// dispatching the window's commands.
std::recursive_timed_mutex names_mutex;
LogNames log_names;
ScriptNames script_names;
WaitingRows waiting_rows(append_text_file);

std::mutex faults_mutex;
FaultList faults;

}  // namespace

void clear_grid() {
    std::lock_guard<std::mutex> lock(grid_mutex);
    zero_var(var_data);
}

void grid_add(const Reading& r) {
    const auto row = grid_row(r, g_settings.OnlySeconds != 0);
    std::lock_guard<std::mutex> lock(grid_mutex);
    update(var_data);
    put_newest_row(var_data, row);
}

void restore() {
    // Writing 112 cells from the reader's thread costs two thread switches per cell, which held
    // the reader to about ten lines a second on a busy machine: one posted message per batch of
    // rows lets the GUI thread write them, and the reader goes back to the port at once.
    if (GetWindowThreadProcessId(winhandler, nullptr) != GetCurrentThreadId()) {
        if (!grid_refresh_posted.exchange(true) && !PostMessageW(winhandler, WM_GRID_CHANGED, 0, 0))
            grid_refresh_posted = false;
        return;
    }
    grid_refresh_posted = false;  // before the copy: a row added after it posts again
    GridBuffer shown;
    {
        std::lock_guard<std::mutex> lock(grid_mutex);
        shown = var_data;
    }
    for (int r = 0; r < GRID_ROWS; ++r)
        for (int j = 0; j < GRID_COLS; ++j)
            if (!IsIconic(winhandler))
                SendMessageA(val_data[j][r], WM_SETTEXT, 0,
                             reinterpret_cast<LPARAM>(shown.var_data[j][r].data()));
}

void set_default_log(const std::string& szFile) {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex);
    log_names.szFile = szFile;
}

namespace {

// Gives the waiting rows their last try and saves what is left; tells how many rows were
// lost, if any. The caller holds names_mutex.
void finish_waiting_rows() {
    const std::size_t lost = waiting_rows.finish(g_run.szWDir + "\\", g_run.started_time);
    if (lost > 0) error_box(wide("Не сохранено строк журнала: ") + std::to_wstring(lost));
}

}  // namespace

void finish_logs() {
    std::unique_lock<std::recursive_timed_mutex> lock(names_mutex, std::chrono::seconds(2));
    if (lock) finish_waiting_rows();
}

void exit_between_rows(UINT code) {
    // Held to the end: no row is begun after the last try.
    if (names_mutex.try_lock_for(std::chrono::seconds(2))) finish_waiting_rows();
    ExitProcess(code);
}

void log_reading(const Reading& r) {
    std::vector<std::string> failing;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(names_mutex);
        failing = append_logs(waiting_rows, log_names, r);
    }
    report_write_failures(failing);
}

void retry_waiting_rows() {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex);
    waiting_rows.retry();
}

void prepare_log_file(const std::string* new_file) {
    std::vector<std::string> failed;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(names_mutex);
        if (new_file) log_names.szFile = *new_file;
        failed = write_log_headers(waiting_rows, log_names, g_run.started_time);
        const PlotOptions o{g_settings.ShowLines != 0, g_settings.ShowPoints != 0,
                            g_settings.OnlySeconds != 0, g_settings.per_sec};
        for (auto& p : write_scripts(log_names.szFile, g_run.started_time, o, script_names))
            failed.push_back(std::move(p));
    }
    report_write_failures(failed);
}

std::string current_log() {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex);
    return log_names.szFile;
}

ScriptNames current_scripts() {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex);
    return script_names;
}

FaultCheck with_faults(const std::function<void(FaultList&)>& parse) {
    std::lock_guard<std::mutex> lock(faults_mutex);
    parse(faults);
    return FaultCheck{alert_due(faults), faults.err_message};
}

void acknowledge_faults() {
    std::lock_guard<std::mutex> lock(faults_mutex);
    clear_latches(faults);
}

void report_write_failures(const std::vector<std::string>& paths) {
    for (const auto& p : paths) {
        // The box is shown by the GUI thread, so acquisition goes on while it is open.
        auto* owned = new std::string(p);
        if (!PostMessageA(winhandler, WM_WRITE_FAILED, 0, reinterpret_cast<LPARAM>(owned))) delete owned;
    }
}

void show_write_failure(std::string* path) {
    std::unique_ptr<std::string> owned(path);
    error_box(wide("Невозможно записать файл ") + wide_ansi(*owned));
}

#include "station.h"

#include <chrono>
#include <mutex>

#include "messages.h"
#include "sockets.h"

Settings g_settings;
RunSetup g_run;
std::int32_t secret = 0;
sockaddr_in server1{};
std::atomic<int> NotPausedFlag{0};
SharingState g_sharing;

namespace {

StationEvents* events = nullptr;  // set by the GUI thread before any other thread starts

// Rows are added by the thread that takes the readings (the serial reader, or the GUI thread
// for the poller); the GUI thread clears the buffer before Start and copies it out to show it.
std::mutex grid_mutex;
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

// Filled by the reading's thread, cleared by the alert's OK.
std::mutex faults_mutex;
FaultList faults;

void report_write_failures(const std::vector<std::string>& paths) {
    for (const auto& p : paths) events->write_failed(p);
}

// Gives the waiting rows their last try and saves what is left; tells how many rows were
// lost, if any. The caller holds names_mutex.
void finish_waiting_rows() {
    const std::size_t lost = waiting_rows.finish(g_run.szWDir + "\\", g_run.started_time);
    if (lost > 0) events->rows_not_saved(lost);
}

}  // namespace

void set_station_events(StationEvents& e) { events = &e; }
StationEvents& station_events() { return *events; }

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

GridBuffer grid_snapshot() {
    std::lock_guard<std::mutex> lock(grid_mutex);
    return var_data;
}

void set_default_log(const std::string& szFile) {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex);
    log_names.szFile = szFile;
}

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

void record_reading(const Reading& r) {
    grid_add(r);
    log_reading(r);
}

void conclude_reading(const FaultCheck& check) {
    if (check.due) events->alert_due(check.list);
    events->grid_changed();
}

bool sharing_on() { return g_sharing.on; }
sockaddr_in local_server_address() { return net::ipv4_address(htonl(INADDR_LOOPBACK), g_sharing.port); }
std::int32_t run_code() { return secret; }

bool push_reply(std::string_view reply) {
    net::Socket s = net::Socket::tcp();
    if (!s.valid()) {
        station_events().pause_for_failure("Ошибка создания сокета");
        return false;
    }
    if (!net::connect_within(s, local_server_address(), PUSH_CONNECT_TIMEOUT_MS)) {
        s.close();
        station_events().pause_for_failure("Ошибка подключения к сокету");
        return false;
    }
    const std::string tmp1 = push_message(secret, reply);
    net::send_some(s, tmp1.data(), tmp1.size());
    net::shutdown_both(s);
    return true;
}

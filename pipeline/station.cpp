#include "station.h"

#include <chrono>
#include <cstdlib>

#include "messages.h"

const char* push_to_server(const sockaddr_in& server, std::string_view message) {
    net::Socket s = net::Socket::tcp();
    if (!s.valid()) return "Ошибка создания сокета";
    if (!net::connect_within(s, server, PUSH_CONNECT_TIMEOUT_MS)) return "Ошибка подключения к сокету";
    net::send_some(s, message.data(), message.size());
    net::shutdown_both(s);
    return nullptr;
}

sockaddr_in Station::local_server_address() const {
    return net::ipv4_address(htonl(INADDR_LOOPBACK), sharing.port);
}

const char* Station::push(std::string_view data_line) const {
    return push_to_server(local_server_address(), push_message(secret, data_line));
}

void Station::report_write_failures(const std::vector<std::string>& paths) {
    for (const auto& p : paths) events_.write_failed(p);
}

// Gives the waiting rows their last try and saves what is left; tells how many rows were
// lost, if any. The caller holds names_mutex_.
void Station::finish_waiting_rows() {
    const std::size_t lost = waiting_rows_.finish(run.szWDir + "\\", run.started_time);
    if (lost > 0) events_.rows_not_saved(lost);
}

void Station::clear_grid() {
    std::lock_guard<std::mutex> lock(grid_mutex_);
    zero_var(var_data_);
}

GridBuffer Station::grid_snapshot() {
    std::lock_guard<std::mutex> lock(grid_mutex_);
    return var_data_;
}

void Station::set_default_log(const std::string& szFile) {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex_);
    log_names_.szFile = szFile;
}

void Station::finish_logs() {
    std::unique_lock<std::recursive_timed_mutex> lock(names_mutex_, std::chrono::seconds(2));
    if (lock) finish_waiting_rows();
}

void Station::exit_between_rows(int code) {
    // Held to the end: no row is begun after the last try.
    if (names_mutex_.try_lock_for(std::chrono::seconds(2))) finish_waiting_rows();
    events_.end_process(code);
    std::abort();  // not reached; gcc does not see [[noreturn]] through a virtual call
}

void Station::retry_waiting_rows() {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex_);
    waiting_rows_.retry();
}

void Station::prepare_log_file(const std::string* new_file) {
    std::vector<std::string> failed;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(names_mutex_);
        if (new_file) log_names_.szFile = *new_file;
        failed = write_log_headers(waiting_rows_, log_names_, run.started_time);
        const PlotOptions o{settings.ShowLines != 0, settings.ShowPoints != 0, settings.OnlySeconds != 0,
                            settings.per_sec};
        for (auto& p : write_scripts(log_names_.szFile, run.started_time, o, script_names_))
            failed.push_back(std::move(p));
    }
    report_write_failures(failed);
}

std::string Station::current_log() {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex_);
    return log_names_.szFile;
}

ScriptNames Station::current_scripts() {
    std::lock_guard<std::recursive_timed_mutex> lock(names_mutex_);
    return script_names_;
}

FaultCheck Station::with_faults(const std::function<void(FaultList&)>& parse) {
    std::lock_guard<std::mutex> lock(faults_mutex_);
    parse(faults_);
    return FaultCheck{alert_due(faults_), faults_.err_message};
}

void Station::acknowledge_faults() {
    std::lock_guard<std::mutex> lock(faults_mutex_);
    clear_latches(faults_);
}

void Station::record_reading(const Reading& r) {
    const auto row = grid_row(r, settings.OnlySeconds != 0);
    {
        std::lock_guard<std::mutex> lock(grid_mutex_);
        update(var_data_);
        put_newest_row(var_data_, row);
    }
    std::vector<std::string> failing;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(names_mutex_);
        failing = append_logs(waiting_rows_, log_names_, r);
    }
    report_write_failures(failing);
}

void Station::conclude_reading(const FaultCheck& check) {
    if (check.due) events_.alert_due(check.list);
    events_.grid_changed();
}

namespace {

// One accepted line through the pipeline: parsed, pushed when shared (a push that fails ends
// the process before the reading is shown or logged), recorded, concluded.
void handle_line(Station& station, SerialLines& p, std::string_view line) {
    std::string data_line;
    const FaultCheck check = station.with_faults([&](FaultList& f) {
        data_line = parse_device_line(line, p.reading.sec, p.reading.sys_stamp, p.reading, p.meter, f);
    });
    if (p.sharing)
        if (const char* failure = push_to_server(p.server, push_message(p.code, data_line)))
            station.events().fatal(failure);
    station.record_reading(p.reading);
    station.conclude_reading(check);
}

}  // namespace

Taken take_bytes(Station& station, SerialLines& p, const char* buf, std::size_t n,
                 const std::atomic<bool>& stop) {
    Taken taken = Taken::more;
    for (std::size_t i = 0; i < n; ++i) {
        if (!p.assembler.push(buf[i])) continue;
        take_stamps(std::time(nullptr), station.run.tm0, p.reading);
        const std::string_view line = p.assembler.line();
        if (!accept_device_line(line, p.assembler.length(), p.meter.first_line_seen)) {
            p.meter.first_line_seen = true;
            p.assembler.clear();
            taken = Taken::rejected;
            continue;
        }
        if (station.NotPausedFlag) handle_line(station, p, line);
        p.assembler.clear();
        if (stop) return Taken::stop;
    }
    return taken;
}

void port_reopened(SerialLines& p) {
    p.assembler.clear();
    p.meter.first_line_seen = false;
}

#pragma once
// The run: its settings and shared state, and the pipeline of one reading, free of the window
// and of the platform. One Station per process, made at start-up and handed by reference to the
// serial reader, the poller, sharing and the window. Settings and run values are fixed on the
// GUI thread before any other thread starts and only read afterwards; what threads share while
// running (grid, log names and waiting rows, fault list) is reached through the member
// functions, which hold the locks.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "device_line.h"
#include "faults.h"
#include "grid_buffer.h"
#include "logs.h"
#include "plot_scripts.h"
#include "reading.h"
#include "settings.h"
#include "sockets.h"

// What the pipeline and acquisition tell the window; the window implements it.
class StationEvents {
public:
    // The grid buffer has new rows (any thread).
    virtual void grid_changed() = 0;
    // A reading's fault list calls for the alert. From the GUI thread the call returns when the
    // alert is closed; from another thread at once.
    virtual void alert_due(const std::string& list) = 0;
    // A failure of the network path: pause as the Pause button would, then show the message.
    virtual void pause_for_failure(const char* utf8) = 0;
    // The serial port was lost (true) or is open again (false), on the reader's thread.
    virtual void port_lost(bool lost) = 0;
    // A file has started failing (any thread).
    virtual void write_failed(const std::string& path) = 0;
    // Rows of the logs lost at the end of the run, on the thread that ends it.
    virtual void rows_not_saved(std::size_t count) = 0;
    // The poller's ticks, every period_ms on the GUI thread, from now on.
    virtual void start_poll_ticks(unsigned period_ms) = 0;
    // The box and the end of the process, on the thread that failed.
    [[noreturn]] virtual void fatal(const char* utf8) = 0;
    // The end of the process with this code, once the logs are done with.
    [[noreturn]] virtual void end_process(int code) = 0;

protected:
    ~StationEvents() = default;
};

// Sharing: written by the GUI thread's server command, which can only come before Start;
// read afterwards by the reader, the poller, the launcher thread and the shutdown.
struct SharingState {
    bool on = false;
    std::int32_t port = 5000;  // until the server command chooses one
};

// How long a push or the quit waits for the local data server to take the connection.
constexpr int PUSH_CONNECT_TIMEOUT_MS = 5000;
// Sends one message to a data server on a new connection, taken within
// PUSH_CONNECT_TIMEOUT_MS. The failure's message, or nothing: the caller decides what a
// failure does.
const char* push_to_server(const sockaddr_in& server, std::string_view message);

// Fault list: the parse that fills it runs under its lock; the alert clears the latches.
struct FaultCheck {
    bool due = false;
    std::string list;  // the reading's fault list, copied for the alert
};

class Station {
public:
    explicit Station(StationEvents& events) : events_(events) {}
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    StationEvents& events() { return events_; }

    // Written by the GUI thread before any other thread starts; read only afterwards.
    Settings settings;            // location, com0, ip0, port, per_msec, per_sec, the four flags
    RunSetup run;                 // szWDir, szDDir, szDDir1, started_time, szGnuplotStart, tm0
    std::int32_t secret = 0;
    sockaddr_in server1{};        // the remote data server (network source)
    SharingState sharing;
    // Written by the GUI thread (Start, Pause, Continue); read by the serial reader and the poller.
    std::atomic<int> NotPausedFlag{0};

    // The local data server's address, and the push of one data line to it.
    sockaddr_in local_server_address() const;
    const char* push(std::string_view data_line) const;

    // Grid: scrolls and writes the newest row under the lock; the window copies the buffer out
    // under the lock and only then writes the cells.
    void clear_grid();
    GridBuffer grid_snapshot();

    // Logs: a row goes wholly to the pair named when it is appended; a line that cannot be
    // appended waits for its file (and is retried before the next row for that file, and by
    // the retry timer).
    void set_default_log(const std::string& szFile);
    // Ends the process between two rows, never in the middle of one, after the waiting rows'
    // last try (finish_logs).
    [[noreturn]] void exit_between_rows(int code);
    void retry_waiting_rows();
    // At the end of the run: one more try, then what still waits goes to the unsaved files in
    // the working directory; the window is told how many rows were lost, if any.
    void finish_logs();
    // Makes new_file the log (when given), writes its headers and both scripts, as one step
    // against the rows the reader appends.
    void prepare_log_file(const std::string* new_file);
    std::string current_log();
    ScriptNames current_scripts();

    FaultCheck with_faults(const std::function<void(FaultList&)>& parse);
    void acknowledge_faults();

    // The pipeline of a parsed reading: the grid, then the logs.
    void record_reading(const Reading& r);
    // Its end: the alert when due, then the grid's refresh.
    void conclude_reading(const FaultCheck& check);

private:
    void report_write_failures(const std::vector<std::string>& paths);
    void finish_waiting_rows();

    StationEvents& events_;

    // Rows are added by the thread that takes the readings (the serial reader, or the GUI
    // thread for the poller); the GUI thread clears the buffer before Start and copies it out.
    std::mutex grid_mutex_;
    GridBuffer var_data_;

    // The log names and the lines waiting for their files. Rows come from the serial reader
    // (serial source) or the GUI thread (network source); names, headers and the 5 s retry
    // from the GUI thread; the end of the run from whichever thread ends the process. Timed,
    // because a reader terminated while it appended would hold it for good; recursive, because
    // the GUI thread holds it to the end under the box of lost rows, whose message loop goes on
    // dispatching the window's commands.
    std::recursive_timed_mutex names_mutex_;
    LogNames log_names_;
    ScriptNames script_names_;
    WaitingRows waiting_rows_{append_text_file};

    // Filled by the reading's thread, cleared by the alert's OK.
    std::mutex faults_mutex_;
    FaultList faults_;
};

// The serial reader's line handling, apart from the port: what lives as long as the reader.
// Written by the reader's thread alone.
struct SerialLines {
    bool sharing = false;  // each accepted line is pushed to the local data server
    sockaddr_in server{};
    std::int32_t code = 0;
    MeterState meter;
    Reading reading;
    LineAssembler assembler;
};

enum class Taken { more, rejected, stop };

// Gathers the bytes read into lines; every accepted line goes through the whole pipeline
// while acquisition is not paused. rejected when a line was refused (the reader then waits
// for the next event once these bytes are taken); stop when stop turned true after a line.
// A push that fails ends the process.
Taken take_bytes(Station& station, SerialLines& lines, const char* buf, std::size_t n,
                 const std::atomic<bool>& stop);
// The port was lost and is open again: the line in hand is cut short, and the first line
// after the reopen may begin mid-line; both are dropped.
void port_reopened(SerialLines& lines);

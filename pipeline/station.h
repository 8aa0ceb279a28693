#pragma once
// The run's shared state and the pipeline of one reading, free of the window. Settings and
// run values are fixed on the GUI thread before any other thread starts and only read
// afterwards; what threads share while running (grid, log names and waiting rows, fault list)
// is reached through the functions below, which hold the locks.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "faults.h"
#include "grid_buffer.h"
#include "logs.h"
#include "plot_scripts.h"
#include "reading.h"
#include "settings.h"

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
    // The box and the end of the process, on the thread that failed.
    [[noreturn]] virtual void fatal(const char* utf8) = 0;

protected:
    ~StationEvents() = default;
};

// Set once, before any thread starts.
void set_station_events(StationEvents& events);
StationEvents& station_events();

// Written by the GUI thread before any other thread starts; read only afterwards.
extern Settings g_settings;   // location, com0, ip0, port, per_msec, per_sec, the four flags
extern RunSetup g_run;        // szWDir, szDDir, szDDir1, started_time, szGnuplotStart, tm0
extern std::int32_t secret;
extern sockaddr_in server1;   // the remote data server (network source)
// Written by the GUI thread (Start, Pause, Continue); read by the serial reader and the poller.
extern std::atomic<int> NotPausedFlag;

// Sharing: written by the GUI thread's server command, which can only come before Start;
// read afterwards by the reader, the poller, the launcher thread and the shutdown.
struct SharingState {
    bool on = false;
    std::int32_t port = 5000;  // until the server command chooses one
    HANDLE launcher = nullptr;
};
extern SharingState g_sharing;

// How long a push or the quit waits for the local data server to take the connection.
constexpr int PUSH_CONNECT_TIMEOUT_MS = 5000;
bool sharing_on();
// The local data server's address as the serial reader copies it when it starts.
sockaddr_in local_server_address();
std::int32_t run_code();
// The poller's push of a new reading: the reply exactly as received. False when the exchange
// failed: acquisition is paused and the failure shown.
bool push_reply(std::string_view reply);

// Grid: scrolls and writes the newest row under the lock; the window copies the buffer out
// under the lock and only then writes the cells.
void clear_grid();
void grid_add(const Reading& r);
GridBuffer grid_snapshot();

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
// working directory; the window is told how many rows were lost, if any.
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

// The pipeline of a parsed reading: the grid, then the logs.
void record_reading(const Reading& r);
// Its end: the alert when due, then the grid's refresh.
void conclude_reading(const FaultCheck& check);

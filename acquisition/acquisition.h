#pragma once
// The two acquisition paths: the serial reader thread and the network poller. Both hand their
// readings to the pipeline and report through the station's events.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "device_line.h"
#include "handle.h"
#include "reading.h"

// The serial reader's line handling, apart from the port: what lives as long as the reader.
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
Taken take_bytes(SerialLines& lines, const char* buf, std::size_t n, const std::atomic<bool>& stop);
// The port was lost and is open again: the line in hand is cut short, and the first line
// after the reopen may begin mid-line; both are dropped.
void port_reopened(SerialLines& lines);

// The serial reader thread. Written by the GUI thread only (start and stop); the thread
// itself reads the stop flag and event. A port lost while the run goes on is closed and
// opened again every 2 s with every start-up setting; the station's events say so.
class SerialReader {
public:
    // Ends the process when the thread cannot be created.
    void start();
    // At the window's destruction: lets the reader finish the reading it is handling, waits up
    // to 2 s (serving messages other threads send the window meanwhile), then terminates it if
    // it still runs.
    void stop();

private:
    static DWORD WINAPI main_loop(LPVOID self);
    std::atomic<bool> stop_requested_{false};
    Handle stop_event_;
    HANDLE thread_ = nullptr;
};

// The network poller, on the GUI thread alone.
class Poller {
public:
    // Starts the window's timer 1 at the poll period (at least once a second).
    void start(HWND window);
    // One tick.
    void tick();

private:
    std::int32_t old_sec_stamp_ = 0;
    Reading polled_;  // sec is the reply's sec_stamp; the stamps carry over when a reply lacks them
};

#pragma once
// The two acquisition paths: the serial reader thread and the network poller. Both hand their
// readings to the pipeline and report through the station's events.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "handle.h"
#include "reading.h"
#include "station.h"

// The serial reader thread. Written by the GUI thread only (start and stop); the thread
// itself reads the stop flag and event. A port lost while the run goes on is closed and
// opened again every 2 s with every start-up setting; the station's events say so.
class SerialReader {
public:
    explicit SerialReader(Station& station) : station_(station) {}
    // Ends the process when the thread cannot be created.
    void start();
    // At the window's destruction: lets the reader finish the reading it is handling, waits up
    // to 2 s (serving messages other threads send the window meanwhile), then terminates it if
    // it still runs.
    void stop();

private:
    static DWORD WINAPI main_loop(LPVOID self);
    Station& station_;
    std::atomic<bool> stop_requested_{false};
    Handle stop_event_;
    HANDLE thread_ = nullptr;
};

// The network poller, on the GUI thread alone.
class Poller {
public:
    explicit Poller(Station& station) : station_(station) {}
    // Asks the window for ticks at the poll period (at least once a second).
    void start();
    // One tick.
    void tick();

private:
    Station& station_;
    std::int32_t old_sec_stamp_ = 0;
    Reading polled_;  // sec is the reply's sec_stamp; the stamps carry over when a reply lacks them
};

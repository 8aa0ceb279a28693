// The serial reader: opens the meter's port, gathers its bytes into lines and runs every
// accepted line through the whole pipeline on its own thread; opens the port again when the
// device goes away and comes back.
#include <atomic>
#include <string>

#include "acquisition.h"

namespace {

const char kEventFailure[] = "Невозможно установить параметры события";
// A lost port is tried again this often.
constexpr DWORD REOPEN_PERIOD_MS = 2000;

// A wait ended by Wine's emulation of the event wait (it cancels a wait that has to wait,
// every few milliseconds): the port is fine if it still answers.
bool cancelled_but_alive(HANDLE port) {
    DWORD errors = 0;
    COMSTAT stat{};
    return GetLastError() == ERROR_OPERATION_ABORTED && ClearCommError(port, &errors, &stat);
}

// Bytes waiting in the port's input queue; -1 when the port does not answer.
long queued(HANDLE port) {
    DWORD errors = 0;
    COMSTAT stat{};
    return ClearCommError(port, &errors, &stat) ? long(stat.cbInQue) : -1;
}

enum class WaitResult { event, stop, lost };

// Wine 8 keeps about 400 bytes of every overlapped WaitCommEvent for good, and a wait follows
// nearly every line: megabytes a day on a station. Under Wine the reader therefore asks the
// port instead of waiting; on Windows it waits. ZK47_COMM_WAITS=1 makes it wait under Wine
// too, so that Windows' path can be tried there. Wine is known by its ntdll's export.
bool polls_port() {
    char v[2] = {};
    if (GetEnvironmentVariableA("ZK47_COMM_WAITS", v, sizeof v) == 1 && v[0] == '1') return false;
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The port of the start-up steps: opened for exclusive overlapped use, with the read
// time-outs, the line settings and the event mask. failure names the step that failed.
Handle open_port(const std::string& name, const char*& failure) {
    Handle port(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (!port) {
        failure = "Невозможно открыть посл.порт";
        return port;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 2;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = FALSE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    if (!SetCommTimeouts(port.get(), &timeouts) || !SetCommState(port.get(), &dcb)) {
        failure = "Невозможно установить параметры посл.порта";
        port.reset();
    } else if (!SetCommMask(port.get(), EV_RXCHAR)) {
        failure = kEventFailure;
        port.reset();
    }
    return port;
}

// Asks the port every 10 ms until bytes wait in its queue: their count, 0 when the stop
// event came first, -1 when the port did not answer.
long poll_queue(HANDLE port, HANDLE stop_event) {
    long n;
    while ((n = queued(port)) == 0)
        if (WaitForSingleObject(stop_event, 10) == WAIT_OBJECT_0) return 0;
    return n;
}

WaitResult queue_result(long n, DWORD& mask) {
    if (n == 0) return WaitResult::stop;
    if (n < 0) return WaitResult::lost;
    mask = EV_RXCHAR;
    return WaitResult::event;
}

// Waits for the next comm event; mask gets what it reported. The event handle serves the
// waits alone (the reads have their own), so its signal always means that this wait has ended.
// Any failure of the port means it is gone (an unplugged adapter answers access denied, not
// ready, bad command, device not connected or broken pipe, or nothing at all).
WaitResult wait_event(HANDLE port, HANDLE event, HANDLE stop_event, bool polls, DWORD& mask) {
    if (polls) return queue_result(poll_queue(port, stop_event), mask);
    for (;;) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        mask = 0;
        if (WaitCommEvent(port, &mask, &ov)) return WaitResult::event;
        if (GetLastError() != ERROR_IO_PENDING) {
            if (!cancelled_but_alive(port)) return WaitResult::lost;
            Sleep(10);
            continue;
        }
        const HANDLE waits[2] = {event, stop_event};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            CancelIo(port);
            WaitForSingleObject(event, 1000);  // Wine's worker ends within milliseconds
            return WaitResult::stop;
        }
        // Never wait on the event a second time: Wine 8 can leave a finished wait marked pending
        // for good (its worker thread may finish before the request writes STATUS_PENDING over
        // the result), and the one signal has been taken. The mask then tells what came.
        DWORD ignored;
        if (GetOverlappedResult(port, &ov, &ignored, FALSE)) return WaitResult::event;
        if (GetLastError() == ERROR_IO_INCOMPLETE) {
            if (mask != 0) return WaitResult::event;
        } else if (!cancelled_but_alive(port)) {
            return WaitResult::lost;
        }
        // A cancelled wait is Wine's: each new wait costs it a thread, a quarter of a core while
        // the line is quiet. Asking the port every 10 ms until bytes come costs next to nothing.
        return queue_result(poll_queue(port, stop_event), mask);
    }
}

// Reads the bytes the port holds, or one byte within the read time-outs when it holds none;
// returns how many came, -1 when the port failed. Under Wine every read costs a round trip to
// its server: one byte per read held the reader to a few dozen lines a second.
long read_bytes(HANDLE port, HANDLE event, char* buf, DWORD size) {
    const long n = queued(port);
    const DWORD want = n > 1 ? (DWORD(n) < size ? DWORD(n) : size) : 1;
    OVERLAPPED ov{};
    ov.hEvent = event;
    ResetEvent(event);
    DWORD got = 0;
    if (!ReadFile(port, buf, want, &got, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return -1;
        // A signal that an earlier read left late may wake a wait before this read is done:
        // wait for the read itself, which its time-outs end within milliseconds.
        for (int i = 0; i < 200 && !HasOverlappedIoCompleted(&ov); ++i) WaitForSingleObject(event, 10);
        if (!HasOverlappedIoCompleted(&ov)) {
            CancelIo(port);
            WaitForSingleObject(event, 1000);
        }
        if (!GetOverlappedResult(port, &ov, &got, FALSE)) {
            // Wine reports a read that timed out with no byte as a failure; Windows as 0 bytes.
            const DWORD e = GetLastError();
            if (e != ERROR_TIMEOUT && e != ERROR_OPERATION_ABORTED && e != ERROR_IO_INCOMPLETE) return -1;
            got = 0;
        }
    }
    return long(got);
}

}  // namespace

namespace {

enum class PortEnd { stop, lost };

// Takes the port's lines until the stop request or the port's loss.
PortEnd run_port(HANDLE port, HANDLE event, HANDLE read_event, HANDLE stop_event, bool polls,
                 Station& station, SerialLines& p, const std::atomic<bool>& stop) {
    for (;;) {
        DWORD mask = 0;
        const WaitResult w = wait_event(port, event, stop_event, polls, mask);
        if (w == WaitResult::stop || stop) return PortEnd::stop;
        // A wait that reports nothing at all: the device has gone.
        if (w == WaitResult::lost || mask == 0) return PortEnd::lost;
        if (!(mask & EV_RXCHAR)) continue;
        char buf[1024];
        Taken taken = Taken::more;
        long n;
        while (taken == Taken::more && (n = read_bytes(port, read_event, buf, sizeof buf)) > 0)
            taken = take_bytes(station, p, buf, std::size_t(n), stop);
        if (taken == Taken::stop) return PortEnd::stop;
        if (n < 0) return PortEnd::lost;
    }
}

}  // namespace

DWORD WINAPI SerialReader::main_loop(LPVOID param) {
    SerialReader& self = *static_cast<SerialReader*>(param);
    Station& station = self.station_;
    // COM10 and above open only in this form.
    const std::string name = "\\\\.\\" + station.settings.com0;
    // Auto-reset events, one for the event waits and one for the reads: under Wine a read can
    // signal its event after it has been seen complete, which must not pass for a wait's end.
    Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle read_event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const char* failure = kEventFailure;
    Handle port = event && read_event ? open_port(name, failure) : Handle();
    if (!port) station.events().fatal(failure);

    SerialLines p;
    p.sharing = station.sharing.on;
    if (p.sharing) {
        p.server = station.local_server_address();
        p.code = station.secret;
    }
    const bool polls = polls_port();
    const HANDLE stop_event = self.stop_event_.get();
    DWORD last_try = GetTickCount();  // of an open: a port lost at once is not tried in a busy loop
    for (;;) {
        if (run_port(port.get(), event.get(), read_event.get(), stop_event, polls, station, p,
                     self.stop_requested_) == PortEnd::stop)
            return 0;
        // Lost mid-run (a cable pulled, a hub reset): an unattended station must go on logging
        // once the meter is back, so no box and no exit. The port is closed (so that the
        // system can give the adapter back under its name) and opened again every 2 s.
        port.reset();
        station.events().port_lost(true);
        while (!port) {
            const DWORD since = GetTickCount() - last_try;
            if (since < REOPEN_PERIOD_MS &&
                WaitForSingleObject(stop_event, REOPEN_PERIOD_MS - since) == WAIT_OBJECT_0)
                return 0;
            last_try = GetTickCount();
            port = open_port(name, failure);
        }
        port_reopened(p);
        station.events().port_lost(false);
    }
}

void SerialReader::start() {
    stop_event_ = Handle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    thread_ = stop_event_ ? CreateThread(nullptr, 0, main_loop, this, 0, nullptr) : nullptr;
    if (!thread_) station_.events().fatal("Невозможно создать поток");
}

void SerialReader::stop() {
    if (!thread_) return;
    stop_requested_ = true;
    SetEvent(stop_event_.get());
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        const DWORD left = elapsed < 2000 ? 2000 - elapsed : 0;
        const DWORD r = MsgWaitForMultipleObjects(1, &thread_, FALSE, left, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0 + 1) {
            // The reader only posts to the window, but a box or alert dialog of another thread
            // may send to it while we wait: serve that rather than stall it.
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        break;
    }
    // The one real hazard left: a reader that has not ended after 2 s (stuck in a file or
    // socket call, or in its fatal box) is terminated wherever it stands. If that is inside
    // the log lock, the rows still waiting get no last try (the lock is waited for 2 s only);
    // inside the C runtime, its locks stay taken and a later file call could hang.
    if (WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0) TerminateThread(thread_, 0);
    CloseHandle(thread_);
    thread_ = nullptr;
}

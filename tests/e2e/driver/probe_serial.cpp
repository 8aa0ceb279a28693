// probe_serial PORT OUTFILE [IDLE_SECONDS]: opens the serial port the way the monitor does
// (overlapped, 9600 baud, CTS flow, DTR on, RTS handshake, EV_RXCHAR, one-byte reads) and
// appends every line it receives, with its line end, to OUTFILE (opened and closed per line).
// Exit codes: 3 after the line "quit", 4 when nothing arrived for IDLE_SECONDS (default 60),
// 2 when the port cannot be opened or set up, 1 on a read failure.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

int report(const char* what, int code) {
    std::fprintf(stderr, "probe_serial: %s failed, error %lu\n", what, GetLastError());
    return code;
}

bool append_line(const std::string& path, const std::string& line) {
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return false;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
    return true;
}

enum class Io { done, nothing, failed };

// Waits for one overlapped operation. Wine cancels a pending WaitCommEvent after a few
// milliseconds (ERROR_OPERATION_ABORTED) and ends a one-byte read that timed out with
// ERROR_TIMEOUT where Windows reports 0 bytes: both mean "nothing came".
Io finish(HANDLE port, OVERLAPPED& ov, BOOL started, DWORD& bytes) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return Io::failed;
    if (!GetOverlappedResult(port, &ov, &bytes, TRUE)) {
        DWORD e = GetLastError();
        return (e == ERROR_OPERATION_ABORTED || e == ERROR_TIMEOUT) ? Io::nothing : Io::failed;
    }
    return Io::done;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: probe_serial PORT OUTFILE [IDLE_SECONDS]\n");
        return 2;
    }
    const std::string device = std::string("\\\\.\\") + argv[1];
    const std::string out = argv[2];
    const ULONGLONG idle_ms = (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 60) * 1000;

    UniqueHandle port(CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr));
    if (port.get() == INVALID_HANDLE_VALUE) return report("CreateFile", 2);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 100;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!SetupComm(port.get(), 1024, 1024) || !SetCommTimeouts(port.get(), &timeouts) ||
        !GetCommState(port.get(), &dcb))
        return report("port set-up", 2);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    if (!SetCommState(port.get(), &dcb) || !SetCommMask(port.get(), EV_RXCHAR)) return report("SetCommState", 2);

    // Manual reset, cleared before every operation: a timed-out read can leave it signalled.
    UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event) return report("CreateEvent", 2);

    std::string line;
    ULONGLONG last_byte = GetTickCount64();
    for (;;) {
        if (GetTickCount64() - last_byte > idle_ms) return 4;
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        ResetEvent(event.get());
        DWORD mask = 0, bytes = 0;
        Io waited = finish(port.get(), ov, WaitCommEvent(port.get(), &mask, &ov), bytes);
        if (waited == Io::failed) return report("WaitCommEvent", 1);
        if (waited == Io::nothing || !(mask & EV_RXCHAR)) {
            Sleep(10);  // a cancelled wait comes back at once; re-waiting at once burns a core
            continue;
        }
        for (;;) {
            char byte = 0;
            ov = OVERLAPPED{};
            ov.hEvent = event.get();
            ResetEvent(event.get());
            Io read = finish(port.get(), ov, ReadFile(port.get(), &byte, 1, nullptr, &ov), bytes);
            if (read == Io::failed) return report("ReadFile", 1);
            if (read == Io::nothing || bytes == 0) break;
            last_byte = GetTickCount64();
            line += byte;
            if (byte != '\n') continue;
            if (!append_line(out, line)) return report("writing the output file", 1);
            bool quit = line == "quit\n" || line == "quit\r\n";
            line.clear();
            if (quit) return 3;
        }
    }
}

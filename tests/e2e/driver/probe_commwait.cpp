// probe_commwait PORT wait|poll COUNT: makes COUNT overlapped WaitCommEvent calls on a quiet
// port (wait), or COUNT ClearCommError calls (poll), and prints the process's working set six
// times on the way: "<mode> <calls> <KB>". Under Wine 8 the waits keep memory for good; asking
// the port does not. Exit codes: 0 done, 2 bad usage or the port cannot be opened or set up.

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

SIZE_T working_set_kb() {
    PROCESS_MEMORY_COUNTERS c{};
    c.cb = sizeof c;
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? c.WorkingSetSize / 1024 : 0;
}

// One wait as the serial reader made it: started, given up to 100 ms (Wine ends a wait on a
// quiet port by itself within milliseconds), then its result taken.
bool one_wait(HANDLE port, HANDLE event) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    ResetEvent(event);
    DWORD mask = 0, ignored = 0;
    if (WaitCommEvent(port, &mask, &ov)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return GetLastError() == ERROR_OPERATION_ABORTED;
    if (WaitForSingleObject(event, 100) != WAIT_OBJECT_0) {
        CancelIo(port);
        WaitForSingleObject(event, 1000);
    }
    GetOverlappedResult(port, &ov, &ignored, FALSE);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[2], "wait") != 0 && std::strcmp(argv[2], "poll") != 0)) {
        std::fprintf(stderr, "usage: probe_commwait PORT wait|poll COUNT\n");
        return 2;
    }
    const bool wait = std::strcmp(argv[2], "wait") == 0;
    const long count = std::strtol(argv[3], nullptr, 10);
    if (count < 5) return 2;
    const std::string name = std::string("\\\\.\\") + argv[1];
    HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return 2;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event || !SetCommMask(port, EV_RXCHAR)) return 2;
    for (long i = 0; i <= count; ++i) {
        if (i % (count / 5) == 0) {
            std::printf("%s %ld %lu\n", argv[2], i, static_cast<unsigned long>(working_set_kb()));
            std::fflush(stdout);
        }
        if (i == count) break;
        if (wait) {
            if (!one_wait(port, event)) return 2;
        } else {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!ClearCommError(port, &errors, &stat)) return 2;
        }
    }
    CloseHandle(event);
    CloseHandle(port);
    return 0;
}

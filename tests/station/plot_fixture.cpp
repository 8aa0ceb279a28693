// A stand-in for the monitor, run under Wine: makes a working directory, puts the forwarder
// in it as wgnuplot.exe, writes a run's logs and plot scripts with the core's own writers,
// and starts the forwarder on a script the way the Graph and Snapshot commands do.
//
//   station_plot_fixture PARENT ascii|cyrillic FORWARDER|- none|plt|pld [PER_SEC] [ONLY_SECONDS]
//
// PARENT is a Windows folder in ASCII. The working directory is PARENT\station, or, for
// "cyrillic", a folder whose Windows-1251 name holds Cyrillic letters, a blank and quotes.
// Exit code: the forwarder's, 0 when none was started, 90 and up for the fixture's own failures.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "command_lines.h"
#include "logs.h"
#include "plot_scripts.h"
#include "reading.h"
#include "settings.h"
#include "text.h"

namespace {

struct Process {
    PROCESS_INFORMATION pi{};
    ~Process() {
        if (pi.hThread) CloseHandle(pi.hThread);
        if (pi.hProcess) CloseHandle(pi.hProcess);
    }
};

Reading reading_at(int i, std::time_t tm0) {
    Reading r;
    take_stamps(tm0 + 5 * i, tm0, r);
    char counter[16];
    std::snprintf(counter, sizeof counter, "%08d", 4521 + 5 * i);
    r.tm_time = counter;
    for (int k = 0; k < NCHAN; ++k) r.values[k] = 20.0 + k * 0.5 + 0.1 * ((i * (k + 1)) % 7);
    r.values[2] = NSENS_VALUE;
    if (i % 4 == 3) r.values[3] = ERROR_VALUE;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: station_plot_fixture PARENT ascii|cyrillic FORWARDER|- none|plt|pld [PER_SEC] [ONLY_SECONDS]\n");
        return 90;
    }
    const std::string parent = argv[1];
    const std::string folder = std::string(argv[2]) == "cyrillic" ? to_cp1251("Станция 'ZK' 47") : "station";
    const std::string forwarder = argv[3];
    const std::string which = argv[4];
    PlotOptions o;
    o.per_sec = argc > 5 ? std::atoi(argv[5]) : 1;
    o.OnlySeconds = argc > 6 && std::atoi(argv[6]) != 0;

    const std::string wdir = parent + "\\" + folder;
    CreateDirectoryA(wdir.c_str(), nullptr);
    std::tm start{};
    start.tm_year = 2024 - 1900;
    start.tm_mon = 4;
    start.tm_mday = 17;
    start.tm_hour = 9;
    start.tm_min = 41;
    start.tm_sec = 7;
    start.tm_isdst = -1;
    const auto setup = make_run_setup(wdir, std::mktime(&start));
    if (!setup) return 91;
    create_run_dirs(*setup);
    if (forwarder != "-" && !CopyFileA(forwarder.c_str(), setup->szGnuplotStart.c_str(), FALSE)) {
        std::fprintf(stderr, "cannot copy the forwarder (%lu)\n", GetLastError());
        return 92;
    }

    LogNames logs{setup->szFile, {}};
    WaitingRows waiting(append_text_file);
    if (!write_log_headers(waiting, logs, setup->started_time).empty()) return 93;
    for (int i = 0; i < 30; ++i)
        if (!append_logs(waiting, logs, reading_at(i, setup->tm0)).empty()) return 93;
    ScriptNames names;
    if (!write_scripts(setup->szFile, setup->started_time, o, names).empty()) return 94;
    std::printf("started %s\n", setup->started_time.c_str());
    if (which == "none") return 0;

    // As the Graph and Snapshot commands start the viewer.
    const auto line = viewer_command(setup->szGnuplotStart, which == "plt" ? names.szPlt : names.szPld);
    if (!line) return 95;
    std::string command = *line;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    Process p;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &p.pi)) {
        std::fprintf(stderr, "cannot start the forwarder (%lu)\n", GetLastError());
        return 96;
    }
    // The forwarder is a Windows program: unlike gnuplot, it can be waited for.
    if (WaitForSingleObject(p.pi.hProcess, 60000) != WAIT_OBJECT_0) return 97;
    DWORD code = 0;
    GetExitCodeProcess(p.pi.hProcess, &code);
    std::printf("forwarder exit %lu\n", code);
    return int(code);
}

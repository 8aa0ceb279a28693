// Memory and cost of the web page's history: 500 stations with a full hour each, and the
// largest /api/history answer, whole and reduced. Prints figures; never fails on time.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "web_feed.h"

namespace {

double resident_mb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096.0 / (1 << 20);
}

}  // namespace

int main() {
    constexpr int STATIONS = 500;
    const std::size_t per_station = History::CAPACITY;
    WebFeed feed;
    Reading r;
    r.sys_stamp = "2024-05-17-09-41-07";
    r.sys_time = "09-41-07";
    r.tm_time = "00004521";
    const double before = resident_mb();
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < per_station; ++i) {
        r.sec = std::int32_t(i + 1);
        for (int k = 0; k < NCHAN; ++k) r.values[k] = 20.0 + k + double(i % 100) / 100;
        for (int s = 0; s < STATIONS; ++s) feed.on_reading("s" + std::to_string(s), r, "", 1e9 + double(i));
    }
    const double fill_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double after = resident_mb();
    std::printf("history: %d stations x %zu readings, %zu bytes an entry: %.1f MB resident "
                "(%.1f bytes a reading), %.2f us a reading\n",
                STATIONS, per_station, sizeof(HistoryEntry), after - before,
                (after - before) * (1 << 20) / (double(STATIONS) * double(per_station)),
                fill_s * 1e6 / (double(STATIONS) * double(per_station)));

    const auto t0 = std::chrono::steady_clock::now();
    const std::string body = feed.history_json("s0", std::int64_t(1e12 + double(per_station) * 1000));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("history: a full hour as JSON is %.0f kB and takes %.1f ms\n", body.size() / 1024.0, ms);
    // As a chart of a wide screen asks for it: a column a pixel, the last minutes in full.
    const auto t1 = std::chrono::steady_clock::now();
    const std::string reduced =
        feed.history_json("s0", std::int64_t(1e12 + double(per_station) * 1000), 1200);
    const double reduced_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t1).count();
    std::printf("history: reduced to 1200 columns it is %.0f kB and takes %.1f ms\n",
                reduced.size() / 1024.0, reduced_ms);
    return 0;
}

// The live-graph script as the core writes it, run by the host's gnuplot (5.4 on Debian 12):
// it redraws as rows are appended, through its reread and through the loop alone, which is
// what gnuplot 6 (no reread) runs.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "core_test_support.h"
#include "logs.h"
#include "plot_scripts.h"

namespace {

Reading row_at(int sec, double t1) {
    Reading r;
    r.sec = sec;
    r.sys_stamp = "2024-05-17-09-30-0" + std::to_string(sec);
    r.tm_time = "00004521";
    r.values.fill(20.0);
    r.values[0] = t1;
    return r;
}

// The plots gnuplot has finished: the dumb terminal begins each with a form feed.
std::vector<std::string> plots(const std::string& out) {
    std::vector<std::string> found;
    for (std::size_t at = out.find('\f'), next; at != std::string::npos; at = next) {
        if ((next = out.find('\f', at + 1)) == std::string::npos) break;
        found.push_back(out.substr(at + 1, next - at - 1));
    }
    return found;
}

// Runs gnuplot on the script for at most 20 s; two plots of the first rows must look alike
// and a plot after a row far above them must not.
void expect_redraws(bool loop_alone) {
    zktest::ScratchDir dir;
    const std::string log = dir.file("run.txt"), out = dir.file("out.txt");
    std::ofstream(log, std::ios::binary) << text_log_header("2024-05-17-09-30-00") << text_log_row(row_at(1, 20.0))
                                         << text_log_row(row_at(2, 21.0));
    PlotOptions o;
    o.per_sec = 1;
    std::string script = live_script(log, "2024-05-17-09-30-00", o);
    const std::string reread = "if (GPVAL_VERSION < 6.0) reread\n";
    if (loop_alone) script.erase(script.find(reread), reread.size());
    std::ofstream(dir.file("live.plt"), std::ios::binary) << script;
    ASSERT_EQ(std::system(("timeout 20 gnuplot -e 'set terminal dumb' '" + dir.file("live.plt") + "' >'" + out +
                           "' 2>&1 & echo $! >'" + dir.file("pid") + "'").c_str()), 0);
    struct Stop {  // timeout passes the signal on to gnuplot
        std::string pid_file;
        ~Stop() {
            const int pid = std::atoi(zktest::file_bytes(pid_file).c_str());
            if (pid > 0) kill(pid, SIGTERM);
        }
    } stop{dir.file("pid")};
    auto wait_plots = [&](std::size_t n) {
        for (int i = 0; i < 150 && plots(zktest::file_bytes(out)).size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return plots(zktest::file_bytes(out));
    };
    const auto before = wait_plots(2);
    ASSERT_GE(before.size(), 2u) << zktest::file_bytes(out);
    EXPECT_EQ(before[0], before[1]);
    std::ofstream(log, std::ios::binary | std::ios::app) << text_log_row(row_at(3, 95.0));
    const auto after = wait_plots(plots(zktest::file_bytes(out)).size() + 2);
    EXPECT_NE(after.back(), before[0]) << zktest::file_bytes(out);
}

}  // namespace

TEST(LiveScriptOnGnuplot, RedrawsAsRowsAreAppended) { expect_redraws(false); }

TEST(LiveScriptOnGnuplot, TheLoopAloneRedrawsAsWell) { expect_redraws(true); }

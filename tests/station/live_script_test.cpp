// The live-graph script as the core writes it, run by the host's gnuplot (5.4 on Debian 12):
// it must redraw as rows are appended, both through its reread and through the loop that
// gnuplot 6, which has no reread, runs instead.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logs.h"
#include "plot_scripts.h"

namespace {

const std::string kStart = "2024-05-17-09-30-00";

std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void append(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

Reading row_at(std::int32_t sec, double t1) {
    Reading r;
    r.sec = sec;
    r.sys_stamp = "2024-05-17-09-30-" + std::string(sec < 10 ? "0" : "") + std::to_string(sec);
    r.tm_time = "00004521";
    r.values.fill(20.0);
    r.values[0] = t1;
    return r;
}

// The dumb terminal begins every plot with a form feed: a plot is complete once the next
// one has begun.
std::vector<std::string> frames(const std::string& out) {
    std::vector<std::string> found;
    std::size_t from = out.find('\f');
    for (std::size_t ff = out.find('\f', from + 1); ff != std::string::npos; ff = out.find('\f', from + 1)) {
        found.push_back(out.substr(from + 1, ff - from - 1));
        from = ff;
    }
    return found;
}

class LiveScriptOnGnuplot : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zk47-live-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ + "/run.txt";
        append(log_, text_log_header(kStart) + text_log_row(row_at(1, 20.0)) + text_log_row(row_at(2, 21.0)));
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // Starts gnuplot on the script, its plots going to a file as text.
    void run(const std::string& script) {
        const std::string path = dir_ + "/live.plt";
        std::ofstream(path, std::ios::binary) << script;
        out_ = dir_ + "/out.txt";
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            const int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execlp("gnuplot", "gnuplot", "-e", "set terminal dumb 100 30", path.c_str(), nullptr);
            _exit(127);
        }
    }

    // Waits (at most 30 s) until gnuplot has drawn `n` plots; returns them.
    std::vector<std::string> wait_frames(std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            auto f = frames(read_all(out_));
            if (f.size() >= n || std::chrono::steady_clock::now() > deadline) return f;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                ADD_FAILURE() << "gnuplot ended: " << read_all(out_);
                return f;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    // Two redraws of the same rows look alike; after a row with a far higher value the plot
    // changes.
    void expect_redraws_with_new_rows() {
        const auto before = wait_frames(2);
        ASSERT_GE(before.size(), 2u) << read_all(out_);
        EXPECT_EQ(before[0], before[1]);
        append(log_, text_log_row(row_at(3, 95.0)));
        const std::size_t seen = frames(read_all(out_)).size();
        const auto after = wait_frames(seen + 2);
        ASSERT_GE(after.size(), seen + 2) << read_all(out_);
        EXPECT_NE(after.back(), before[0]);
    }

    std::string dir_, log_, out_;
    pid_t pid_ = -1;
};

PlotOptions every_second() {
    PlotOptions o;
    o.per_sec = 1;
    return o;
}

}  // namespace

TEST_F(LiveScriptOnGnuplot, RedrawsAsRowsAreAppended) {
    run(live_script(log_, kStart, every_second()));
    expect_redraws_with_new_rows();
}

TEST_F(LiveScriptOnGnuplot, TheLoopAloneRedrawsAsWell) {
    // What gnuplot 6 runs: the reread line does nothing there.
    std::string script = live_script(log_, kStart, every_second());
    const std::string reread = "if (GPVAL_VERSION < 6.0) reread\n";
    const std::size_t at = script.find(reread);
    ASSERT_NE(at, std::string::npos);
    script.erase(at, reread.size());
    const std::string tail = "pause 1\nwhile (1) { replot; pause 1 }\n";
    ASSERT_EQ(script.substr(script.size() - tail.size()), tail);
    run(script);
    expect_redraws_with_new_rows();
}

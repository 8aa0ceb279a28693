// The pipeline of one reading, apart from the port and the window: bytes in, and what the
// station reports through its events, shows in its grid, writes to its logs and pushes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "messages.h"
#include "sockets.h"
#include "station.h"

namespace {

struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Ended {
    int code;
};

// Records every event; a fatal error or the process's end throws instead.
class RecordingEvents final : public StationEvents {
public:
    int grids = 0;
    std::vector<std::string> alerts, pauses, failed_writes;
    std::size_t lost = 0;
    unsigned ticks_ms = 0;

    void grid_changed() override { ++grids; }
    void alert_due(const std::string& list) override { alerts.push_back(list); }
    void pause_for_failure(const char* utf8) override { pauses.emplace_back(utf8); }
    void port_lost(bool) override {}
    void write_failed(const std::string& path) override { failed_writes.push_back(path); }
    void rows_not_saved(std::size_t count) override { lost += count; }
    void start_poll_ticks(unsigned period_ms) override { ticks_ms = period_ms; }
    [[noreturn]] void fatal(const char* utf8) override { throw Fatal(utf8); }
    [[noreturn]] void end_process(int code) override { throw Ended{code}; }
};

const std::atomic<bool> kGoOn{false};

// The worked example with its device time changed, so rows can be told apart.
std::string meter_line(const char* device_time) {
    return device_time + zktest::example_meter_line().substr(8) + "\r\n";
}

// The rows the worked example gives with this reading's seconds, stamp and device time.
std::string text_row(const Reading& r, const char* device_time) {
    char head[64];
    std::snprintf(head, sizeof head, "%8d %s %s", int(r.sec), r.sys_stamp.c_str(), device_time);
    return zktest::native_newlines(std::string(head) +
                                   "    23.45    23.51  -999.00  -888.00    -1.50   101.20    22.00  "
                                   "-999.00    19.75    20.10    20.05    20.00\n");
}
std::string csv_row(const Reading& r, const char* device_time) {
    return zktest::native_newlines(std::to_string(r.sec) + ";" + r.sys_stamp + ";" + device_time +
                                   ";23.45;23.51;N/SENS;ERROR;-1.50;101.20;22.00;N/SENS;19.75;20.10;"
                                   "20.05;20.00\n");
}
std::string data_line(const Reading& r, const char* device_time) {
    return std::to_string(r.sec) + " " + r.sys_stamp + " " + device_time +
           " 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS 19.75 20.10 20.05 20.00";
}

// A listening socket on a free loopback port.
struct Listener {
    net::Library library;
    net::Socket socket = net::Socket::tcp();
    sockaddr_in address{};

    Listener() {
        EXPECT_TRUE(net::bind_to(socket, net::ipv4_address(htonl(INADDR_LOOPBACK), 0)));
        EXPECT_EQ(::listen(socket.get(), 4), 0);
#ifdef _WIN32
        int size = sizeof address;
#else
        socklen_t size = sizeof address;
#endif
        EXPECT_EQ(getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &size), 0);
    }
    // The bytes of the next connection, up to its end.
    std::string next_message() {
        net::Socket peer = net::accept_from(socket);
        std::string got;
        char buf[2048];
        long n;
        while ((n = net::recv_within(peer, buf, sizeof buf, 5000)) > 0) got.append(buf, std::size_t(n));
        return got;
    }
};

class StationPipeline : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("zk47-lines-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        log = (dir / "run.txt").string();
        station.run.started_time = zktest::kExampleStamp;
        station.prepare_log_file(&log);  // as Start does: headers, the CSV's name, the scripts
        station.NotPausedFlag = 1;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A reader that has already seen (and dropped) its first line.
    SerialLines started() {
        SerialLines lines;
        lines.meter.first_line_seen = true;
        return lines;
    }
    Taken feed(SerialLines& lines, const std::string& bytes, const std::atomic<bool>& stop = kGoOn) {
        return take_bytes(station, lines, bytes.data(), bytes.size(), stop);
    }
    std::string newest_cell(int column) { return station.grid_snapshot().var_data[column][GRID_ROWS - 1].data(); }
    std::string csv_log() const { return (dir / "run.csv").string(); }

    RecordingEvents events;
    Station station{events};
    std::filesystem::path dir;
    std::string log;
};

}  // namespace

TEST_F(StationPipeline, FirstLineIsDroppedAndTheNextGoesToGridLogsAndAlert) {
    SerialLines lines;
    EXPECT_EQ(feed(lines, "start\r\n" + meter_line("00000001")), Taken::rejected);
    EXPECT_EQ(events.grids, 1);
    const GridBuffer grid = station.grid_snapshot();
    const char* const row[GRID_COLS] = {"",       "00000001", " 23.45", " 23.51", " N/SENS", " ERROR", " -1.50",
                                        " 101.20", " 22.00",  " N/SENS", " 19.75", " 20.10",  " 20.05", " 20.00"};
    for (int j = 1; j < GRID_COLS; ++j) EXPECT_STREQ(grid.var_data[j][GRID_ROWS - 1].data(), row[j]) << j;
    EXPECT_EQ(newest_cell(0), lines.reading.sys_time);
    EXPECT_EQ(std::string(grid.var_data[1][GRID_ROWS - 2].data()), "");
    const Reading first = lines.reading;
    EXPECT_EQ(zktest::file_bytes(log), zktest::native_newlines(text_log_header(zktest::kExampleStamp)) +
                                           text_row(first, "00000001"));
    EXPECT_EQ(zktest::file_bytes(csv_log()), zktest::native_newlines(csv_log_header(zktest::kExampleStamp)) +
                                                 csv_row(first, "00000001"));
    // Channel 4 is in ERROR: the alert is due once, with the reading's list, until acknowledged.
    ASSERT_EQ(events.alerts.size(), 1u);
    EXPECT_EQ(events.alerts[0], "T4 ");
    EXPECT_EQ(feed(lines, meter_line("00000002")), Taken::more);
    EXPECT_EQ(events.alerts.size(), 1u);
    station.acknowledge_faults();
    EXPECT_EQ(feed(lines, meter_line("00000003")), Taken::more);
    EXPECT_EQ(events.alerts.size(), 2u);
    EXPECT_EQ(events.grids, 3);
    EXPECT_EQ(newest_cell(1), "00000003");
    EXPECT_STREQ(station.grid_snapshot().var_data[1][GRID_ROWS - 3].data(), "00000001");
    EXPECT_TRUE(events.failed_writes.empty());
    EXPECT_TRUE(events.pauses.empty());
}

TEST_F(StationPipeline, LineSplitAcrossReadsIsHandledOnceWhole) {
    SerialLines lines = started();
    const std::string line = meter_line("00000042");
    EXPECT_EQ(feed(lines, line.substr(0, 30)), Taken::more);
    EXPECT_EQ(events.grids, 0);
    EXPECT_EQ(feed(lines, line.substr(30)), Taken::more);
    EXPECT_EQ(events.grids, 1);
    EXPECT_EQ(newest_cell(1), "00000042");
}

// A port lost mid-line and opened again: the piece in hand never joins later bytes, and the
// first line after the reopen is dropped as after Start; the values carried stay the run's.
TEST_F(StationPipeline, ReopenedPortDropsThePieceInHandAndTheFirstLineAfter) {
    SerialLines lines = started();
    const std::string line = meter_line("00000007");
    EXPECT_EQ(feed(lines, line.substr(0, 50)), Taken::more);
    port_reopened(lines);
    EXPECT_EQ(feed(lines, line.substr(50) + meter_line("00000008")), Taken::rejected);
    EXPECT_EQ(events.grids, 1);
    EXPECT_EQ(newest_cell(1), "00000008");
    EXPECT_EQ(zktest::file_bytes(log).find("00000007"), std::string::npos);
    port_reopened(lines);
    EXPECT_EQ(feed(lines, meter_line("00000009") + meter_line("00000010")), Taken::rejected);
    EXPECT_EQ(events.grids, 2);
    EXPECT_EQ(newest_cell(1), "00000010");
    EXPECT_EQ(zktest::file_bytes(log).find("00000009"), std::string::npos);
}

TEST_F(StationPipeline, RefusedLinesReportNothingAndTheRestOfTheReadStillCounts) {
    SerialLines lines = started();
    const std::string refused = "short line\r\n<" + meter_line("00000005").substr(1) +
                                std::string(2000, '7') + "\n";
    EXPECT_EQ(feed(lines, refused + meter_line("00000006")), Taken::rejected);
    EXPECT_EQ(events.grids, 1);
    EXPECT_EQ(newest_cell(1), "00000006");
    EXPECT_EQ(zktest::file_bytes(log).find("00000005"), std::string::npos);
}

TEST_F(StationPipeline, PausedReaderTakesLinesButReportsNone) {
    SerialLines lines = started();
    station.NotPausedFlag = 0;
    EXPECT_EQ(feed(lines, meter_line("00000007")), Taken::more);
    EXPECT_EQ(events.grids, 0);
    EXPECT_TRUE(events.alerts.empty());
    EXPECT_EQ(zktest::file_bytes(log).find("00000007"), std::string::npos);
    station.NotPausedFlag = 1;
    EXPECT_EQ(feed(lines, meter_line("00000008")), Taken::more);
    EXPECT_EQ(events.grids, 1);
}

TEST_F(StationPipeline, StopEndsTheReadAfterTheLineInHand) {
    SerialLines lines = started();
    const std::atomic<bool> stop{true};
    EXPECT_EQ(feed(lines, meter_line("00000009") + meter_line("00000010"), stop), Taken::stop);
    EXPECT_EQ(events.grids, 1);
    EXPECT_EQ(newest_cell(1), "00000009");
}

TEST_F(StationPipeline, LogThatCannotBeWrittenIsReportedOnceAndTheGridGoesOn) {
    const std::string missing = (dir / "no-such-folder" / "run.txt").string();
    station.prepare_log_file(&missing);
    const auto reported = [&] { return std::count(events.failed_writes.begin(), events.failed_writes.end(), missing); };
    EXPECT_EQ(reported(), 1);
    SerialLines lines = started();
    feed(lines, meter_line("00000011") + meter_line("00000012"));
    EXPECT_EQ(events.grids, 2);
    EXPECT_EQ(newest_cell(1), "00000012");
    EXPECT_EQ(reported(), 1);  // its rows wait for it without a box each
}

// Rows wait while their log cannot be written, and land after its headers in their order once
// it can; the rows after them follow them.
TEST_F(StationPipeline, WaitingRowsLandInOrderWhenTheirLogComesBack) {
    const std::filesystem::path folder = dir / "later";
    const std::string held = (folder / "run.txt").string();
    station.prepare_log_file(&held);
    SerialLines lines = started();
    feed(lines, meter_line("00000021"));
    const Reading first = lines.reading;
    feed(lines, meter_line("00000022"));
    const Reading second = lines.reading;
    station.retry_waiting_rows();
    EXPECT_FALSE(std::filesystem::exists(held));
    std::filesystem::create_directories(folder);
    station.retry_waiting_rows();
    feed(lines, meter_line("00000023"));
    const std::string header = zktest::native_newlines(text_log_header(zktest::kExampleStamp));
    EXPECT_EQ(zktest::file_bytes(held), header + text_row(first, "00000021") + text_row(second, "00000022") +
                                            text_row(lines.reading, "00000023"));
    EXPECT_EQ(zktest::file_bytes((folder / "run.csv").string()),
              zktest::native_newlines(csv_log_header(zktest::kExampleStamp)) + csv_row(first, "00000021") +
                  csv_row(second, "00000022") + csv_row(lines.reading, "00000023"));
    EXPECT_EQ(station.current_log(), held);
    // Nothing waits at the end: the process ends with its code and no lost rows.
    try {
        station.exit_between_rows(3);
        ADD_FAILURE() << "the process went on";
    } catch (const Ended& e) {
        EXPECT_EQ(e.code, 3);
    }
    EXPECT_EQ(events.lost, 0u);
}

TEST_F(StationPipeline, SharingPushesEachLineAsItsDataLineAndAFailedPushEndsTheReader) {
    Listener server;
    SerialLines lines = started();
    lines.sharing = true;
    lines.server = server.address;
    lines.code = 4242;
    feed(lines, meter_line("00004521"));
    EXPECT_EQ(server.next_message(), push_message(4242, data_line(lines.reading, "00004521")));
    EXPECT_EQ(events.grids, 1);

    // Nobody listening any more: the reader's thread ends with the connect failure, before
    // the reading is shown.
    server.socket.close();
    try {
        feed(lines, meter_line("00004522"));
        ADD_FAILURE() << "no failure";
    } catch (const Fatal& f) {
        EXPECT_STREQ(f.what(), "Ошибка подключения к сокету");
    }
    EXPECT_EQ(events.grids, 1);
}

// The poller's push: the reply exactly as received, under the run's code; a failure is the
// caller's to handle.
TEST_F(StationPipeline, PushSendsTheReplyUnderTheRunsCodeAndReportsAFailure) {
    Listener server;
    station.secret = 777;
    station.sharing.port = ntohs(server.address.sin_port);
    const std::string reply = "5 2024-05-17-09-41-07 00000005 1.00";
    EXPECT_EQ(station.push(reply), nullptr);
    EXPECT_EQ(server.next_message(), push_message(777, reply));
    server.socket.close();
    EXPECT_STREQ(station.push(reply), "Ошибка подключения к сокету");
    EXPECT_TRUE(events.pauses.empty());
}

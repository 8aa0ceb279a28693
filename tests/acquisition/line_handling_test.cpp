// The serial reader's line handling, apart from the port and the window: bytes in, and what
// the pipeline reports through the station's events out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "acquisition.h"
#include "core_test_support.h"
#include "messages.h"
#include "sockets.h"
#include "station.h"

namespace {

struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Records every event; a fatal error throws instead of ending the process.
class RecordingEvents final : public StationEvents {
public:
    int grids = 0;
    std::vector<std::string> alerts, pauses, failed_writes;
    std::size_t lost = 0;

    void grid_changed() override { ++grids; }
    void alert_due(const std::string& list) override { alerts.push_back(list); }
    void pause_for_failure(const char* utf8) override { pauses.emplace_back(utf8); }
    void port_lost(bool) override {}
    void write_failed(const std::string& path) override { failed_writes.push_back(path); }
    void rows_not_saved(std::size_t count) override { lost += count; }
    [[noreturn]] void fatal(const char* utf8) override { throw Fatal(utf8); }
};

const std::atomic<bool> kGoOn{false};

// The worked example with its device time changed, so rows can be told apart.
std::string meter_line(const char* device_time) {
    return device_time + zktest::example_meter_line().substr(8) + "\r\n";
}

std::string newest_cell(int column) { return grid_snapshot().var_data[column][GRID_ROWS - 1].data(); }

class LineHandling : public ::testing::Test {
protected:
    void SetUp() override {
        set_station_events(events);
        dir = std::filesystem::temp_directory_path() /
              ("zk47-lines-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        log = (dir / "run.txt").string();
        g_run.started_time = zktest::kExampleStamp;
        prepare_log_file(&log);  // as Start does: headers, the CSV's name, the scripts
        clear_grid();
        acknowledge_faults();
        NotPausedFlag = 1;
        g_sharing = SharingState{};
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A reader that has already seen (and dropped) its first line.
    SerialLines started() {
        SerialLines lines;
        lines.meter.first_line_seen = true;
        return lines;
    }
    Taken feed(SerialLines& lines, const std::string& bytes, const std::atomic<bool>& stop = kGoOn) {
        return take_bytes(lines, bytes.data(), bytes.size(), stop);
    }

    RecordingEvents events;
    std::filesystem::path dir;
    std::string log;
};

}  // namespace

TEST_F(LineHandling, FirstLineIsDroppedAndTheNextGoesToGridLogAndAlert) {
    SerialLines lines;
    EXPECT_EQ(feed(lines, "start\r\n" + meter_line("00000001")), Taken::rejected);
    EXPECT_EQ(events.grids, 1);
    EXPECT_EQ(newest_cell(1), "00000001");
    EXPECT_EQ(zktest::file_bytes(log).find("00000001") != std::string::npos, true);
    // Channel 4 is in ERROR: the alert is due once, with the reading's list, until acknowledged.
    ASSERT_EQ(events.alerts.size(), 1u);
    EXPECT_EQ(events.alerts[0], "T4 ");
    EXPECT_EQ(feed(lines, meter_line("00000002")), Taken::more);
    EXPECT_EQ(events.alerts.size(), 1u);
    acknowledge_faults();
    EXPECT_EQ(feed(lines, meter_line("00000003")), Taken::more);
    EXPECT_EQ(events.alerts.size(), 2u);
    EXPECT_EQ(events.grids, 3);
    EXPECT_TRUE(events.failed_writes.empty());
    EXPECT_TRUE(events.pauses.empty());
}

TEST_F(LineHandling, LineSplitAcrossReadsIsHandledOnceWhole) {
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
TEST_F(LineHandling, ReopenedPortDropsThePieceInHandAndTheFirstLineAfter) {
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

TEST_F(LineHandling, RefusedLinesReportNothingAndTheRestOfTheReadStillCounts) {
    SerialLines lines = started();
    const std::string refused = "short line\r\n<" + meter_line("00000005").substr(1) +
                                std::string(2000, '7') + "\n";
    EXPECT_EQ(feed(lines, refused + meter_line("00000006")), Taken::rejected);
    EXPECT_EQ(events.grids, 1);
    EXPECT_EQ(newest_cell(1), "00000006");
    EXPECT_EQ(zktest::file_bytes(log).find("00000005"), std::string::npos);
}

TEST_F(LineHandling, PausedReaderTakesLinesButReportsNone) {
    SerialLines lines = started();
    NotPausedFlag = 0;
    EXPECT_EQ(feed(lines, meter_line("00000007")), Taken::more);
    EXPECT_EQ(events.grids, 0);
    EXPECT_TRUE(events.alerts.empty());
    EXPECT_EQ(zktest::file_bytes(log).find("00000007"), std::string::npos);
    NotPausedFlag = 1;
    EXPECT_EQ(feed(lines, meter_line("00000008")), Taken::more);
    EXPECT_EQ(events.grids, 1);
}

TEST_F(LineHandling, StopEndsTheReadAfterTheLineInHand) {
    SerialLines lines = started();
    const std::atomic<bool> stop{true};
    EXPECT_EQ(feed(lines, meter_line("00000009") + meter_line("00000010"), stop), Taken::stop);
    EXPECT_EQ(events.grids, 1);
    EXPECT_EQ(newest_cell(1), "00000009");
}

TEST_F(LineHandling, LogThatCannotBeWrittenIsReportedOnceAndTheGridGoesOn) {
    const std::string missing = (dir / "no-such-folder" / "run.txt").string();
    prepare_log_file(&missing);
    const auto reported = [&] { return std::count(events.failed_writes.begin(), events.failed_writes.end(), missing); };
    EXPECT_EQ(reported(), 1);
    SerialLines lines = started();
    feed(lines, meter_line("00000011") + meter_line("00000012"));
    EXPECT_EQ(events.grids, 2);
    EXPECT_EQ(newest_cell(1), "00000012");
    EXPECT_EQ(reported(), 1);  // its rows wait for it without a box each
}

TEST_F(LineHandling, SharingPushesEachLineAsItsDataLine) {
    net::Library winsock;
    net::Socket listener = net::Socket::tcp();
    ASSERT_TRUE(net::bind_to(listener, net::ipv4_address(htonl(INADDR_LOOPBACK), 0)));
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    sockaddr_in bound{};
    int size = sizeof bound;
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &size), 0);

    SerialLines lines = started();
    lines.sharing = true;
    lines.server = bound;
    lines.code = 4242;
    feed(lines, meter_line("00004521"));
    net::Socket peer = net::accept_from(listener);
    ASSERT_TRUE(peer.valid());
    char got[2048] = {};
    const long n = net::recv_within(peer, got, sizeof got - 1, 5000);
    ASSERT_GT(n, 0);
    const std::string pushed(got, std::size_t(n));
    const std::string head = push_message(4242, "");
    EXPECT_EQ(pushed.substr(0, head.size()), head);
    EXPECT_NE(pushed.find(" 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS 19.75 20.10 "
                          "20.05 20.00"),
              std::string::npos)
        << pushed;
    EXPECT_EQ(events.grids, 1);

    // Nobody listening any more: the reader's thread ends with the connect failure.
    listener.close();
    EXPECT_THROW(
        {
            try {
                feed(lines, meter_line("00004522"));
            } catch (const Fatal& f) {
                EXPECT_STREQ(f.what(), "Ошибка подключения к сокету");
                throw;
            }
        },
        Fatal);
    EXPECT_EQ(events.grids, 1);
}

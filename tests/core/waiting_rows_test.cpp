#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "core_test_support.h"
#include "logs.h"
#include "waiting_rows.h"

using zktest::example_reading;
using zktest::native_newlines;

namespace {

const std::string kStart = "2024-05-17-09-30-00";

// Files in memory; a held file takes nothing, as one another program holds.
struct Disk {
    std::map<std::string, std::string> files;
    std::set<std::string> held;
    AppendFn appender() {
        return [this](const std::string& path, std::string_view bytes) {
            if (held.count(path)) return false;
            files[path] += bytes;
            return true;
        };
    }
};

const LogFile kTxt{"a.txt", "a.txt", LogKind::text};
const LogFile kCsv{"a.csv", "a.txt", LogKind::csv};
const LogFile kTxtB{"b.txt", "b.txt", LogKind::text};
const LogFile kCsvB{"b.csv", "b.txt", LogKind::csv};

}  // namespace

TEST(WaitingRows, HeldFileGetsItsRowsInOrderOnceItIsFreeAndOneReportPerSpell) {
    Disk disk;
    WaitingRows w(disk.appender());
    EXPECT_FALSE(w.put(kTxt, "h\n", true));
    disk.held.insert("a.txt");
    EXPECT_TRUE(w.put(kTxt, "1\n", false));  // starts failing: the one report
    EXPECT_FALSE(w.put(kTxt, "2\n", false));
    EXPECT_FALSE(w.put(kCsv, "1;\n", false));  // the other file is not held
    EXPECT_EQ(w.rows_waiting("a.txt"), 2u);
    EXPECT_EQ(disk.files["a.txt"], "h\n");
    disk.held.clear();
    EXPECT_FALSE(w.put(kTxt, "3\n", false));  // the waiting rows go first; landing reports nothing
    EXPECT_EQ(disk.files["a.txt"], "h\n1\n2\n3\n");
    EXPECT_FALSE(w.waiting());
    disk.held.insert("a.txt");
    EXPECT_TRUE(w.put(kTxt, "4\n", false));  // failing again after it had recovered
}

TEST(WaitingRows, RetryWritesWaitingLinesWithoutANewRowToTheFileTheyWereTakenFor) {
    Disk disk;
    WaitingRows w(disk.appender());
    disk.held = {"a.txt", "a.csv"};
    EXPECT_TRUE(w.put(kTxt, "h\n", true));
    EXPECT_TRUE(w.put(kCsv, "H\n", true));
    w.put(kTxt, "1\n", false);
    w.put(kCsv, "1;\n", false);
    // The log switched to b: its lines go there at once.
    w.put(kTxtB, "hb\n", true);
    w.put(kTxtB, "2\n", false);
    w.retry();
    EXPECT_EQ(disk.files.count("a.txt") + disk.files.count("a.csv"), 0u);
    disk.held.erase("a.csv");
    w.retry();
    EXPECT_EQ(disk.files["a.csv"], "H\n1;\n");
    EXPECT_TRUE(w.waiting());
    disk.held.clear();
    w.retry();
    EXPECT_EQ(disk.files["a.txt"], "h\n1\n");
    EXPECT_EQ(disk.files["b.txt"], "hb\n2\n");
    EXPECT_FALSE(w.waiting());
}

TEST(WaitingRows, RowsPastTheLimitAreDroppedAndCountedHeadersKept) {
    Disk disk;
    WaitingRows w(disk.appender(), 3);
    disk.held = {"a.txt"};
    for (int i = 1; i <= 5; ++i) w.put(kTxt, std::to_string(i) + "\n", false);
    w.put(kTxt, "h\n", true);
    w.put(kTxt, "6\n", false);
    EXPECT_EQ(w.rows_waiting("a.txt"), 3u);
    EXPECT_EQ(w.dropped(), 3u);
    disk.held.clear();
    w.retry();
    EXPECT_EQ(disk.files["a.txt"], "1\n2\n3\nh\n");
    EXPECT_EQ(w.dropped(), 3u);  // counted until the end of the run
    EXPECT_EQ(WAITING_ROWS_LIMIT, 100000u);
}

TEST(WaitingRows, EndTriesOnceMoreThenSavesWhatWaitsBesideTheWorkingDirectory) {
    Disk disk;
    WaitingRows w(disk.appender());
    disk.held = {"a.txt", "a.csv", "b.csv", "c.txt"};
    w.put(kTxt, "1\n", false);
    w.put(kCsv, "1;\n", false);
    w.put(kTxtB, "hb\n", true);
    w.put(kCsvB, "HB\n", true);
    w.put(kTxtB, "2\n", false);
    w.put(kCsvB, "2;\n", false);
    w.put({"c.txt", "c.txt", LogKind::text}, "3\n", false);
    disk.held.erase("a.txt");  // free again at the end: written where it belongs
    EXPECT_EQ(w.finish("W/", kStart), 0u);
    EXPECT_EQ(disk.files["a.txt"], "1\n");
    // Numbered per log in the order the logs started failing; each opens with its header,
    // and a waiting header is not written twice.
    EXPECT_EQ(disk.files["W/zk47-unsaved-2024-05-17-09-30-00-1.csv"], csv_log_header(kStart) + "1;\n");
    EXPECT_EQ(disk.files["W/zk47-unsaved-2024-05-17-09-30-00-2.csv"], "HB\n2;\n");
    EXPECT_EQ(disk.files["W/zk47-unsaved-2024-05-17-09-30-00-3.txt"], text_log_header(kStart) + "3\n");
    EXPECT_EQ(disk.files.count("W/zk47-unsaved-2024-05-17-09-30-00-1.txt"), 0u);
    EXPECT_EQ(disk.files.count("b.csv"), 0u);
    EXPECT_FALSE(w.waiting());
    EXPECT_EQ(w.finish("W/", kStart), 0u);
}

TEST(WaitingRows, EndCountsDroppedRowsAndRowsThatCouldNotBeSavedEither) {
    Disk disk;
    WaitingRows w(disk.appender(), 2);
    disk.held = {"a.txt", "a.csv", "W/zk47-unsaved-2024-05-17-09-30-00-1.csv"};
    for (int i = 0; i < 3; ++i) {
        w.put(kTxt, "t\n", false);
        w.put(kCsv, "c\n", false);
    }
    // Two rows dropped (one per file), two saved to the unsaved .txt, two lost with the .csv.
    EXPECT_EQ(w.finish("W/", kStart), 4u);
    EXPECT_EQ(disk.files["W/zk47-unsaved-2024-05-17-09-30-00-1.txt"], text_log_header(kStart) + "t\nt\n");
    EXPECT_EQ(w.finish("W/", kStart), 0u);
}

TEST(WaitingRows, RealFilesGetHeaderAndRowsOnceTheirFolderIsBack) {
    zktest::ScratchDir dir;
    WaitingRows waiting(append_text_file);
    LogNames names;
    names.szFile = dir.file("later/run.txt");
    const auto failing = write_log_headers(waiting, names, kStart);
    EXPECT_EQ(failing, (std::vector<std::string>{names.szFile, names.szCsv}));
    EXPECT_TRUE(append_logs(waiting, names, example_reading()).empty());  // reported once already
    std::filesystem::create_directory(dir.path() / "later");
    EXPECT_TRUE(append_logs(waiting, names, example_reading()).empty());
    const Reading r = example_reading();
    EXPECT_EQ(zktest::file_bytes(names.szFile),
              native_newlines(text_log_header(kStart) + text_log_row(r) + text_log_row(r)));
    EXPECT_EQ(zktest::file_bytes(names.szCsv),
              native_newlines(csv_log_header(kStart) + csv_log_row(r) + csv_log_row(r)));
}

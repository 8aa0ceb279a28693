#pragma once
// Log lines that could not be appended yet (the file held by another program, the disk full,
// the folder gone): one queue per file, in arrival order, headers ahead of their rows. The
// appending itself is handed in, so the queue is tested without failing disks. Not locked:
// its owner serialises every call.
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// At the meter's rate, several hours of rows.
constexpr std::size_t WAITING_ROWS_LIMIT = 100000;

enum class LogKind { text, csv };

// One log file: its path, the text log of its pair (which names the pair) and its format.
struct LogFile {
    std::string path;
    std::string log;
    LogKind kind = LogKind::text;
};

// Appends bytes to a file; false when nothing could be appended.
using AppendFn = std::function<bool(const std::string& path, std::string_view bytes)>;

class WaitingRows {
public:
    explicit WaitingRows(AppendFn append, std::size_t limit = WAITING_ROWS_LIMIT)
        : append_(std::move(append)), limit_(limit) {}

    // Appends a line to its file after whatever waits for that file, or queues it. A row past
    // the limit of a file's queue is dropped and counted; headers are always kept. True when
    // the file has just started failing: once per failing spell, which ends when its queue
    // has been written out.
    bool put(const LogFile& file, std::string line, bool header);
    // Tries every file that has lines waiting.
    void retry();
    bool waiting() const { return !queues_.empty(); }
    // Rows (not headers) waiting for the file, and rows dropped so far over all files.
    std::size_t rows_waiting(std::string_view path) const;
    std::size_t dropped() const { return dropped_; }

    // The end of the run: one more try; what still waits goes to unsaved files named by
    // unsaved_name under `dir` (which ends with its separator), one numbered pair per log.
    // Returns how many rows could not be saved anywhere, dropped ones included; afterwards
    // nothing waits and nothing counts as dropped.
    std::size_t finish(std::string_view dir, std::string_view started_time);

private:
    struct Line {
        std::string bytes;
        bool header = false;
    };
    struct Queue {
        LogFile file;
        std::deque<Line> lines;
        std::size_t rows = 0;
    };
    // Writes out the queue's lines in order until one fails; true when none is left.
    bool flush(Queue& q);

    AppendFn append_;
    std::size_t limit_;
    std::vector<Queue> queues_;  // files with lines waiting, in the order they started failing
    std::size_t dropped_ = 0;
};

// "zk47-unsaved-<start stamp>-<n>.txt" or ".csv".
std::string unsaved_name(std::string_view started_time, int n, LogKind kind);

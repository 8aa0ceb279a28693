#include "waiting_rows.h"

#include <algorithm>

#include "logs.h"

bool WaitingRows::flush(Queue& q) {
    while (!q.lines.empty()) {
        if (!append_(q.file.path, q.lines.front().bytes)) return false;
        if (!q.lines.front().header) --q.rows;
        q.lines.pop_front();
    }
    return true;
}

bool WaitingRows::put(const LogFile& file, std::string line, bool header) {
    auto q = std::find_if(queues_.begin(), queues_.end(), [&](const Queue& w) { return w.file.path == file.path; });
    if (q != queues_.end() && flush(*q)) {
        queues_.erase(q);
        q = queues_.end();
    }
    if (q == queues_.end()) {
        if (append_(file.path, line)) return false;
        queues_.push_back(Queue{file, {}, 0});
        q = queues_.end() - 1;
    }
    const bool started = q->lines.empty();
    if (!header && q->rows >= limit_) {
        ++dropped_;
    } else {
        q->lines.push_back(Line{std::move(line), header});
        if (!header) ++q->rows;
    }
    return started;
}

void WaitingRows::retry() {
    queues_.erase(std::remove_if(queues_.begin(), queues_.end(), [this](Queue& q) { return flush(q); }),
                  queues_.end());
}

std::size_t WaitingRows::rows_waiting(std::string_view path) const {
    for (const Queue& q : queues_)
        if (q.file.path == path) return q.rows;
    return 0;
}

std::string unsaved_name(std::string_view started_time, int n, LogKind kind) {
    return "zk47-unsaved-" + std::string(started_time) + "-" + std::to_string(n) +
           (kind == LogKind::text ? ".txt" : ".csv");
}

std::size_t WaitingRows::finish(std::string_view dir, std::string_view started_time) {
    retry();
    std::size_t lost = dropped_;
    std::vector<std::string> logs;  // numbered in the order their files started failing
    for (const Queue& q : queues_) {
        if (q.lines.empty()) continue;  // its rows were all dropped: counted already
        auto at = std::find(logs.begin(), logs.end(), q.file.log);
        if (at == logs.end()) at = logs.insert(logs.end(), q.file.log);
        const int n = int(at - logs.begin()) + 1;
        std::string bytes;
        if (!q.lines.front().header)
            bytes = q.file.kind == LogKind::text ? text_log_header(started_time) : csv_log_header(started_time);
        for (const Line& l : q.lines) bytes += l.bytes;
        if (!append_(std::string(dir) + unsaved_name(started_time, n, q.file.kind), bytes)) lost += q.rows;
    }
    queues_.clear();
    dropped_ = 0;
    return lost;
}

#pragma once
// The bridge's log on standard error: one line an event, told apart by priority when the
// output is the journal.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// As syslog numbers them; journald reads "<N>" at the start of a line as the priority.
enum class Priority { error = 3, warning = 4, notice = 5, info = 6 };

// True when `journal_stream` (systemd's JOURNAL_STREAM, "DEVICE:INODE") names the file open
// as `fd`: the output goes to the journal, not merely inherited the variable.
bool is_journal_stream(const char* journal_stream, int fd);

// One line with its end. For the journal: "<4>text" (journald adds the program's name);
// otherwise "zkbridge: text". Control characters in `text` are escaped, so that no peer can
// start a line of its own.
std::string log_line(Priority p, std::string_view text, bool journal);

// Bytes a peer sent, quoted for a log line: at most `max` of them, those outside printable
// ASCII as \xNN.
std::string quoted_bytes(std::string_view bytes, std::size_t max = 64);

class Log {
public:
    Log(std::FILE* out, bool journal) : out_(out), journal_(journal) {}
    // Any thread: a line goes out in one call, so the lines of different threads never mix.
    void write(Priority p, std::string_view text) const;

private:
    std::FILE* const out_;
    const bool journal_;
};

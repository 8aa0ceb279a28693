#include "logging.h"

#include <cstdlib>

#include <sys/stat.h>

bool is_journal_stream(const char* journal_stream, int fd) {
    if (!journal_stream) return false;
    char* end = nullptr;
    const unsigned long long device = std::strtoull(journal_stream, &end, 10);
    if (end == journal_stream || *end != ':') return false;
    const char* inode_text = end + 1;
    const unsigned long long inode = std::strtoull(inode_text, &end, 10);
    if (end == inode_text || *end != '\0') return false;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

namespace {

void append_escaped(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
}

}  // namespace

std::string log_line(Priority p, std::string_view text, bool journal) {
    std::string line;
    line.reserve(text.size() + 16);
    if (journal) {
        line += '<';
        line += char('0' + static_cast<int>(p));
        line += '>';
    } else {
        line += "zkbridge: ";
    }
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            append_escaped(line, static_cast<unsigned char>(c));
        else
            line += c;
    }
    line += '\n';
    return line;
}

std::string quoted_bytes(std::string_view bytes, std::size_t max) {
    std::string q = "'";
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c >= 0x7F || c == '\'' || c == '\\')
            append_escaped(q, c);
        else
            q += char(c);
    }
    q += bytes.size() > max ? "'..." : "'";
    return q;
}

void Log::write(Priority p, std::string_view text) const {
    const std::string line = log_line(p, text, journal_);
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

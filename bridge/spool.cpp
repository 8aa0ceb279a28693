#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <zlib.h>

namespace {

constexpr std::uint8_t KIND_MESSAGE = 1;
constexpr std::uint8_t KIND_TRIM = 2;
constexpr std::size_t HEADER = 8;
// No message of the bridge comes near this; a length beyond it is a corrupt record.
constexpr std::uint32_t MAX_BODY = 1 << 20;
constexpr std::size_t NAME_DIGITS = 20;
constexpr const char* SUFFIX = ".seg";

void put(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint64_t get(std::string_view in, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= std::uint64_t(static_cast<unsigned char>(in[at + i])) << (8 * i);
    return v;
}

std::uint32_t crc(std::string_view bytes) {
    return static_cast<std::uint32_t>(
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()),
              static_cast<uInt>(bytes.size())));
}

bool decode_body(std::string_view b, SpoolRecord& r) {
    if (b.size() < 9) return false;
    const auto kind = static_cast<std::uint8_t>(b[0]);
    r.seq = get(b, 1, 8);
    if (kind == KIND_TRIM) {
        r.trim = true;
        return b.size() == 9;
    }
    if (kind != KIND_MESSAGE || b.size() < 9 + 8 + 1 + 1 + 2) return false;
    r.time_ms = static_cast<std::int64_t>(get(b, 9, 8));
    const auto retention = static_cast<std::uint8_t>(b[17]);
    if (retention > static_cast<std::uint8_t>(Retention::forget)) return false;
    r.message.retention = static_cast<Retention>(retention);
    r.first = b[18] != 0;
    std::size_t at = 19;
    const std::size_t topic = get(b, at, 2);
    at += 2;
    if (b.size() < at + topic + 1) return false;
    r.message.topic.assign(b.substr(at, topic));
    at += topic;
    const std::size_t station = static_cast<unsigned char>(b[at++]);
    if (b.size() < at + station) return false;
    r.station.assign(b.substr(at, station));
    at += station;
    r.message.payload.assign(b.substr(at));
    return true;
}

std::string segment_name(std::uint64_t first_seq) {
    std::string n = std::to_string(first_seq);
    n.insert(0, NAME_DIGITS - n.size(), '0');
    return n + SUFFIX;
}

bool is_segment_name(const std::string& n) {
    return n.size() == NAME_DIGITS + 4 && n.compare(NAME_DIGITS, 4, SUFFIX) == 0 &&
           std::all_of(n.begin(), n.begin() + NAME_DIGITS, [](char c) { return c >= '0' && c <= '9'; });
}

bool read_whole(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, std::size_t(n));
    ::close(fd);
    return n == 0;
}

std::string failed(const std::string& what, const std::string& path) {
    return "spool: cannot " + what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string encode_record(const SpoolRecord& r) {
    std::string body;
    if (r.trim) {
        put(body, KIND_TRIM, 1);
        put(body, r.seq, 8);
    } else {
        // Topics and station names are short by construction; cut rather than corrupt.
        const std::string_view topic = std::string_view(r.message.topic).substr(0, 0xffff);
        const std::string_view station = std::string_view(r.station).substr(0, 0xff);
        put(body, KIND_MESSAGE, 1);
        put(body, r.seq, 8);
        put(body, static_cast<std::uint64_t>(r.time_ms), 8);
        put(body, static_cast<std::uint8_t>(r.message.retention), 1);
        put(body, r.first ? 1 : 0, 1);
        put(body, topic.size(), 2);
        body += topic;
        put(body, station.size(), 1);
        body += station;
        body += r.message.payload;
    }
    std::string out;
    out.reserve(HEADER + body.size());
    put(out, body.size(), 4);
    put(out, crc(body), 4);
    return out + body;
}

std::size_t decode_records(std::string_view bytes, std::vector<SpoolRecord>& out) {
    std::size_t at = 0;
    while (bytes.size() - at >= HEADER) {
        const std::uint64_t length = get(bytes, at, 4);
        if (length > MAX_BODY || bytes.size() - at - HEADER < length) break;
        const std::string_view body = bytes.substr(at + HEADER, length);
        if (crc(body) != get(bytes, at + 4, 4)) break;
        SpoolRecord r;
        if (!decode_body(body, r)) break;
        out.push_back(std::move(r));
        at += HEADER + length;
    }
    return at;
}

Spool::Spool(std::string dir, std::size_t segment_bytes)
    : dir_(std::move(dir)), segment_bytes_(segment_bytes) {}

Spool::~Spool() {
    if (fd_ >= 0) {
        std::string error;
        flush(true, error);
        ::close(fd_);
    }
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

bool Spool::open(std::vector<SpoolRecord>& queued, std::vector<std::string>& notes,
                 std::string& error) {
    if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
        error = failed("make the folder", dir_);
        return false;
    }
    // Two bridges on one spool would send and trim each other's messages.
    const std::string lock = dir_ + "/lock";
    lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0) {
        error = failed("create", lock);
        return false;
    }
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        error = "spool: " + dir_ + " is in use by another bridge";
        return false;
    }
    DIR* d = ::opendir(dir_.c_str());
    if (!d) {
        error = failed("read the folder", dir_);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d))
        if (is_segment_name(e->d_name)) names.push_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());

    std::vector<SpoolRecord> messages;
    std::uint64_t trim = 0;
    std::string bytes;
    for (const auto& name : names) {
        Segment s{dir_ + "/" + name, 0, 0};
        if (!read_whole(s.path, bytes)) {
            error = failed("read", s.path);
            return false;
        }
        std::vector<SpoolRecord> records;
        s.bytes = decode_records(bytes, records);
        if (s.bytes < bytes.size()) {
            // A write the crash cut short, or a damaged disk: what follows cannot be trusted.
            notes.push_back("cut a torn or corrupt tail of " + std::to_string(bytes.size() - s.bytes) +
                            " bytes from " + s.path);
            if (::truncate(s.path.c_str(), off_t(s.bytes)) != 0) {
                error = failed("cut", s.path);
                return false;
            }
        }
        if (s.bytes == 0) {  // made just before a crash: nothing to keep
            ::unlink(s.path.c_str());
            dir_changed_ = true;
            continue;
        }
        for (auto& r : records) {
            if (r.trim) {  // a trim names the first number still queued, maybe not yet given
                trim = std::max(trim, r.seq);
                next_seq_ = std::max(next_seq_, r.seq);
                continue;
            }
            next_seq_ = std::max(next_seq_, r.seq + 1);
            s.last_seq = std::max(s.last_seq, r.seq);
            messages.push_back(std::move(r));
        }
        bytes_ += s.bytes;
        segments_.push_back(std::move(s));
    }
    for (auto& m : messages)
        if (m.seq >= trim) queued.push_back(std::move(m));
    trim_to_ = trim;
    if (!start_segment(error)) return false;
    return flush(true, error);
}

bool Spool::start_segment(std::string& error) {
    Segment s{dir_ + "/" + segment_name(next_seq_), 0, 0};
    const int fd = ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = failed("create", s.path);
        return false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    segments_.push_back(std::move(s));
    written_trim_ = 0;  // the new segment must hold the trim, older ones may go
    dir_changed_ = true;
    return true;
}

std::uint64_t Spool::append(const MqttMessage& m, const std::string& station, bool first,
                            std::int64_t time_ms) {
    SpoolRecord r;
    r.seq = next_seq_++;
    r.time_ms = time_ms;
    r.first = first;
    r.station = station;
    r.message = m;
    buffer_record(r);
    segments_.back().last_seq = r.seq;
    if (segments_.back().bytes >= segment_bytes_ && failure_.empty()) roll(failure_);
    return r.seq;
}

void Spool::buffer_record(const SpoolRecord& r) {
    const std::string bytes = encode_record(r);
    buffer_ += bytes;
    bytes_ += bytes.size();
    segments_.back().bytes += bytes.size();
}

void Spool::trim(std::uint64_t seq) { trim_to_ = std::max(trim_to_, seq); }

bool Spool::roll(std::string& error) {
    if (!write_buffer(error)) return false;
    // The closed segment must be whole before anything in the next one counts.
    if (::fdatasync(fd_) != 0) {
        error = failed("sync", segments_.back().path);
        return false;
    }
    return start_segment(error);
}

std::uint64_t Spool::oldest_segment_end() const {
    return segments_.size() > 1 ? segments_.front().last_seq : next_seq_ - 1;
}

bool Spool::write_buffer(std::string& error) {
    if (trim_to_ > written_trim_) {
        SpoolRecord r;
        r.trim = true;
        r.seq = trim_to_;
        buffer_record(r);
        written_trim_ = trim_to_;
    }
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // What is not written stays in memory and is tried again; the queue is not lost
            // while the bridge runs.
            buffer_.erase(0, done);
            error = failed("write", segments_.back().path);
            return false;
        }
        done += std::size_t(n);
    }
    buffer_.clear();
    return true;
}

bool Spool::flush(bool sync, std::string& error) {
    if (!failure_.empty()) {
        error = failure_;
        failure_.clear();
        return false;
    }
    if (!write_buffer(error)) return false;
    if (!sync) return true;
    if (::fdatasync(fd_) != 0) {
        error = failed("sync", segments_.back().path);
        return false;
    }
    durable_trim_ = written_trim_;
    remove_trimmed();
    if (dir_changed_) {
        // A segment made or removed is only there (or gone) for sure once its folder is synced.
        const int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd < 0 || ::fsync(dfd) != 0) {
            error = failed("sync the folder", dir_);
            if (dfd >= 0) ::close(dfd);
            return false;
        }
        ::close(dfd);
        dir_changed_ = false;
    }
    return true;
}

void Spool::remove_trimmed() {
    while (segments_.size() > 1 && segments_.front().last_seq < durable_trim_) {
        ::unlink(segments_.front().path.c_str());
        bytes_ -= segments_.front().bytes;
        segments_.erase(segments_.begin());
        dir_changed_ = true;
    }
}

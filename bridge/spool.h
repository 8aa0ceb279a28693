#pragma once
// The publisher's queue on disk, so that a crash of the bridge loses nothing it meant to send:
// a log of checksummed records in numbered segment files. Every message gets a sequence
// number; a trim record says that everything below a number has left the queue (delivered or
// dropped). A segment is removed once all of its messages are below the trim.
//
// A record: u32 body length, u32 CRC-32 of the body, the body; little-endian. A body:
// kind (1: message, 2: trim), u64 sequence number, and for a message u64 Unix milliseconds,
// u8 retention, u8 1 for the first message of a reading, u16 topic length, the topic, u8
// station length, the station, the payload (the rest).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "topics.h"

struct SpoolRecord {
    std::uint64_t seq = 0;
    bool trim = false;  // a trim record: `seq` is the first sequence number still queued
    std::int64_t time_ms = 0;
    bool first = false;  // the first message of a reading (its state)
    std::string station;  // a reading's: the station it is of
    MqttMessage message;
};

// The record's bytes, ready to append.
std::string encode_record(const SpoolRecord& r);

// Reads the records of a segment from the start. Returns how many bytes hold whole, sound
// records: a torn or corrupt record and everything after it are left out.
std::size_t decode_records(std::string_view bytes, std::vector<SpoolRecord>& out);

class Spool {
public:
    // A segment is closed once it passes `segment_bytes`, so that trimming frees space in
    // steps of that size.
    explicit Spool(std::string dir, std::size_t segment_bytes = 4 << 20);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Reads every segment: the messages still queued, oldest first. A torn or corrupt tail is
    // cut from its file and reported in `notes`; segments wholly trimmed are removed. Appends
    // go to a new segment. False with `error` when the folder cannot be used.
    bool open(std::vector<SpoolRecord>& queued, std::vector<std::string>& notes,
              std::string& error);

    // The next message's sequence number; appended later by `append`.
    std::uint64_t next_seq() const { return next_seq_; }
    // Buffered until `flush`. Returns the sequence number given.
    std::uint64_t append(const MqttMessage& m, const std::string& station, bool first,
                         std::int64_t time_ms);
    // Everything below `seq` has left the queue: recorded at the next flush, and the segments
    // that hold nothing else are removed then.
    void trim(std::uint64_t seq);
    // Closes the current segment and starts another, so that it can go once trimmed.
    bool roll(std::string& error);
    // The highest sequence number the oldest segment holds; next_seq() - 1 when only the
    // current segment is left.
    std::uint64_t oldest_segment_end() const;
    std::size_t segments() const { return segments_.size(); }
    // Writes the buffer to the current segment; with `sync`, makes it durable (and the folder,
    // when segments were made or removed). False with `error` on a failed write.
    bool flush(bool sync, std::string& error);
    // The segments' bytes on disk, with what waits in the buffer.
    std::size_t bytes() const { return bytes_; }

private:
    struct Segment {
        std::string path;
        std::uint64_t last_seq = 0;  // the highest sequence number in it; 0: none
        std::size_t bytes = 0;
    };
    bool start_segment(std::string& error);
    void buffer_record(const SpoolRecord& r);
    bool write_buffer(std::string& error);
    void remove_trimmed();

    const std::string dir_;
    const std::size_t segment_bytes_;
    std::vector<Segment> segments_;  // oldest first; the last is the one appended to
    int fd_ = -1;                    // the last segment's
    int lock_fd_ = -1;               // held while the spool is open
    std::string buffer_;             // appended, not yet written
    std::uint64_t next_seq_ = 1;
    std::uint64_t trim_to_ = 0;       // the trim asked for
    std::uint64_t written_trim_ = 0;  // the trim last put in the current segment
    std::uint64_t durable_trim_ = 0;  // the trim on disk for sure: segments below it may go
    std::size_t bytes_ = 0;
    bool dir_changed_ = false;  // a segment made or removed since the last sync
    std::string failure_;       // a failed roll inside append, told by the next flush
};

#pragma once
// The last hour of a station's readings for the web page: a ring of compact entries, 80 bytes
// a reading, from which the grid's texts come back byte for byte.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reading.h"

// How a channel's 32 bits in an entry are to be read.
enum class ChannelKind : std::uint8_t {
    measurement,  // hundredths of a degree, as "%.2f" printed them
    no_sensor,
    error,
    wide,  // a measurement beyond the hundredths' range, kept as a float
};

// One accepted reading as the page shows it.
struct HistoryEntry {
    std::int64_t at_ms = 0;                   // the bridge's clock when it was accepted
    std::int32_t sec = 0;                     // the reading's own seconds
    std::array<char, 8> time{};               // grid column 0, Windows-1251, NUL-padded
    std::array<char, 8> device_time{};        // grid column 1, likewise
    std::array<std::int32_t, NCHAN> chan{};   // per channel, read by its kind
    std::uint32_t kinds = 0;                  // 2 bits per channel, T1 in the lowest
};
static_assert(sizeof(HistoryEntry) <= 80, "a reading must stay compact");

HistoryEntry make_entry(const Reading& r, std::int64_t at_ms);

ChannelKind kind_of(const HistoryEntry& e, int channel);

// The fourteen grid texts of the entry's reading, as grid_row gives them with the time of
// day in column 0. Exact for every value within ±21,474,836.47; a wider one prints as the
// nearest float.
std::array<std::string, 14> entry_row(const HistoryEntry& e);

// A ring of the newest `capacity` entries of one station. Not locked: its owner locks it.
class History {
public:
    static constexpr std::size_t CAPACITY = 3600;  // an hour at the shortest period, 1 s

    explicit History(std::size_t capacity = CAPACITY) : capacity_(capacity) {}

    void push(const HistoryEntry& e);
    std::size_t size() const { return ring_.size(); }
    // Entries ever pushed; the sequence number of entry i (0 the oldest kept) is
    // total() - size() + i.
    std::uint64_t total() const { return total_; }

    // Calls f(sequence, entry) for the kept entries accepted at or after since_ms, oldest first.
    template <class F>
    void each_since(std::int64_t since_ms, F&& f) const {
        const std::size_t n = ring_.size();
        const std::uint64_t first = total_ - n;
        for (std::size_t i = 0; i < n; ++i) {
            const HistoryEntry& e = ring_[(start_ + i) % n];
            if (e.at_ms >= since_ms) f(first + i, e);
        }
    }

private:
    std::size_t capacity_;
    std::vector<HistoryEntry> ring_;  // grows to capacity_, then wraps at start_
    std::size_t start_ = 0;           // index of the oldest entry once full
    std::uint64_t total_ = 0;
};

// A channel's value in degrees; false for N/SENS and ERROR.
bool channel_value(const HistoryEntry& e, int channel, double& out);

// Readings further apart than this many usual spacings leave a gap: the station was offline
// or gave nothing new, and a line across that time would show values nobody read. The page
// breaks its chart by the same rule.
constexpr int GAP_SPACINGS = 3;

// The usual time between the readings (oldest first): the median spacing, 0 for fewer than two.
std::int64_t usual_spacing(const std::vector<HistoryEntry>& entries);

// The readings of one pixel column of a chart, never across a gap.
struct HistoryColumn {
    std::int64_t from_ms = 0;  // its first reading
    std::int64_t to_ms = 0;    // and its last
    std::uint32_t count = 0;
    std::array<double, NCHAN> min{}, max{};  // meaningless for a channel with a fault
    // Channels with an N/SENS or ERROR here, T1 in the lowest bit: drawn as a gap, so that a
    // fault stays in sight however narrow the chart.
    std::uint32_t faults = 0;
};

// The entries (oldest first) accepted before until_ms, as the minimum and maximum of each
// channel per column: [from_ms, from_ms + span_ms) cut into `columns` equal parts, and a column
// cut again wherever two readings are more than GAP_SPACINGS × spacing_ms apart.
std::vector<HistoryColumn> reduce_history(const std::vector<HistoryEntry>& entries,
                                          std::int64_t from_ms, std::int64_t span_ms,
                                          std::int64_t until_ms, int columns,
                                          std::int64_t spacing_ms);

#pragma once
// Who gets a place in the data server's table of open connections. Platform-free.
//
// Any host can open connections and hold them until the server's time limit, so a newcomer
// must never wait behind them in the system's listen queue: every connection is taken at once,
// and where there is no room for it, one that has been quiet the longest is given up instead.
// - A remote address holds at most PER_ADDRESS connections: a newcomer from an address at its
//   limit replaces that address's quietest, so a few hosts cannot fill the table.
// - The table holds at most MAX_CONNECTIONS: a newcomer then replaces the quietest remote
//   connection. The monitor's connections are never given up for a remote one, so its pushes
//   and its quit always find a place; only a table full of the monitor's own turns a remote
//   newcomer away.
#include <cstddef>
#include <cstdint>

constexpr std::size_t MAX_CONNECTIONS = 64;
constexpr std::size_t PER_ADDRESS = 8;

// The monitor connects to 127.0.0.1 without choosing its own address, so that is where its
// connections come from; other hosts cannot send from it.
constexpr std::uint32_t MONITOR_ADDRESS = 0x7F000001;

struct Place {
    bool admitted;        // false: close the newcomer at once (the table is all the monitor's)
    std::size_t give_up;  // the connection to close first; the table's size when none
};

// Each entry of a table has `peer` (IPv4, host order) and `last_active` (when it was taken or
// last sent a byte).

// The entry that has been quiet the longest among those `chosen` picks; the table's size when
// it picks none.
template <class Table, class Choice>
std::size_t quietest(const Table& table, Choice chosen) {
    std::size_t found = table.size();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!chosen(table[i])) continue;
        if (found == table.size() || table[i].last_active < table[found].last_active) found = i;
    }
    return found;
}

template <class Table>
std::size_t quietest_remote(const Table& table) {
    return quietest(table, [](const auto& c) { return c.peer != MONITOR_ADDRESS; });
}

// Where a newcomer from `peer` goes.
template <class Table>
Place place_for(const Table& table, std::uint32_t peer) {
    const std::size_t none = table.size();
    if (peer != MONITOR_ADDRESS) {
        std::size_t from_peer = 0;
        for (const auto& c : table) from_peer += c.peer == peer;
        if (from_peer >= PER_ADDRESS)
            return {true, quietest(table, [peer](const auto& c) { return c.peer == peer; })};
    }
    if (table.size() < MAX_CONNECTIONS) return {true, none};
    const std::size_t remote = quietest_remote(table);
    if (remote != none) return {true, remote};
    if (peer == MONITOR_ADDRESS) return {true, quietest(table, [](const auto&) { return true; })};
    return {false, none};
}

// Who gets a place in the data server's table, and which connection makes room for it.
#include "admission.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

struct Entry {
    std::uint32_t peer;
    int last_active;
};

constexpr std::uint32_t A = 0xC0A80002;  // 192.168.0.2
constexpr std::uint32_t B = 0xC0A80003;
constexpr std::uint32_t OTHER_LOOPBACK = 0x7F000002;

// `count` entries from `peer`, active at `first`, `first + 1`, ...
void add(std::vector<Entry>& table, std::uint32_t peer, std::size_t count, int first) {
    for (std::size_t i = 0; i < count; ++i) table.push_back({peer, first + static_cast<int>(i)});
}

// Entries from one address each, so that no address reaches its limit.
void add_hosts(std::vector<Entry>& table, std::size_t count, int first) {
    for (std::size_t i = 0; i < count; ++i)
        table.push_back({0x0A000000 + static_cast<std::uint32_t>(i), first + static_cast<int>(i)});
}

TEST(Admission, RoomLeftTakesEveryone) {
    std::vector<Entry> table;
    EXPECT_TRUE(place_for(table, A).admitted);
    EXPECT_EQ(place_for(table, A).give_up, 0u);
    add_hosts(table, MAX_CONNECTIONS - 1, 0);
    const Place p = place_for(table, A);
    EXPECT_TRUE(p.admitted);
    EXPECT_EQ(p.give_up, table.size());
}

TEST(Admission, AnAddressAtItsLimitGivesUpItsOwnQuietest) {
    std::vector<Entry> table;
    add(table, B, 1, 0);             // quieter than any of A's, but not A's
    add(table, A, PER_ADDRESS, 10);  // A's quietest is at index 1
    std::swap(table[1], table[3]);   // ... now at index 3
    const Place p = place_for(table, A);
    EXPECT_TRUE(p.admitted);
    EXPECT_EQ(p.give_up, 3u);
    EXPECT_EQ(place_for(table, B).give_up, table.size());  // B still has room
}

TEST(Admission, TheMonitorHasNoLimitOfItsOwn) {
    std::vector<Entry> table;
    add(table, MONITOR_ADDRESS, PER_ADDRESS * 2, 0);
    EXPECT_EQ(place_for(table, MONITOR_ADDRESS).give_up, table.size());
}

TEST(Admission, OtherLoopbackAddressesCountAsRemote) {
    std::vector<Entry> table;
    add(table, OTHER_LOOPBACK, PER_ADDRESS, 0);
    EXPECT_EQ(place_for(table, OTHER_LOOPBACK).give_up, 0u);
}

TEST(Admission, AFullTableGivesUpTheQuietestRemoteNeverTheMonitors) {
    std::vector<Entry> table;
    add(table, MONITOR_ADDRESS, 2, 0);  // the quietest of all
    add_hosts(table, MAX_CONNECTIONS - 3, 20);
    add(table, A, 1, 5);  // the quietest remote
    for (std::uint32_t newcomer : {B, MONITOR_ADDRESS, A}) {
        const Place p = place_for(table, newcomer);
        EXPECT_TRUE(p.admitted);
        EXPECT_EQ(p.give_up, MAX_CONNECTIONS - 1) << newcomer;
    }
}

TEST(Admission, ATableAllTheMonitorsTurnsRemoteNewcomersAway) {
    std::vector<Entry> table;
    add(table, MONITOR_ADDRESS, MAX_CONNECTIONS, 10);
    table[7].last_active = 1;
    EXPECT_FALSE(place_for(table, A).admitted);
    const Place p = place_for(table, MONITOR_ADDRESS);
    EXPECT_TRUE(p.admitted);
    EXPECT_EQ(p.give_up, 7u);
}

TEST(Admission, QuietestRemoteOfAnEmptyOrLocalTableIsNone) {
    std::vector<Entry> table;
    EXPECT_EQ(quietest_remote(table), 0u);
    add(table, MONITOR_ADDRESS, 3, 0);
    EXPECT_EQ(quietest_remote(table), 3u);
    add(table, A, 2, 9);
    EXPECT_EQ(quietest_remote(table), 3u);
}

}  // namespace

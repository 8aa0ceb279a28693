#pragma once
// Which of N bridges sharing one stations file polls a station. Pure.
//
// Rendezvous hashing: every shard scores the station's name and the highest score wins. A
// score depends on the name and the shard's number only, so a station keeps its shard
// whatever other stations come or go, and the same on every machine and in every run. When
// N grows to N+1, only the stations the new shard wins move, about 1 in N+1, all of them to
// the new shard.
#include <cstdint>
#include <string_view>

struct Shard {
    int index = 1;  // 1..count
    int count = 1;
};

// The largest N a --shard accepts.
constexpr int MAX_SHARDS = 1024;

// The score of `shard` (1..) for a station name: FNV-1a 64 over the name and the shard's
// number, then a final mix so that near names and near shards score apart.
std::uint64_t shard_score(std::string_view name, int shard);

// The shard, 1..count, that polls a station.
int shard_of(std::string_view name, int count);

bool in_shard(std::string_view name, const Shard& s);

#include "shard.h"

std::uint64_t shard_score(std::string_view name, int shard) {
    // Fixed seed and prime: FNV-1a 64's own, never from the platform or the run.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    auto mix_byte = [&h](unsigned char c) {
        h ^= c;
        h *= 0x100000001b3ULL;
    };
    for (char c : name) mix_byte(static_cast<unsigned char>(c));
    // A separator no name holds, then the shard's number, little-endian.
    mix_byte(0);
    const auto n = static_cast<std::uint32_t>(shard);
    for (int i = 0; i < 4; ++i) mix_byte(static_cast<unsigned char>(n >> (8 * i)));
    // FNV alone leaves the last bytes weakly spread across the high bits, which the
    // comparison of scores looks at first.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

int shard_of(std::string_view name, int count) {
    int best = 1;
    std::uint64_t best_score = shard_score(name, 1);
    for (int i = 2; i <= count; ++i) {
        const std::uint64_t s = shard_score(name, i);
        if (s > best_score) {
            best = i;
            best_score = s;
        }
    }
    return best;
}

bool in_shard(std::string_view name, const Shard& s) {
    return s.count <= 1 || shard_of(name, s.count) == s.index;
}

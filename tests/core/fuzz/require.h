// A fuzzer's own check: a broken invariant aborts, so that libFuzzer keeps the input behind it.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

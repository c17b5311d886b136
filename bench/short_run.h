// scripts/bench sets EFIS_BENCH_SHORT=1 for CI's short run, which checks that every benchmark still
// measures: the benchmarks then move less data and repeat less, so that each program takes seconds.
#pragma once

#include <cstdlib>
#include <cstring>

namespace bench {

inline bool short_run()
{
    const char* v = std::getenv("EFIS_BENCH_SHORT");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// `full` in a normal run, `brief` in the short one.
template <typename T> T sized(T full, T brief)
{
    return short_run() ? brief : full;
}

} // namespace bench

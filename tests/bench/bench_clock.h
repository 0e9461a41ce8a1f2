// Timing helpers shared by the benchmarks.
#ifndef QUORVEL_TESTS_BENCH_CLOCK_H
#define QUORVEL_TESTS_BENCH_CLOCK_H

#include <windows.h>

#include <algorithm>
#include <vector>

// Seconds on the performance counter; only differences mean anything.
inline double Seconds()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

// The middle value: a shared machine makes single runs and means unreliable.
inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

#endif

// The Windows benchmarks' clock and their one statistic: what each of them measures with.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <vector>

// Nanoseconds on the performance counter.
inline double bench_now_ns()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1e9 / (double)frequency.QuadPart;
}

// The value at fraction `p` (0.5 the median, 1 the largest) of `v`.
inline double bench_percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

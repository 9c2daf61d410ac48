#pragma once
// The benchmark's clock and its summaries.

#include <windows.h>

#include <algorithm>
#include <vector>

namespace vmbench {

// Wall time of one call, in microseconds.
template <typename Call>
double Microseconds(Call a_call)
{
    static const LONGLONG s_llFrequency = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart;
    }();
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    a_call();
    QueryPerformanceCounter(&to);
    return (to.QuadPart - from.QuadPart) * 1e6 / s_llFrequency;
}

template <typename Call>
double Milliseconds(Call a_call)
{
    return Microseconds(a_call) / 1000;
}

struct Figures {
    double m_dMedian;
    double m_dP95;
};

// Median and 95th percentile; zeros for no samples.
inline Figures Summarise(std::vector<double> a_samples)
{
    if (a_samples.empty())
        return {0, 0};
    std::sort(a_samples.begin(), a_samples.end());
    size_t n = a_samples.size();
    return {a_samples[n / 2], a_samples[std::min(n - 1, n * 95 / 100)]};
}

inline double Median(std::vector<double> a_samples)
{
    return Summarise(std::move(a_samples)).m_dMedian;
}

} // namespace vmbench

#pragma once

// Timing helpers shared by the benchmarks (header only: this folder is not a benchmark of its own).

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace Bench {

using Clock = std::chrono::steady_clock;

// Best of `rounds` runs of `body`, in seconds.
inline double bestOf(int rounds, const std::function<void()>& body)
{
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        body();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// The sample below which `fraction` of the samples lie (0.5: the median).
inline double percentile(std::vector<double> samples, double fraction)
{
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, static_cast<std::size_t>(fraction * samples.size()))];
}

}  // namespace Bench

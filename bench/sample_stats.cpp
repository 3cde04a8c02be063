#include "sample_stats.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace bench {
namespace {

// Nearest-rank percentile of sorted samples.
double percentile(const std::vector<double> &sorted, double fraction)
{
    const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

} // namespace

Summary summarize(std::vector<double> samples)
{
    if (samples.empty()) {
        return {};
    }
    std::sort(samples.begin(), samples.end());
    return {percentile(samples, 0.5), percentile(samples, 0.9)};
}

double timeMicros(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double, std::micro> elapsed =
        std::chrono::steady_clock::now() - start;
    return elapsed.count();
}

Summary measure(int count, const std::function<void()> &work)
{
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        samples.push_back(timeMicros(work));
    }
    return summarize(std::move(samples));
}

} // namespace bench

#pragma once

#include <functional>
#include <vector>

namespace bench {

// Durations in microseconds.
struct Summary
{
    double median = 0;
    double p90 = 0;
};

Summary summarize(std::vector<double> samples);

// Microseconds that one run of work takes, by the monotonic clock.
double timeMicros(const std::function<void()> &work);

// Runs work `count` times and summarizes the durations.
Summary measure(int count, const std::function<void()> &work);

} // namespace bench

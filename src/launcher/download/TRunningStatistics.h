#pragma once

#include <QtGlobal>

#include <algorithm>

namespace vorna::launcher {

// Count, extremes and mean of the byte counts per progress tick.
struct TRunningStatistics
{
    quint64 count = 0;
    quint64 minimum = 0;
    quint64 maximum = 0;
    double mean = 0.0;

    void add(quint64 Value)
    {
        if (count == 0) {
            mean = double(Value);
            minimum = Value;
            maximum = Value;
        } else {
            mean = (double(count) * mean + double(Value)) / double(count + 1);
            minimum = std::min(minimum, Value);
            maximum = std::max(maximum, Value);
        }
        ++count;
    }

    // Keeps the current mean as the weight of one sample, so that older ticks fade out.
    void collapse()
    {
        const auto Mean = quint64(mean);
        count = 1;
        minimum = Mean;
        maximum = Mean;
        mean = double(Mean);
    }

    void reset() { *this = TRunningStatistics(); }
};

} // namespace vorna::launcher

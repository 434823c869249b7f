#pragma once

#include "TPackagePublisher.h"

#include "format/ParallelWork.h"

#include <atomic>
#include <memory>
#include <vector>

namespace vorna::publisher {

// Work done so far, counted by the workers and read by the progress timer.
using TCounter = std::shared_ptr<std::atomic<qint64>>;

// Runs Work over Jobs with the shared worker helper (one worker per thread of the global
// pool) and reports the counter's progress every 200 ms. Work never throws; its results come back
// in job order.
template <typename Job, typename Work>
auto runOnPool(const std::vector<Job> &Jobs, Work Function, const TCounter &Done, qint64 Total,
               const QString &Stage, const TPackagePublisher::TProgressHandler &Progress)
{
    using TResult = decltype(Function(Jobs.front()));
    std::vector<TResult> results(Jobs.size());
    ::shared::forEachInParallel(
        Jobs.size(),
        [&](std::size_t Index, int) {
            results[Index] = Function(Jobs[Index]);
            return true;
        },
        [&Progress, &Done, Total, &Stage] {
            if (Progress)
                Progress(Stage, Done->load(), Total);
        });
    if (Progress)
        Progress(Stage, Total, Total);
    return results;
}

} // namespace vorna::publisher

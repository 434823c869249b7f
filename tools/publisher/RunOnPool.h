#pragma once

#include "TPackagePublisher.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent>

#include <atomic>
#include <memory>
#include <vector>

namespace vorna::publisher {

// Work done so far, counted by the workers and read by the progress timer.
using TCounter = std::shared_ptr<std::atomic<qint64>>;

// Runs Work over Jobs on the global thread pool (one task per core) and reports the counter's
// progress every 200 ms. Work never throws; its results come back in job order.
template <typename Job, typename Work>
auto runOnPool(const std::vector<Job> &Jobs, Work Function, const TCounter &Done, qint64 Total,
               const QString &Stage, const TPackagePublisher::TProgressHandler &Progress)
{
    using TResult = decltype(Function(Jobs.front()));
    QFuture<TResult> future =
        QtConcurrent::mapped(Jobs, std::function<TResult(const Job &)>(Function));
    QFutureWatcher<TResult> watcher;
    QEventLoop loop;
    QTimer timer;
    timer.setInterval(200);
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&Progress, &Done, Total, &Stage] {
        if (Progress)
            Progress(Stage, Done->load(), Total);
    });
    watcher.setFuture(future);
    if (!future.isFinished()) {
        timer.start();
        loop.exec();
    }
    future.waitForFinished();
    if (Progress)
        Progress(Stage, Total, Total);
    const QList<TResult> results = future.results();
    return std::vector<TResult>(results.begin(), results.end());
}

} // namespace vorna::publisher

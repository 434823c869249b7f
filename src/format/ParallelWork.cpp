#include "ParallelWork.h"

#include <QMutex>
#include <QMutexLocker>
#include <QRunnable>
#include <QSemaphore>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <vector>

namespace shared {

namespace {

struct TParallelState
{
    std::size_t count = 0;
    const std::function<bool(std::size_t, int)> *work = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    QMutex mutex;
    std::exception_ptr error;
    QSemaphore ended;
};

class TParallelTask final : public QRunnable
{
public:
    TParallelTask(TParallelState &State, int Worker) : m_state(State), m_worker(Worker)
    {
        setAutoDelete(false);
    }

    void run() override
    {
        while (!m_state.stopped.load()) {
            const std::size_t item = m_state.next.fetch_add(1);
            if (item >= m_state.count)
                break;
            try {
                if (!(*m_state.work)(item, m_worker))
                    m_state.stopped = true;
            } catch (...) {
                const QMutexLocker lock(&m_state.mutex);
                if (!m_state.error)
                    m_state.error = std::current_exception();
                m_state.stopped = true;
            }
        }
        m_state.ended.release();
    }

private:
    TParallelState &m_state;
    const int m_worker;
};

} // namespace

int parallelWorkerCount(std::size_t Count)
{
    const int threads = std::max(1, QThreadPool::globalInstance()->maxThreadCount());
    return int(std::max<std::size_t>(1, std::min<std::size_t>(Count, std::size_t(threads))));
}

bool forEachInParallel(std::size_t Count, const std::function<bool(std::size_t, int)> &Work,
                       const std::function<void()> &Tick, int TickMilliseconds)
{
    if (Count == 0)
        return true;
    TParallelState state;
    state.count = Count;
    state.work = &Work;
    QThreadPool *pool = QThreadPool::globalInstance();
    std::vector<std::unique_ptr<TParallelTask>> tasks;
    const int workers = parallelWorkerCount(Count);
    for (int worker = 0; worker < workers; ++worker) {
        tasks.push_back(std::make_unique<TParallelTask>(state, worker));
        pool->start(tasks.back().get());
    }
    if (Tick) {
        while (!state.ended.tryAcquire(workers, TickMilliseconds))
            Tick();
    } else {
        // A task still queued is taken back and run here; the last ones started are the least
        // likely to have a thread yet.
        for (auto task = tasks.rbegin(); task != tasks.rend(); ++task) {
            if (pool->tryTake(task->get()))
                (*task)->run();
        }
        state.ended.acquire(workers);
    }
    if (state.error)
        std::rethrow_exception(state.error);
    return !state.stopped.load();
}

} // namespace shared

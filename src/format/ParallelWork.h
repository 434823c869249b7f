#pragma once

#include <cstddef>
#include <functional>

namespace shared {

// How many workers forEachInParallel starts for Count items: one per thread of the global pool,
// never more than there are items, at least one.
int parallelWorkerCount(std::size_t Count);

// Runs Work(Item, Worker) for every Item in [0, Count) on parallelWorkerCount(Count) tasks of the
// global thread pool. Items are handed out in index order from one shared counter, so a caller
// that sorts its items largest first gets the longest ones started at once; Worker (0 to the
// worker count - 1) lets the caller keep per-worker state, such as a read buffer or a result
// list, without locking.
//
// Work returns false to stop: no worker takes another item and forEachInParallel returns false
// once every worker has ended. An exception thrown by Work stops the workers the same way and is
// rethrown here, on the calling thread, after all of them have ended (the first one, if several
// threw); it never reaches the pool's threads or an event loop.
//
// Without Tick, the calling thread waits for the workers from the last started to the first and
// runs any the pool has not started yet itself, so a caller that is itself a pool task cannot
// deadlock a full pool. With Tick, the calling thread calls Tick every TickMilliseconds until all
// workers have ended (for progress on a thread with no event loop running); it must then not be
// one of the pool's own threads.
bool forEachInParallel(std::size_t Count, const std::function<bool(std::size_t, int)> &Work,
                       const std::function<void()> &Tick = {}, int TickMilliseconds = 200);

} // namespace shared

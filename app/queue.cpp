#include "app/queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

std::mutex lock;
std::condition_variable ready;
std::deque<Work> items;

// Takes every item waiting now, so that the lock is held once per batch.
std::deque<Work> takeAll(bool wait) {
    std::unique_lock held(lock);
    if (wait) ready.wait(held, [] { return !items.empty(); });
    std::deque<Work> batch;
    batch.swap(items);
    return batch;
}

}  // namespace

void post(Work work) {
    bool wasEmpty;
    {
        std::lock_guard held(lock);
        wasEmpty = items.empty();
        items.push_back(std::move(work));
    }
    // The main thread only sleeps on an empty queue.
    if (wasEmpty) ready.notify_one();
}

void runMainLoop() {
    for (;;)
        for (auto& work : takeAll(true)) work();
}

void drainMainQueue() {
    for (auto batch = takeAll(false); !batch.empty(); batch = takeAll(false))
        for (auto& work : batch) work();
}

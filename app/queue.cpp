#include "app/queue.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "app/dispatch.h"

namespace {

std::mutex lock;
std::condition_variable ready;
std::vector<Request> items;  // keeps its capacity, so a steady flow allocates nothing

// A batch that needed more room than this gives it back once run: a burst's
// backlog is one block, which then returns to the system whole.
constexpr std::size_t keepItems = 4096;

// Swaps every item waiting now into batch, so that the lock is held once per batch.
void takeAll(std::vector<Request>& batch, bool wait) {
    std::unique_lock held(lock);
    if (wait) ready.wait(held, [] { return !items.empty(); });
    batch.swap(items);
}

void run(std::vector<Request>& batch) {
    for (const auto& request : batch) dispatch(request);
    batch.clear();
    if (batch.capacity() > keepItems) std::vector<Request>().swap(batch);
}

}  // namespace

void post(Request request) {
    bool wasEmpty;
    {
        std::lock_guard held(lock);
        wasEmpty = items.empty();
        items.push_back(std::move(request));
    }
    // The main thread only sleeps on an empty queue.
    if (wasEmpty) ready.notify_one();
}

void runMainLoop() {
    std::vector<Request> batch;
    for (;;) {
        takeAll(batch, true);
        run(batch);
    }
}

void drainMainQueue() {
    std::vector<Request> batch;
    for (takeAll(batch, false); !batch.empty(); takeAll(batch, false)) run(batch);
}

#include "app/queue.h"

#include "protocol/emit.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

std::mutex lock;
std::condition_variable ready;
std::vector<Work> items;  // keeps its capacity, so a steady flow allocates nothing

// A batch that needed more room than this gives it back once run: a burst's
// backlog is one block, which then returns to the system whole.
constexpr std::size_t keepItems = 4096;

// Swaps every item waiting now into batch, so that the lock is held once per batch.
void takeAll(std::vector<Work>& batch, bool wait) {
    std::unique_lock held(lock);
    if (wait) ready.wait(held, [] { return !items.empty(); });
    batch.swap(items);
}

// The replies of an item with more queued behind it wait for the next ones
// and leave with them: one write, one wake-up of the host, for a run of
// pipelined requests; a lone request's reply is written at once.
void run(std::vector<Work>& batch) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        gather(i + 1 < batch.size());
        batch[i]();
    }
    gather(false);
    flush();
    batch.clear();
    if (batch.capacity() > keepItems) std::vector<Work>().swap(batch);
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
    std::vector<Work> batch;
    for (;;) {
        takeAll(batch, true);
        run(batch);
    }
}

void drainMainQueue() {
    std::vector<Work> batch;
    for (takeAll(batch, false); !batch.empty(); takeAll(batch, false)) run(batch);
}

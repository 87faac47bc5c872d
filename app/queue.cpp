#include "app/queue.h"

#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "protocol/emit.h"

namespace {

std::mutex lock;           // guards everything below
std::deque<Work> items;    // waiting to run
bool running = false;      // a thread is running items
bool readerRuns = false;   // and it is the reader thread
bool ended = false;        // the host has closed the input
std::size_t backlog = 0;   // the most items waiting since the queue was last empty

// Wakes the main thread; made on first use, after start-up has seen to the
// standard streams.
int wakeFd() {
    static int fd = ::eventfd(0, EFD_CLOEXEC);
    return fd;
}

// A backlog this long leaves blocks that the allocator keeps unless told.
constexpr std::size_t trimAfter = 4096;

// Giving a large backlog's memory back takes the allocator tens of
// milliseconds, so a thread of its own does it, asleep until asked: the
// thread that ran the backlog goes straight on with what comes next (the
// request path allocates nothing while it runs).
std::mutex trimLock;
std::condition_variable trimAsked;
bool trimWanted = false;

void trimSoon() {
    static std::once_flag started;
    std::call_once(started, [] {
        // Without the thread, memory stays with the allocator, as it would
        // without any trim.
        try {
            std::thread([] {
                std::unique_lock held(trimLock);
                for (;;) {
                    trimAsked.wait(held, [] { return trimWanted; });
                    trimWanted = false;
                    held.unlock();
                    ::malloc_trim(0);
                    held.lock();
                }
            }).detach();
        } catch (const std::system_error&) {
        }
    });
    {
        std::lock_guard held(trimLock);
        trimWanted = true;
    }
    trimAsked.notify_one();
}

// Runs every waiting item, each released once it has run, then gives the
// right to run back. The replies of an item with more behind it wait for
// the next ones and leave with them; what is gathered is dealt with before
// the right to run goes, since the next thread to run gathers as it sees fit.
void runWaiting(bool more) {
    bool trim = false;
    bool settled = false;  // nothing waited when the gathered lines were seen to
    for (;;) {
        Work work;
        bool after = false;
        {
            std::lock_guard held(lock);
            if (!items.empty()) {
                work = std::move(items.front());
                items.pop_front();
                after = more || !items.empty();
            } else if (settled || more) {
                // With more lines to come, their reader sees to what is
                // gathered; the next thread to run sets gathering anew.
                gather(false);
                running = readerRuns = false;
                trim = backlog >= trimAfter;
                backlog = 0;
                break;
            }
        }
        settled = !work;
        if (work) {
            gather(after);
            work();
        } else {
            gather(false);
            flush();
        }
    }
    if (trim) trimSoon();
}


// The host closed the input. The reader thread will read its end, unless it
// is running an item, which may take long (a host that stopped reading
// leaves it blocked on output): then the input ends the bridge from here.
void inputEnded() {
    bool busy;
    {
        std::lock_guard held(lock);
        ended = true;
        busy = running && readerRuns;
    }
    if (busy) quit(0);
}

}  // namespace

void wakeMain() {
    std::uint64_t one = 1;
    while (::write(wakeFd(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void post(Work work) {
    bool idle;
    {
        std::lock_guard held(lock);
        items.push_back(std::move(work));
        backlog = std::max(backlog, items.size());
        idle = !running;
    }
    // A running thread takes the item before it gives the right to run back.
    if (idle) wakeMain();
}

bool claim(bool more) {
    // Lines waiting for the main thread to write them come first.
    if (outputHandedOver()) return false;
    {
        std::lock_guard held(lock);
        if (running || !items.empty() || ended) return false;
        running = readerRuns = true;
    }
    gather(more);
    return true;
}

void finish(bool more) { runWaiting(more); }

void runMainLoop() {
    bool watching = true;  // the input, for its end
    for (;;) {
        pollfd fds[2] = {{wakeFd(), POLLIN, 0}, {STDIN_FILENO, POLLRDHUP, 0}};
        // Only a hang-up or an error wakes this for the input, never data.
        if (::poll(fds, watching ? 2 : 1, -1) < 0) continue;
        if (watching && fds[1].revents != 0) {
            watching = false;
            inputEnded();
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            while (::read(wakeFd(), &count, sizeof count) < 0 && errno == EINTR) {
            }
        }
        writeHandedOver();
        {
            std::lock_guard held(lock);
            if (running || items.empty()) continue;
            running = true;
        }
        runWaiting(false);
        writeHandedOver();
    }
}

void drainMainQueue() {
    {
        std::lock_guard held(lock);
        if (running) return;
        running = true;
    }
    runWaiting(false);
}

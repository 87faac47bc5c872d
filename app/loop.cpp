#include "app/loop.h"

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <system_error>
#include <thread>

#include "app/reader.h"
#include "midi/send.h"
#include "midi/service.h"
#include "protocol/emit.h"

namespace {

// The main thread's, like everything the loop touches.
std::deque<Work> queue;
Lines lines;
bool ended = false;  // the input; what waits for room is still sent

// Replies leave in pieces of about this size while a long run of input is
// carried out, so that the first of them need not wait for the last.
constexpr std::size_t writeEvery = 4096;

// The one thing shared with the thread that watches for the end of input:
// the work items run so far, odd while one runs.
std::atomic<unsigned long> steps{0};

// Blocks of a huge line come from and go straight back to the system; a
// fixed threshold stops the allocator from keeping them for later.
constexpr int mmapThreshold = 1 << 20;

// The end of input ends the bridge even while a work item is stuck: a thread
// of its own sleeps until the host closes our input, then ends the process
// if the loop has been inside one work item for stuckAfter. It touches
// nothing else, and the loop never waits for it.
constexpr auto stuckAfter = std::chrono::milliseconds(250);

void watchEnd() {
    pollfd in{STDIN_FILENO, POLLRDHUP, 0};
    // Only a hang-up or an error wakes this, never data.
    while (::poll(&in, 1, -1) < 0 || in.revents == 0) {
        if (errno != EINTR) return;
    }
    for (;;) {
        unsigned long before = steps.load(std::memory_order_relaxed);
        std::this_thread::sleep_for(stuckAfter);
        unsigned long now = steps.load(std::memory_order_relaxed);
        if (now == before && now % 2 == 1) ::_exit(0);
    }
}

// Carries out one work item between the two marks the watcher reads.
template <class Body>
void step(Body body) {
    steps.fetch_add(1, std::memory_order_relaxed);
    body();
    steps.fetch_add(1, std::memory_order_relaxed);
}

void takeLine(std::string_view line) {
    step([line] { take(line); });
    if (outputWaiting() >= writeEvery && !outputStalled()) writeOutput();
}

// Reads what the input holds and carries out its lines. At its end, the
// loop quits once no send waits for room.
void readInput() {
    static char buf[1 << 16];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;  // a host may hand us a non-blocking pipe
    if (n <= 0) {
        end(lines, takeLine);
        runPosted();
        ended = true;
        return;
    }
    // Every line read here was written before this: what changed until now
    // is what its sends must see.
    midi::takeChanges();
    split(lines, {buf, static_cast<std::size_t>(n)}, takeLine);
}

}  // namespace

void post(Work work) { queue.push_back(std::move(work)); }

void runPosted() {
    while (!queue.empty()) {
        Work work = std::move(queue.front());
        queue.pop_front();
        step(work);
    }
}

void run() {
    ::mallopt(M_MMAP_THRESHOLD, mmapThreshold);
    // The start-up report goes out before anything else is set going.
    writeOutput();
    try {
        std::thread(watchEnd).detach();
    } catch (const std::system_error&) {
        // Without it, a stuck work item holds the end of input up.
    }
    constexpr std::size_t most = 8;
    pollfd fds[2 + most];
    for (;;) {
        runPosted();
        if (ended && !sendsWaiting()) quit(0);
        if (!outputStalled()) writeOutput();
        // While the host has not taken our output, the service's events
        // wait: announcements are still taken after every read of input, and the
        // report of what changed meanwhile comes once the host reads again,
        // instead of one every few milliseconds into memory.
        const bool waiting = outputWaiting() > 0;
        fds[0] = {ended ? -1 : STDIN_FILENO, POLLIN, 0};
        // Not watched while nothing waits: a host that closed its end
        // would wake us for ever.
        fds[1] = {waiting ? STDOUT_FILENO : -1, POLLOUT, 0};
        std::size_t service = waiting ? 0 : midi::eventDescriptors(fds + 2, most);
        int timeout = waiting ? -1 : midi::eventTimeout();
        // Sends that wait for room are tried again when due, whether the
        // host reads or not.
        const int sendsDue = sendsTimeout();
        int wait = timeout < 0 ? sendsDue : sendsDue < 0 ? timeout : std::min(timeout, sendsDue);
        int ready = ::poll(fds, static_cast<nfds_t>(2 + service), wait);
        if (ready < 0) continue;  // EINTR
        if (fds[1].revents) writeOutput();
        if (sendsWaiting() && sendsTimeout() == 0) step(resumeSends);
        bool due = !waiting && timeout >= 0 && midi::eventTimeout() == 0;
        for (std::size_t i = 0; i < service; ++i) due = due || fds[2 + i].revents != 0;
        if (due) step(midi::handleEvents);
        if (fds[0].revents) readInput();
    }
}

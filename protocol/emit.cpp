#include "protocol/emit.h"

#include <poll.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/utf8.h"

namespace {

// Held while a line is written, and by quit() to the end of the process.
std::mutex output;

// Lines gathered and not yet written, under output. Written at this size
// (the size a pipe takes in one piece), so a burst's replies still flow.
std::string gathered;
constexpr std::size_t gatherLimit = 4096;
bool gathering = false;  // the thread running work items only

// A thread that must never wait for the host to read (the reader thread)
// writes only what the output takes at once and hands the rest over: the
// main thread then writes it, and everything after it, until all is out.
thread_local bool neverWait = false;
// Written under output; set only by the thread that never waits, so that
// thread reads it without the lock.
std::atomic<bool> handedOver = false;  // lines wait for the main thread
bool writing = false;     // under output: the main thread is writing them
void (*wakeWriter)() = nullptr;

// How long quit() waits for a line being written: a host that has stopped
// reading would otherwise keep the bridge alive after its input has ended.
constexpr auto lineGrace = std::chrono::milliseconds(250);

void writeAll(std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a host that closed its end gets nothing more
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Writes text while the output takes it by the deadline, without ever
// waiting past it; returns how much was written, all of it when the host has
// closed its end (the rest would never be taken).
std::size_t writeReady(std::string_view text, std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < text.size()) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (::poll(&out, 1, std::max(0, static_cast<int>(wait.count()))) != 1) break;
        if (!(out.revents & POLLOUT)) return text.size();
        // No more than a pipe is sure to take at once, so the write cannot block.
        ssize_t n = ::write(STDOUT_FILENO, text.data() + done, std::min<std::size_t>(text.size() - done, PIPE_BUF));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n < 0) return text.size();
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Under output: empties gathered, which gives a huge line's memory back.
void clearGathered() {
    if (gathered.capacity() > 4 * gatherLimit) std::string().swap(gathered);
    gathered.clear();
}

// Under output: writes what is gathered, or on a thread that never waits,
// as much as the output takes now, handing the rest to the main thread.
void writeGathered() {
    if (handedOver) return;
    if (!neverWait) {
        writeAll(gathered);
        return clearGathered();
    }
    std::size_t done = writeReady(gathered, std::chrono::steady_clock::now());
    if (done == gathered.size()) return clearGathered();
    gathered.erase(0, done);
    handedOver = true;
    if (wakeWriter) wakeWriter();
}

}  // namespace

void emit(const Json& object) {
    std::string line;
    try {
        line = boost::json::serialize(object);
        line += '\n';
    } catch (const std::bad_alloc&) {
        return;
    }
    if (wellFormedUtf8(line)) emitLine(line);
}

void emitLine(std::string_view line) {
    std::lock_guard held(output);
    if (!gathering && gathered.empty() && !neverWait) return writeAll(line);
    gathered += line;
    if (gathering && gathered.size() < gatherLimit) return;
    writeGathered();
}

void gather(bool on) { gathering = on; }

void writeWithoutWaiting(void (*wake)()) {
    neverWait = true;
    wakeWriter = wake;
}

bool outputHandedOver() { return handedOver.load(std::memory_order_acquire); }

void writeHandedOver() {
    std::unique_lock held(output);
    while (handedOver) {
        std::string lines;
        lines.swap(gathered);
        if (lines.empty()) {
            handedOver = false;
            break;
        }
        // Written without the lock, so that the reader thread never waits
        // for it: what it writes meanwhile is gathered behind these lines.
        writing = true;
        held.unlock();
        writeAll(lines);
        held.lock();
        writing = false;
    }
}

void flush() {
    std::lock_guard held(output);
    if (!gathered.empty()) writeGathered();
}

void quit(int status) {
    auto deadline = std::chrono::steady_clock::now() + lineGrace;
    // Tried now and then rather than waited on with a timeout, which the
    // thread sanitizer cannot see as holding the lock; this runs once.
    // Lines being written by the main thread come before the gathered ones.
    auto take = [] {
        if (!output.try_lock()) return false;
        if (!writing) return true;
        output.unlock();
        return false;
    };
    bool held = take();
    while (!held && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        held = take();
    }
    // Gathered replies belong to requests that were carried out.
    if (held) writeReady(gathered, deadline);
    ::_exit(status);
}

#include "protocol/emit.h"

#include <poll.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Held while a line is written, and by quit() to the end of the process.
std::mutex output;

// Lines gathered and not yet written, under output. Written at this size
// (the size a pipe takes in one piece), so a burst's replies still flow.
std::string gathered;
constexpr std::size_t gatherLimit = 4096;
bool gathering = false;  // the thread running work items only

// How long quit() waits for a line being written: a host that has stopped
// reading would otherwise keep the bridge alive after its input has ended.
constexpr auto lineGrace = std::chrono::milliseconds(250);

void writeAll(const std::string& text) {
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

// Writes what the host takes until the deadline; the rest is lost.
void writeUntil(const std::string& text, std::chrono::steady_clock::time_point deadline) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (wait.count() <= 0 || ::poll(&out, 1, static_cast<int>(wait.count())) <= 0) return;
        if (!(out.revents & POLLOUT)) return;
        // No more than a pipe is sure to take at once, so the write cannot block.
        ssize_t n = ::write(STDOUT_FILENO, p, std::min<std::size_t>(left, PIPE_BUF));
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// True when text is well-formed UTF-8: no stray or missing continuation
// byte, no overlong form, no surrogate, nothing above U+10FFFF.
bool utf8(std::string_view text) {
    auto* p = reinterpret_cast<const unsigned char*>(text.data());
    auto* end = p + text.size();
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : 1;
        if (c < 0xc2 || c > 0xf4 || end - p <= more) return false;
        unsigned lo = 0x80, hi = 0xbf;  // the bounds of the second byte
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
        if (p[1] < lo || p[1] > hi) return false;
        for (int i = 2; i <= more; ++i)
            if ((p[i] & 0xc0) != 0x80) return false;
        p += more + 1;
    }
    return true;
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
    if (!utf8(line)) return;
    std::lock_guard held(output);
    if (!gathering && gathered.empty()) return writeAll(line);
    gathered += line;
    if (gathering && gathered.size() < gatherLimit) return;
    writeAll(gathered);
    gathered.clear();
}

void gather(bool on) { gathering = on; }

void flush() {
    std::lock_guard held(output);
    if (gathered.empty()) return;
    writeAll(gathered);
    gathered.clear();
}

void quit(int status) {
    auto deadline = std::chrono::steady_clock::now() + lineGrace;
    // Tried now and then rather than waited on with a timeout, which the
    // thread sanitizer cannot see as holding the lock; this runs once.
    bool held = output.try_lock();
    while (!held && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        held = output.try_lock();
    }
    // Gathered replies belong to requests that were carried out.
    if (held) writeUntil(gathered, deadline);
    ::_exit(status);
}

#include "protocol/emit.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>

#include <cerrno>
#include <chrono>
#include <climits>
#include <deque>
#include <new>
#include <string>

#include "protocol/utf8.h"

namespace {

// The lines not yet taken by the host: out from sent on.
std::string out;
std::size_t sent = 0;
bool gone = false;     // the host closed its end; what follows goes nowhere
bool stalled = false;  // the last write found the output full

// The held places, oldest first: each with its line once filled and the
// lines added after it, up to the next place.
struct Place {
    bool filled = false;
    std::string line;
    std::string after;
};
std::deque<Place> places;
Held firstPlace = 0;  // the number of places[0]

// A buffer this large goes back to the system once it is empty.
constexpr std::size_t keepCapacity = 64 * 1024;

// How standard output is written without waiting: through a description of
// our own made non-blocking (a pipe); with a flag per call (a socket); or,
// for anything else, at most what a pipe is sure to take in one piece, and
// only after poll says it is writable.
enum class Way { checked, own, socket };
Way way = Way::checked;

// How long quit() waits for a host that takes nothing more.
constexpr auto lineGrace = std::chrono::milliseconds(250);

// Writes from p; how much went, 0 when the output takes nothing now. A write
// to a host that closed its end raises SIGPIPE, as any write would; with
// SIGPIPE ignored, the rest goes nowhere.
std::size_t writeSome(const char* p, std::size_t n) {
    if (way == Way::checked) {
        pollfd fd{STDOUT_FILENO, POLLOUT, 0};
        if (::poll(&fd, 1, 0) != 1) return 0;
        if (n > PIPE_BUF) n = PIPE_BUF;
    }
    for (;;) {
        ssize_t k = way == Way::socket ? ::send(STDOUT_FILENO, p, n, MSG_DONTWAIT) : ::write(STDOUT_FILENO, p, n);
        if (k >= 0) return static_cast<std::size_t>(k);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) gone = true;
        return 0;
    }
}

}  // namespace

void prepareOutput() {
    struct stat st;
    if (::fstat(STDOUT_FILENO, &st) != 0) return;
    if (S_ISSOCK(st.st_mode)) {
        way = Way::socket;
    } else if (S_ISFIFO(st.st_mode)) {
        // Our own description: making the host's non-blocking would change
        // it for whoever else shares it.
        int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        if (::dup2(fd, STDOUT_FILENO) == STDOUT_FILENO) way = Way::own;
        ::close(fd);
    }
}

namespace {

// The object as one line with its line feed; empty when it cannot be.
std::string serialised(const Json& object) {
    std::string line;
    try {
        line = boost::json::serialize(object);
        line += '\n';
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (!wellFormedUtf8(line)) return {};
    return line;
}

void append(std::string& to, std::string_view line) {
    if (gone) return;
    try {
        to.append(line);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

void emit(const Json& object) {
    std::string line = serialised(object);
    if (!line.empty()) emitLine(line);
}

void emitLine(std::string_view line) { append(places.empty() ? out : places.back().after, line); }

void emitPassing(const Json& object) {
    std::string line = serialised(object);
    if (!line.empty()) append(out, line);
}

Held hold() {
    places.emplace_back();
    return firstPlace + places.size() - 1;
}

void fill(Held place, std::string_view line) {
    if (place < firstPlace || place - firstPlace >= places.size()) return;
    Place& p = places[place - firstPlace];
    if (p.filled) return;
    p.filled = true;
    append(p.line, line);
    // What no held place stands before any longer is out.
    while (!places.empty() && places.front().filled) {
        append(out, places.front().line);
        append(out, places.front().after);
        places.pop_front();
        ++firstPlace;
    }
}

void fill(Held place, const Json& object) { fill(place, serialised(object)); }

std::size_t held() { return places.size(); }

std::size_t outputWaiting() { return out.size() - sent; }

bool outputStalled() { return stalled; }

void writeOutput() {
    stalled = false;
    while (sent < out.size() && !gone) {
        std::size_t n = writeSome(out.data() + sent, out.size() - sent);
        if (n == 0) {
            stalled = !gone;
            break;
        }
        sent += n;
    }
    if (gone || sent == out.size()) {
        if (out.capacity() > keepCapacity) std::string().swap(out);
        out.clear();
        sent = 0;
    } else if (sent > keepCapacity && sent > out.size() / 2) {
        out.erase(0, sent);  // what the host took is not kept
        sent = 0;
    }
}

void quit(int status) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + lineGrace;
    while (outputWaiting() && !gone) {
        std::size_t left = outputWaiting();
        writeOutput();
        if (!outputWaiting()) break;
        if (outputWaiting() != left) deadline = Clock::now() + lineGrace;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (wait <= 0) break;
        pollfd fd{STDOUT_FILENO, POLLOUT, 0};
        ::poll(&fd, 1, static_cast<int>(wait));
    }
    ::_exit(status);
}

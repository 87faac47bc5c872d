#include "app/reader.h"

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "app/dispatch.h"
#include "app/queue.h"
#include "protocol/accept.h"

namespace {

// A line longer than this gives its memory back once it has been read.
constexpr std::size_t keepCapacity = 1 << 20;

// Kept from line to line, so that reading one needs no new memory.
Request request;

// Above this, a name's memory goes back once its request has been taken.
constexpr std::size_t keepName = 4096;

void take(std::string_view line, bool more) {
    if (!accept(line, request)) {
        if (!more) flush();
        return;
    }
    if (claim(more)) {
        dispatch(request);
        finish(more);
    } else {
        post([copy = request] { dispatch(copy); });
        // Replies that waited for this line leave before the next read waits.
        if (!more) flush();
    }
    if (request.dest && request.dest->capacity() > keepName) request.dest.reset();
}

}  // namespace

void readerLoop() {
    // Blocks of a huge line come from and go straight back to the system;
    // a fixed threshold stops the allocator from keeping them for later.
    ::mallopt(M_MMAP_THRESHOLD, keepCapacity);
    // Input is never held up by a host that is slow to read our output.
    writeWithoutWaiting(wakeMain);
    readLines(STDIN_FILENO, take);
    quit(0);
}

void readLines(int fd, void (*take)(std::string_view line, bool more)) {
    char buf[1 << 16];
    std::string partial;    // the start of a line that spans reads
    bool dropping = false;  // the line being read did not fit in memory
    // Keeps the start of a line; a line that cannot be kept is dropped whole.
    auto keep = [&](const char* from, const char* to) {
        if (dropping) return;
        try {
            partial.append(from, to);
        } catch (const std::bad_alloc&) {
            std::string().swap(partial);
            dropping = true;
        }
    };
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {  // a host may hand us a non-blocking pipe
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, -1);
            continue;
        }
        if (n <= 0) break;
        const char* p = buf;
        const char* end = buf + n;
        auto* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        while (nl) {
            auto* next = static_cast<const char*>(std::memchr(nl + 1, '\n', end - nl - 1));
            if (partial.empty() && !dropping) {
                take({p, static_cast<std::size_t>(nl - p)}, next != nullptr);
            } else {
                keep(p, nl);
                if (!dropping) take(partial, next != nullptr);
                if (partial.capacity() > keepCapacity) std::string().swap(partial);
                partial.clear();
                dropping = false;
            }
            p = nl + 1;
            nl = next;
        }
        keep(p, end);
    }
    if (!partial.empty()) take(partial, false);
}

#include "app/reader.h"

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "app/dispatch.h"
#include "app/queue.h"
#include "protocol/accept.h"

namespace {

// A line longer than this gives its memory back once it has been read.
constexpr std::size_t keepCapacity = 1 << 20;

void take(std::string_view line) {
    if (auto request = accept(line))
        post([request = std::move(*request)] { dispatch(request); });
}

}  // namespace

void readerLoop() {
    // Blocks of a huge line come from and go straight back to the system;
    // a fixed threshold stops the allocator from keeping them for later.
    ::mallopt(M_MMAP_THRESHOLD, keepCapacity);
    readLines(STDIN_FILENO, take);
    quit(0);
}

void readLines(int fd, void (*take)(std::string_view line)) {
    char buf[1 << 16];
    std::string partial;  // the start of a line that spans reads
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
        while (auto* nl = static_cast<const char*>(std::memchr(p, '\n', end - p))) {
            if (partial.empty()) {
                take({p, static_cast<std::size_t>(nl - p)});
            } else {
                partial.append(p, nl);
                take(partial);
                if (partial.capacity() > keepCapacity) std::string().swap(partial);
                partial.clear();
            }
            p = nl + 1;
        }
        partial.append(p, end);
    }
    if (!partial.empty()) take(partial);
}

#include "app/reader.h"

#include <cstring>
#include <new>

#include "app/dispatch.h"
#include "app/loop.h"
#include "protocol/accept.h"

namespace {

// A line longer than this gives its memory back once it has been read.
constexpr std::size_t keepCapacity = 1 << 20;

// Kept from line to line, so that reading one needs no new memory.
Request request;

// Above this, a name's memory goes back once its request has been taken.
constexpr std::size_t keepName = 4096;

// Keeps the start of a line; a line that cannot be kept is dropped whole.
void keep(Lines& lines, const char* from, const char* to) {
    if (lines.dropping) return;
    try {
        lines.partial.append(from, to);
    } catch (const std::bad_alloc&) {
        std::string().swap(lines.partial);
        lines.dropping = true;
    }
}

}  // namespace

void split(Lines& lines, std::string_view chunk, Take take) {
    const char* p = chunk.data();
    const char* end = p + chunk.size();
    while (const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) {
        if (lines.partial.empty() && !lines.dropping) {
            take({p, static_cast<std::size_t>(nl - p)});
        } else {
            keep(lines, p, nl);
            if (!lines.dropping) take(lines.partial);
            if (lines.partial.capacity() > keepCapacity) std::string().swap(lines.partial);
            lines.partial.clear();
            lines.dropping = false;
        }
        p = nl + 1;
    }
    keep(lines, p, end);
}

void end(Lines& lines, Take take) {
    if (!lines.partial.empty() && !lines.dropping) take(lines.partial);
    std::string().swap(lines.partial);
    lines.dropping = false;
}

void take(std::string_view line) {
    if (!accept(line, request)) return;
    runPosted();
    dispatch(request);
    if (request.dest && request.dest->capacity() > keepName) request.dest.reset();
}

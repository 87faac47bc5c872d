#include "protocol/emit.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>

namespace {

// Held while a line is written, and by quit() to the end of the process.
std::timed_mutex output;

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

}  // namespace

void emit(const Json& object) {
    std::string line;
    try {
        line = object.dump();
    } catch (const Json::exception&) {
        return;
    }
    line += '\n';
    std::lock_guard held(output);
    writeAll(line);
}

void quit(int status) {
    [[maybe_unused]] bool held = output.try_lock_for(lineGrace);
    ::_exit(status);
}

#include "protocol/emit.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <mutex>
#include <string>

namespace {

// Held while a line is written, and by quit() to the end of the process.
std::mutex output;

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

void emitSuccess(std::int64_t id) {
    char line[48] = "{\"id\":";
    char* end = std::to_chars(line + 6, line + sizeof line, id).ptr;
    static constexpr char tail[] = ",\"ok\":true}\n";
    std::memcpy(end, tail, sizeof tail - 1);
    std::lock_guard held(output);
    writeAll({line, static_cast<std::size_t>(end - line) + sizeof tail - 1});
}

void quit(int status) {
    output.lock();
    ::_exit(status);
}

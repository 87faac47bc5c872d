#include "protocol/plain.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

// The bytes a text here may hold: printable ASCII other than a quote or a
// backslash.
constexpr auto plainBytes = [] {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x7f; ++c) table[c] = c != '"' && c != '\\';
    return table;
}();

// A text at p of plain bytes; the position after its closing quote, or null.
const char* text(const char* p, const char* end, std::string_view& out) {
    if (p == end || *p != '"') return nullptr;
    const char* start = ++p;
    while (p < end && plainBytes[static_cast<unsigned char>(*p)]) ++p;
    if (p == end || *p != '"') return nullptr;
    out = {start, static_cast<std::size_t>(p - start)};
    return p + 1;
}

// An integer at p, as above; the position after it, or null.
const char* integer(const char* p, const char* end, std::int64_t& out) {
    const char* start = p;
    std::int64_t n = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (p - start == 18) return nullptr;
        n = n * 10 + (*p++ - '0');
    }
    if (p == start || (*start == '0' && p - start > 1)) return nullptr;
    out = n;
    return p;
}

}  // namespace

bool readPlain(std::string_view line, Request& into) {
    const char* p = line.data();
    const char* end = p + line.size();
    if (p == end || *p++ != '{') return false;
    std::optional<std::int64_t> id;
    std::optional<std::string_view> dest, cmd;
    std::array<std::uint8_t, maxBytes> bytes;
    std::size_t count = 0;
    bool sawBytes = false;
    if (p < end && *p == '}') {
        ++p;
    } else {
        for (;;) {
            std::string_view key;
            if (!(p = text(p, end, key)) || p == end || *p++ != ':') return false;
            if (key == "id" && !id) {
                std::int64_t v;
                if (!(p = integer(p, end, v))) return false;
                id = v;
            } else if ((key == "dest" && !dest) || (key == "cmd" && !cmd)) {
                std::string_view v;
                if (!(p = text(p, end, v))) return false;
                (key == "dest" ? dest : cmd) = v;
            } else if (key == "bytes" && !sawBytes) {
                if (p == end || *p++ != '[') return false;
                for (;;) {
                    std::int64_t v;
                    if (count == maxBytes || !(p = integer(p, end, v)) || p == end) return false;
                    bytes[count++] = static_cast<std::uint8_t>(v);
                    if (*p++ == ']') break;
                    if (p[-1] != ',') return false;
                }
                sawBytes = true;
            } else {
                return false;  // another key, or one seen before
            }
            if (p == end) return false;
            if (*p++ == '}') break;
            if (p[-1] != ',') return false;
        }
    }
    if (p != end) return false;

    // The one step that may fail comes first, and leaves into as it was.
    if (!dest) into.dest.reset();
    else if (into.dest) into.dest->assign(*dest);
    else into.dest.emplace(*dest);
    into.ports = cmd == "ports";
    into.id = id;
    into.bytes.integers = sawBytes;
    into.bytes.count = count;
    std::memcpy(into.bytes.first.data(), bytes.data(), count);
    return true;
}

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

// Whether eight bytes are all plain, tested at once: none below 0x20, none
// above 0x7e, none a quote or a backslash.
bool allPlain(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    auto hasZero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    std::uint64_t below = (w - ones * 0x20) & ~w & highs;
    std::uint64_t above = ((w + ones * (0x7f - 0x7e)) | w) & highs;
    return !(below | above | hasZero(w ^ (ones * '"')) | hasZero(w ^ (ones * '\\')));
}

// A text at p of plain bytes; the position after its closing quote, or null.
const char* text(const char* p, const char* end, std::string_view& out) {
    if (p == end || *p != '"') return nullptr;
    const char* start = ++p;
    for (std::uint64_t w; end - p >= 8 && (std::memcpy(&w, p, 8), allPlain(w));) p += 8;
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
        // The key with its quotes and colon, when p is at it.
        auto at = [&](std::string_view key) {
            if (static_cast<std::size_t>(end - p) < key.size() || std::memcmp(p, key.data(), key.size()) != 0)
                return false;
            p += key.size();
            return true;
        };
        for (;;) {
            if (at(R"("id":)")) {
                if (id) return false;
                std::int64_t v;
                if (!(p = integer(p, end, v))) return false;
                id = v;
            } else if (bool isDest = at(R"("dest":)"); isDest || at(R"("cmd":)")) {
                auto& member = isDest ? dest : cmd;
                std::string_view v;
                if (member || !(p = text(p, end, v))) return false;
                member = v;
            } else if (at(R"("bytes":[)")) {
                if (sawBytes) return false;
                for (;;) {
                    std::int64_t v;
                    if (count == maxBytes || !(p = integer(p, end, v)) || p == end) return false;
                    bytes[count++] = static_cast<std::uint8_t>(v);
                    if (*p++ == ']') break;
                    if (p[-1] != ',') return false;
                }
                sawBytes = true;
            } else {
                return false;  // a key not read here
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

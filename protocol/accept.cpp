#include "protocol/accept.h"

#include "protocol/plain.h"

#include <boost/json/basic_parser_impl.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace {

using boost::json::error_code;
using boost::json::string_view;

// Reads a line's values as they are parsed: only the four keys the bridge
// asks for, at the top level, are looked at, and nothing else is kept, so a
// line costs little more than its own length whatever it holds.
class Reading {
public:
    static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

    Request request;

    // Ready for the next line.
    void clear() {
        request.ports = false;
        request.id.reset();
        dropDest();
        request.bytes.integers = false;
        request.bytes.count = 0;
        depth = 0;
        key = Key::other;
        inBytes = false;
        keyText.clear();
        // A long text of a line that failed gives its memory back.
        if (text.capacity() > 4096) std::string().swap(text);
        if (spare.capacity() > 4096) std::string().swap(spare);
        text.clear();
    }

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }

    bool on_object_begin(error_code& ec) {
        if (depth == 0) return ++depth, true;
        return container(ec);
    }
    bool on_object_end(std::size_t, error_code&) { return end(); }
    bool on_array_begin(error_code& ec) {
        if (depth == 0) return notAnObject(ec);
        if (depth == 1 && key == Key::bytes) {
            request.bytes.integers = true;
            request.bytes.count = 0;
            inBytes = true;
            return ++depth, true;
        }
        return container(ec);
    }
    bool on_array_end(std::size_t, error_code&) {
        if (depth == 2 && inBytes) inBytes = false;
        return end();
    }

    bool on_key_part(string_view part, std::size_t, error_code&) {
        if (depth == 1) keyText.append(part.data(), std::min(part.size(), room()));
        return true;
    }
    bool on_key(string_view part, std::size_t size, error_code&) {
        if (depth != 1) return true;
        if (size > longestKey) {
            key = Key::other;
        } else if (keyText.empty()) {  // the usual case: the whole key is here
            key = keyNamed({part.data(), part.size()});
        } else {
            keyText.append(part.data(), part.size());
            key = keyNamed(keyText);
        }
        keyText.clear();
        return true;
    }

    bool on_string_part(string_view part, std::size_t, error_code& ec) {
        if (depth == 0) return notAnObject(ec);
        if (depth == 1 && key == Key::dest) text.append(part.data(), part.size());
        if (depth == 1 && key == Key::cmd) command(part);
        return true;
    }
    bool on_string(string_view part, std::size_t, error_code& ec) {
        if (depth == 0) return notAnObject(ec);
        if (depth == 1 && key == Key::dest) {
            dropDest();
            if (text.empty()) {
                spare.assign(part.data(), part.size());
                request.dest.emplace(std::move(spare));
            } else {
                text.append(part.data(), part.size());
                request.dest = std::move(text);
                text = std::string();
            }
        } else if (depth == 1 && key == Key::cmd) {
            command(part);
            request.ports = text == "ports";
            text.clear();
        } else {
            other();
        }
        return true;
    }

    bool on_number_part(string_view, error_code&) { return true; }
    bool on_int64(std::int64_t v, string_view, error_code& ec) { return integer(v, ec); }
    bool on_uint64(std::uint64_t v, string_view, error_code& ec) {
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return scalar(ec);
        return integer(static_cast<std::int64_t>(v), ec);
    }
    bool on_double(double, string_view, error_code& ec) { return scalar(ec); }
    bool on_bool(bool, error_code& ec) { return scalar(ec); }
    bool on_null(error_code& ec) { return scalar(ec); }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }

private:
    enum class Key { other, id, dest, bytes, cmd };
    static constexpr std::size_t longestKey = 5;

    int depth = 0;          // of the value being read; the top-level object's members are at 1
    Key key = Key::other;   // the key of the top-level member being read
    bool inBytes = false;   // reading the elements of "bytes"
    std::string keyText;    // the start of a top-level key
    std::string text;       // the "dest" or "cmd" text so far
    std::string spare;      // the memory of the last "dest", for the next

    void dropDest() {
        if (!request.dest) return;
        spare = std::move(*request.dest);
        request.dest.reset();
    }

    std::size_t room() const { return longestKey + 1 - std::min(keyText.size(), longestKey + 1); }

    // Only as much of a "cmd" text as tells "ports" from every other text.
    void command(string_view part) {
        text.append(part.data(), std::min(part.size(), 6 - std::min<std::size_t>(text.size(), 6)));
    }

    static Key keyNamed(std::string_view k) {
        if (k == "id") return Key::id;
        if (k == "dest") return Key::dest;
        if (k == "bytes") return Key::bytes;
        if (k == "cmd") return Key::cmd;
        return Key::other;
    }

    static bool notAnObject(error_code& ec) {
        ec = boost::json::error::syntax;  // any error: the line is dropped
        return false;
    }

    // A value that is not what its key asks for.
    void other() {
        if (depth == 2 && inBytes) {
            request.bytes.integers = false;
            ++request.bytes.count;
            return;
        }
        if (depth != 1) return;
        switch (key) {
            case Key::id: request.id.reset(); break;
            case Key::dest: dropDest(); break;
            case Key::bytes: request.bytes.integers = false, request.bytes.count = 0; break;
            case Key::cmd: request.ports = false; break;
            case Key::other: break;
        }
    }

    bool scalar(error_code& ec) {
        if (depth == 0) return notAnObject(ec);
        other();
        return true;
    }

    bool integer(std::int64_t v, error_code& ec) {
        if (depth == 0) return notAnObject(ec);
        if (depth == 2 && inBytes) {
            auto& bytes = request.bytes;
            if (bytes.count < maxBytes) bytes.first[bytes.count] = static_cast<std::uint8_t>(v);
            ++bytes.count;
        } else if (depth == 1 && key == Key::id) {
            request.id = v;
        } else {
            other();
        }
        return true;
    }

    bool container(error_code&) {
        other();
        ++depth;
        return true;
    }
    bool end() {
        --depth;
        return true;
    }
};

boost::json::parse_options options() {
    boost::json::parse_options o;
    o.max_depth = maxDepth;
    return o;
}

// Parses the whole line; false when it is not one JSON object.
bool parse(boost::json::basic_parser<Reading>& parser, std::string_view line, error_code& ec) {
    std::size_t used = parser.write_some(false, line.data(), line.size(), ec);
    return !ec && used == line.size();
}

// The line with every exponent of more than nine digits written as nine
// nines. Either way the number has an exponent, so it is not an integer and
// nothing reads its value; the parser cannot take exponents that long.
std::string shortExponents(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    bool inText = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        out += c;
        if (inText) {
            if (c == '\\' && i + 1 < line.size()) out += line[++i];
            else if (c == '"') inText = false;
            continue;
        }
        if (c == '"') inText = true;
        if ((c != 'e' && c != 'E') || i == 0 || line[i - 1] < '0' || line[i - 1] > '9') continue;
        std::size_t j = i + 1;
        if (j < line.size() && (line[j] == '+' || line[j] == '-')) out += line[j++];
        std::size_t digits = j;
        while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
        if (digits - j > 9) out += "999999999";
        else out.append(line.data() + j, digits - j);
        i = digits - 1;
    }
    return out;
}

}  // namespace

bool accept(std::string_view line, Request& into) {
    // Nearly every request a host sends needs no parser; lines of any other
    // shape, and one whose name finds no memory, go on to it.
    try {
        if (readPlain(line, into)) return true;
    } catch (const std::bad_alloc&) {
    }
    // A byte order mark may open a line, once.
    if (line.size() >= 3 && std::memcmp(line.data(), "\xef\xbb\xbf", 3) == 0) line.remove_prefix(3);
    // One parser for every line a thread reads, so that its stack is made once.
    thread_local boost::json::basic_parser<Reading> parser(options());
    Request& read = parser.handler().request;
    auto start = [] {
        parser.reset();
        parser.handler().clear();
    };
    // Only what was read is copied; the texts trade places, so that neither
    // side allocates for the next line.
    auto give = [&] {
        into.ports = read.ports;
        into.id = read.id;
        std::swap(into.dest, read.dest);
        into.bytes.integers = read.bytes.integers;
        into.bytes.count = read.bytes.count;
        std::memcpy(into.bytes.first.data(), read.bytes.first.data(), std::min(read.bytes.count, maxBytes));
        return true;
    };
    // Whatever the outcome, a long text of this line is not kept past it.
    struct Done {
        ~Done() { parser.handler().clear(); }
    } done;
    try {
        error_code ec;
        start();
        if (parse(parser, line, ec)) return give();
        if (ec != boost::json::error::exponent_overflow) return false;
        std::string shortened = shortExponents(line);
        start();
        if (parse(parser, shortened, ec)) return give();
        return false;
    } catch (const std::bad_alloc&) {
        if (!read.id) return false;
        into = Request{};
        into.id = read.id;
        return true;
    }
}

std::optional<Request> accept(std::string_view line) {
    std::optional<Request> request(std::in_place);
    if (!accept(line, *request)) request.reset();
    return request;
}

// libFuzzer over the input side: arbitrary bytes, split into lines by the
// reader's own splitter, through acceptance, dispatch, the send request and
// the ports report, over a fake MIDI world with awkward destinations. Each
// input line must get what it is owed and every output line must be one of
// the bridge's message shapes; any breach aborts with the offending lines.

#include <sys/mman.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/dispatch.h"
#include "app/loop.h"
#include "app/reader.h"
#include "midi/fake.h"
#include "midi/report.h"
#include "midi/state.h"
#include "protocol/accept.h"
#include "protocol/plain.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace {

int input = -1;   // the fuzz input, read back by the splitter
int output = -1;  // standard output, redirected here
using boost::json::object;
using boost::json::value;

value expectedReport;
std::vector<std::pair<midi::Ref, std::string>> listed;  // what the report lists, by reference
std::string line;  // the input line being checked, for failure messages

// Bytes as a quoted text with everything but printable ASCII escaped.
std::string shown(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char hex[8];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') out += static_cast<char>(c);
        else std::snprintf(hex, sizeof hex, "\\x%02x", c), out += hex;
    }
    return out + "\"";
}

[[noreturn]] void fail(const std::string& what, const std::string& written) {
    std::fprintf(stderr, "%s\n  input line: %s\n  output: %s\n", what.c_str(), shown(line).c_str(),
                 shown(written).c_str());
    std::abort();
}

void check(bool ok, const std::string& what, const std::string& written) {
    if (!ok) fail(what, written);
}

std::set<std::string> keys(const object& o) {
    std::set<std::string> out;
    for (const auto& member : o) out.insert(std::string(member.key()));
    return out;
}

bool int64(const value& v) {
    return v.is_int64() ||
           (v.is_uint64() && v.get_uint64() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
}

std::int64_t int64Of(const value& v) { return v.is_int64() ? v.get_int64() : static_cast<std::int64_t>(v.get_uint64()); }

bool int32(const value& v) {
    if (!int64(v)) return false;
    auto i = int64Of(v);
    return i >= std::numeric_limits<std::int32_t>::min() && i <= std::numeric_limits<std::int32_t>::max();
}

// The line as one JSON value, by the library's own reader; none when it is not
// one; unknown when the reader cannot take one of its numbers at all.
enum class Parsed { object, other, unknown };
Parsed parsed(std::string_view text, value& out) {
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
    boost::json::parse_options options;
    options.max_depth = maxDepth;
    boost::json::error_code ec;
    out = boost::json::parse(text, ec, {}, options);
    if (ec == boost::json::error::exponent_overflow) return Parsed::unknown;
    return !ec && out.is_object() ? Parsed::object : Parsed::other;
}

std::string textOf(const value& v) { return std::string(v.get_string()); }

// One of the three things the bridge ever writes.
enum class Shape { report, reply, failure };

Shape shapeOf(const std::string& text) {
    check(text.find('\n') == std::string::npos && text.find('\r') == std::string::npos, "a line break inside a line",
          text);
    value v;
    check(parsed(text, v) == Parsed::object, "not one JSON object", text);
    const object& m = v.get_object();
    auto k = keys(m);
    if (k == std::set<std::string>{"ports"}) {
        check(m.at("ports").is_array(), "ports is not an array", text);
        for (const auto& p : m.at("ports").get_array())
            check(p.is_object() && keys(p.get_object()) == std::set<std::string>{"name", "uid"} &&
                      p.at("name").is_string() && int32(p.at("uid")),
                  "a port is not exactly a text name and a 32-bit uid", text);
        return Shape::report;
    }
    if (k == std::set<std::string>{"id", "ok"} || k == std::set<std::string>{"id", "ok", "error"}) {
        check(int64(m.at("id")) && m.at("ok").is_bool(), "id or ok of the wrong type", text);
        check(m.at("ok").get_bool() == !m.contains("error"), "error present iff ok is false", text);
        check(!m.contains("error") || m.at("error").is_string(), "error is not a text", text);
        return Shape::reply;
    }
    check(k == std::set<std::string>{"error"} && m.at("error").is_string() &&
              textOf(m.at("error")).rfind("MIDI unavailable (", 0) == 0,
          "not a message the bridge writes", text);
    return Shape::failure;
}

std::string writtenSince(off_t from) {
    off_t end = ::lseek(output, 0, SEEK_CUR);
    std::string text(static_cast<std::size_t>(end - from), '\0');
    if (::pread(output, text.data(), text.size(), from) != static_cast<ssize_t>(text.size())) std::abort();
    return text;
}

std::vector<std::string> splitOutput(const std::string& written) {
    check(written.empty() || written.back() == '\n', "output does not end with a line feed", written);
    std::vector<std::string> out;
    for (std::size_t start = 0; start < written.size();) {
        std::size_t nl = written.find('\n', start);
        out.push_back(written.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

std::string nfc(const std::string& text) {
    auto* out = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(text.c_str()));
    if (!out) std::abort();  // accepted texts and the world's names are valid UTF-8
    std::string result(reinterpret_cast<char*>(out));
    std::free(out);
    return result;
}

// What a send request must be for the bridge to try it, read from the rules
// rather than from the bridge's helpers.
bool wellFormed(const object& request) {
    auto* dest = request.if_contains("dest");
    auto* bytes = request.if_contains("bytes");
    if (!dest || !dest->is_string()) return false;
    if (!bytes || !bytes->is_array() || bytes->get_array().empty() || bytes->get_array().size() > 256) return false;
    for (const auto& b : bytes->get_array())
        if (!int64(b)) return false;
    return true;
}

std::string errorOf(const object& reply) { return reply.contains("error") ? textOf(reply.at("error")) : ""; }

void expectReply(const object& request, const std::string& written, std::size_t sentBefore) {
    const auto& w = fake::world();
    object reply = boost::json::parse(written).get_object();
    auto* id = request.if_contains("id");
    std::int64_t wantId = id && int64(*id) ? int64Of(*id) : 0;
    check(int64Of(reply.at("id")) == wantId, "the reply does not carry the request's id", written);
    std::size_t sent = w.sent.size() - sentBefore;
    if (!wellFormed(request)) {
        check(errorOf(reply) == "bad request" && sent == 0, "a malformed request was not a bad request", written);
        return;
    }
    std::string dest = textOf(request.at("dest"));
    check(sent <= 1, "more than one send for one request", written);
    midi::Ref target = 0;  // the first listed under that name, byte for byte or in NFC
    std::string destNfc = nfc(dest);
    for (const auto& [ref, name] : listed)
        if (name == dest || nfc(name) == destNfc) {
            target = ref;
            break;
        }
    check((sent == 1) == (target != 0), "a send to a name not listed, or none to one listed", written);
    if (sent == 1) {
        check(w.sent.back().endpoint == target, "the send went to another destination", written);
        std::vector<std::uint8_t> bytes;
        for (const auto& b : request.at("bytes").get_array()) bytes.push_back(static_cast<std::uint8_t>(int64Of(b)));
        const auto& s = w.sent.back();
        check(s.packets == std::vector<std::vector<std::uint8_t>>{bytes}, "the bytes sent are not the request's",
              written);
        midi::Status status = 0;
        for (const auto& e : w.endpoints)
            if (e.ref == s.endpoint) status = e.sendStatus;
        std::string want = status == 0 ? "" : "send failed (" + std::to_string(status) + ")";
        check(errorOf(reply) == want, "the reply does not say what the send returned", written);
        return;
    }
    check(errorOf(reply) == dest + " is not connected", "nothing sent, yet not a not-connected reply", written);
}

bool same(const Request& a, const Request& b) {
    auto kept = std::min(a.bytes.count, maxBytes);
    return a.ports == b.ports && a.id == b.id && a.dest == b.dest && a.bytes.integers == b.bytes.integers &&
           a.bytes.count == b.bytes.count && std::equal(a.bytes.first.begin(), a.bytes.first.begin() + kept, b.bytes.first.begin());
}

// A line the plain scan takes reads the same to the parser, which never sees
// it: the scan takes no white space, so with a space after the brace it is
// the parser's.
void checkPlainScan(std::string_view text) {
    Request scanned;
    if (!readPlain(text, scanned)) return;
    auto parsed = accept("{ " + std::string(text.substr(1)));
    check(parsed && same(*parsed, scanned), "the plain scan reads a line otherwise than the parser", "");
}

void takeLine(std::string_view text) {
    checkPlainScan(text);
    line = text;
    const auto& w = fake::world();
    std::size_t sentBefore = w.sent.size();
    off_t before = ::lseek(output, 0, SEEK_CUR);
    auto request = accept(text);
    if (request) dispatch(*request);
    writeOutput();
    std::string written = writtenSince(before);
    auto lines = splitOutput(written);
    check(lines.size() <= 1, "more than one output line for one input line", written);
    for (const auto& l : lines) shapeOf(l);
    value v;
    Parsed p = parsed(text, v);
    if (p == Parsed::unknown) return;
    check(request.has_value() == (p == Parsed::object), "accepted what is not one JSON object, or the reverse", written);
    if (!request) return check(lines.empty(), "a dropped line was answered", written);
    const object& o = v.get_object();
    auto* cmd = o.if_contains("cmd");
    if (cmd && cmd->is_string() && cmd->get_string() == "ports") {
        check(lines.size() == 1 && boost::json::parse(lines[0]) == expectedReport, "the ports command got no true report",
              written);
        return;
    }
    check(lines.size() == 1 && shapeOf(lines[0]) == Shape::reply, "a request without exactly one reply", written);
    expectReply(o, lines[0], sentBefore);
}

// Destinations a host would meet, and some it would rather not.
void script() {
    fake::reset();
    auto& w = fake::world();
    fake::Endpoint offline = fake::named(5, "Gone", 5);
    offline.offline = 1;
    fake::Endpoint nameOnly;
    nameOnly.ref = 6;
    nameOnly.name = "Named only";
    nameOnly.uid = -1;
    fake::Endpoint failedDisplay = fake::named(7, "Hidden", 7);
    failedDisplay.displayNameStatus = -5;
    failedDisplay.name = "Shown";
    fake::Endpoint nameless;
    nameless.ref = 8;
    fake::Endpoint full = fake::named(9, "Full", 9);
    full.sendStatus = -11;
    fake::Endpoint refusing = fake::named(10, "Ω Refuses", 10);
    refusing.sendStatus = -22;
    w.endpoints = {
        fake::named(1, "Synth", 7),
        fake::named(2, "Café", std::numeric_limits<std::int32_t>::min()),
        fake::named(3, "Cafe\u0301", std::numeric_limits<std::int32_t>::max()),
        fake::named(4, "", 0),
        offline,
        nameOnly,
        failedDisplay,
        nameless,
        full,
        refusing,
        fake::named(11, "Line\nbreak \"quoted\" \\ \t\x01\x1f\x7f", 11),
        fake::named(12, "\u2028\u2029 \xf0\x9f\x8e\xb9", 12),
        fake::named(13, "Twin", 13),
        fake::named(14, "Twin", 14),
        fake::named(15, std::string(300, 'n'), 15),
    };
    boost::json::array ports;
    for (std::size_t i = 0; i < w.endpoints.size(); ++i) {
        const auto& e = w.endpoints[i];
        if (*e.offline != 0) continue;
        std::string name = e.displayName && e.displayNameStatus == 0 ? *e.displayName
                           : e.name                                  ? *e.name
                                                                     : "MIDI " + std::to_string(i + 1);
        ports.push_back(object{{"name", name}, {"uid", *e.uid}});
        listed.emplace_back(e.ref, name);
    }
    expectedReport = object{{"ports", std::move(ports)}};
    port = w.portRef;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input = ::memfd_create("input", 0);
    output = ::memfd_create("output", 0);
    if (input < 0 || output < 0 || ::dup2(output, STDOUT_FILENO) < 0) std::abort();
    script();
    // Setup changes come through the service's handler, as in the program.
    midi::Ref client = 0;
    midi::clientCreate("fuzz", &client, notificationHandler(post));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The world's record of calls and sends would otherwise grow run after run.
    fake::world().calls.clear();
    fake::world().sent.clear();
    if (::ftruncate(input, 0) != 0 || ::pwrite(input, data, size, 0) != static_cast<ssize_t>(size) ||
        ::lseek(input, 0, SEEK_SET) != 0 || ::ftruncate(output, 0) != 0 || ::lseek(output, 0, SEEK_SET) != 0)
        std::abort();
    // Read as the loop reads, in pieces, so that lines span them.
    Lines lines;
    char piece[4096];
    for (ssize_t n; (n = ::read(input, piece, sizeof piece)) > 0;) split(lines, {piece, static_cast<std::size_t>(n)}, takeLine);
    end(lines, takeLine);
    // A setup change after the input: one report, of the same destinations.
    line = "(setup changed)";
    off_t before = ::lseek(output, 0, SEEK_CUR);
    fake::notify(1);
    midi::handleEvents();
    runPosted();
    writeOutput();
    std::string written = writtenSince(before);
    check(written == boost::json::serialize(expectedReport) + "\n", "a setup change did not give one true report", written);
    return 0;
}

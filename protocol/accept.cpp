#include "protocol/accept.h"

namespace {

using Dom = nlohmann::detail::json_sax_dom_parser<Json>;

// Builds the value like the library's own parser, but gives up past maxDepth
// so that a hostile line cannot exhaust the stack or memory on nesting.
struct Bounded {
    Dom dom;
    int depth = 0;

    explicit Bounded(Json& out) : dom(out, false) {}

    bool null() { return dom.null(); }
    bool boolean(bool v) { return dom.boolean(v); }
    bool number_integer(Json::number_integer_t v) { return dom.number_integer(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return dom.number_unsigned(v); }
    bool number_float(Json::number_float_t v, const Json::string_t& s) { return dom.number_float(v, s); }
    bool string(Json::string_t& v) { return dom.string(v); }
    bool binary(Json::binary_t& v) { return dom.binary(v); }
    bool start_object(std::size_t n) { return ++depth <= maxDepth && dom.start_object(n); }
    bool key(Json::string_t& v) { return dom.key(v); }
    bool end_object() { --depth; return dom.end_object(); }
    bool start_array(std::size_t n) { return ++depth <= maxDepth && dom.start_array(n); }
    bool end_array() { --depth; return dom.end_array(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

}  // namespace

std::optional<Json> accept(std::string_view line) {
    // The parser reads a NUL as the end of its input, which would let the
    // bytes after one through unseen.
    if (line.find('\0') != std::string_view::npos) return std::nullopt;
    Json value;
    Bounded sax(value);
    bool ok = Json::sax_parse(line.begin(), line.end(), &sax,
                              nlohmann::detail::input_format_t::json, true);
    if (!ok || !value.is_object()) return std::nullopt;
    return value;
}

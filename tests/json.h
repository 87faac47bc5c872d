#pragma once
// The tests' own short hands for writing and reading JSON.

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <string>
#include <string_view>

#include "protocol/accept.h"

inline std::string dump(const Json& v) { return boost::json::serialize(v); }
inline Json parse(std::string_view text) { return boost::json::parse(text); }
inline bool isJson(std::string_view text) {
    boost::json::error_code ec;
    boost::json::parse(text, ec);
    return !ec;
}

// The request a line carries; the line must be accepted.
inline Request accepted(std::string_view line) {
    auto r = accept(line);
    if (!r) throw std::invalid_argument("not accepted: " + std::string(line));
    return *r;
}

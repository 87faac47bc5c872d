#pragma once
// The shapes of the messages on both streams.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/emit.h"

// One destination as a ports report lists it.
struct PortEntry {
    std::string_view name;
    std::int32_t uid;
};

// Output messages.
Json portsReport(const std::vector<PortEntry>& ports);
Json sendReply(std::int64_t id, const std::string* error);
Json failureLine(std::int32_t status);

// The reply to a send that went out, as its line with the line feed: the one
// message of every request's path, of one fixed shape, so made by hand
// rather than built as an object and serialised.
struct OkLine {
    char text[40];
    std::size_t size;
    std::string_view line() const { return {text, size}; }
};
OkLine okLine(std::int64_t id);

// A send request carries at most this many bytes.
inline constexpr std::size_t maxBytes = 256;

// What is read of one accepted input object: each value the bridge asks for,
// as its one type. A value of any other type counts as absent (for "id" and
// "cmd") or invalid (for "dest" and "bytes"). An integer is a number written
// as a whole number in the signed 64-bit range; of a repeated key, the last
// value counts.
struct Request {
    bool ports = false;               // "cmd" is the text "ports"
    std::optional<std::int64_t> id;   // "id"
    std::optional<std::string> dest;  // "dest"
    struct Bytes {
        bool integers = false;  // "bytes" is an array every element of which is an integer
        std::size_t count = 0;  // how many elements it has
        // The first maxBytes of them, each as its low eight bits (the integer
        // modulo 256); the rest are counted, not kept.
        std::array<std::uint8_t, maxBytes> first;
    } bytes;
};

#pragma once
// Well-formed UTF-8, one rule for the lines the bridge writes and for the
// port names it gives: no stray or missing continuation byte, no overlong
// form, no surrogate, nothing above U+10FFFF.

#include <cstddef>
#include <string_view>

// What starts at text[at], at < text.size(): a well-formed character of size
// bytes or, when not wellFormed, the ill-formed part to replace as one (its
// lead and the continuation bytes that fit it, up to the byte that broke it).
struct Utf8Sequence {
    std::size_t size;
    bool wellFormed;
};
Utf8Sequence utf8Sequence(std::string_view text, std::size_t at);

// True when the whole of text is well-formed.
bool wellFormedUtf8(std::string_view text);

#include "protocol/utf8.h"

namespace {

// Bytes a sequence led by b needs after it, and the range its second byte
// must fall in (which rules out overlong forms, surrogates and values past
// U+10FFFF); need 0 for a byte that cannot lead.
struct Lead {
    std::size_t need;
    unsigned char low;
    unsigned char high;
};

Lead lead(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
    if (b == 0xE0) return {2, 0xA0, 0xBF};
    if (b == 0xED) return {2, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {2, 0x80, 0xBF};
    if (b == 0xF0) return {3, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
    if (b == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

Utf8Sequence utf8Sequence(std::string_view text, std::size_t at) {
    auto b = static_cast<unsigned char>(text[at]);
    if (b < 0x80) return {1, true};
    Lead l = lead(b);
    std::size_t got = 0;
    for (std::size_t j = at + 1; got < l.need && j < text.size(); ++j, ++got) {
        auto c = static_cast<unsigned char>(text[j]);
        if (c < (got == 0 ? l.low : 0x80) || c > (got == 0 ? l.high : 0xBF)) break;
    }
    return {1 + got, l.need > 0 && got == l.need};
}

bool wellFormedUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        Utf8Sequence s = utf8Sequence(text, i);
        if (!s.wellFormed) return false;
        i += s.size;
    }
    return true;
}

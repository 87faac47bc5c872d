#include "midi/alsa/portnames.h"

#include <algorithm>
#include <charconv>
#include <tuple>
#include <vector>

#include "protocol/utf8.h"

namespace midi::ports {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

std::uint32_t fnvNumber(std::uint32_t hash, unsigned long value) {
    char text[24];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return fnv1a(std::string_view(text, static_cast<std::size_t>(end - text)), hash);
}

constexpr std::string_view nul("\0", 1);

std::uint32_t keyHash(const Key& key, unsigned long ordinal) {
    std::uint32_t h = fnv1a(key.card);
    h = fnv1a(nul, h);
    h = fnv1a(key.client, h);
    h = fnv1a(nul, h);
    h = fnv1a(key.port, h);
    h = fnv1a(nul, h);
    h = fnvNumber(h, static_cast<unsigned long>(key.number));
    h = fnv1a(nul, h);
    return fnvNumber(h, ordinal);
}

auto tie(const Key& k) { return std::tie(k.card, k.client, k.port, k.number); }

}  // namespace

Listing listing(int client, int self, unsigned caps, unsigned type) {
    constexpr unsigned writable = capWrite | capSubsWrite;
    constexpr unsigned midi = typeMidiGeneric | typeSynth | typeApplication;
    if (client == 0 || client == self) return Listing::hidden;
    if ((caps & writable) != writable || (caps & capNoExport) || !(type & midi))
        return Listing::hidden;
    return (caps & capInactive) ? Listing::offline : Listing::online;
}

std::string validUtf8(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        Utf8Sequence s = utf8Sequence(raw, i);
        if (s.wellFormed)
            out.append(raw.substr(i, s.size));
        else
            out += replacement;
        i += s.size;
    }
    return out;
}

std::string displayName(std::string_view client, std::string_view port) {
    if (port.empty()) return validUtf8(client);
    if (port.starts_with(client)) return validUtf8(port);
    return validUtf8(client) + ": " + validUtf8(port);
}

std::string cardKey(std::string_view id, std::string_view longName) {
    auto at = longName.rfind(" at usb-");
    if (at == std::string_view::npos) return std::string(id);
    auto where = longName.substr(at + std::string_view(" at ").size());
    return std::string(where.substr(0, where.find(',')));
}

std::uint32_t fnv1a(std::string_view bytes, std::uint32_t hash) {
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

void uniqueIds(const Key* keys, std::size_t count, std::int32_t* ids) {
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [keys](std::size_t a, std::size_t b) { return tie(keys[a]) < tie(keys[b]); });

    std::vector<std::uint32_t> taken;
    taken.reserve(count);
    unsigned long ordinal = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const Key& key = keys[order[n]];
        ordinal = (n > 0 && tie(keys[order[n - 1]]) == tie(key)) ? ordinal + 1 : 0;
        std::uint32_t base = keyHash(key, ordinal);
        std::uint32_t id = base;
        for (unsigned long salt = 1;
             id == 0 || std::find(taken.begin(), taken.end(), id) != taken.end(); ++salt)
            id = fnvNumber(fnv1a(nul, base), salt);
        taken.push_back(id);
        ids[order[n]] = static_cast<std::int32_t>(id);
    }
}

}  // namespace midi::ports

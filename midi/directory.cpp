#include "midi/directory.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>

std::optional<std::string> prop(midi::Ref object, midi::Property key) {
    std::optional<std::string> text;
    if (midi::stringProperty(object, key, &text) != 0) return std::nullopt;
    return text;
}

// An integer property; a read that writes nothing leaves 0.
static std::int32_t integer(midi::Ref object, midi::Property key) {
    std::int32_t value = 0;
    midi::integerProperty(object, key, &value);
    return value;
}

std::vector<Destination> destinations() {
    std::vector<Destination> directory;
    // What the service has not been told of is asked for afresh first.
    midi::rescan();
    std::size_t count = midi::destinationCount();
    if (count == 0) return directory;
    directory.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        midi::Ref ref = midi::destination(i);
        if (ref == 0) continue;
        if (integer(ref, midi::Property::offline) != 0) continue;
        std::int32_t uid = integer(ref, midi::Property::uniqueId);
        auto name = prop(ref, midi::Property::displayName);
        if (!name) name = prop(ref, midi::Property::name);
        if (!name) name = "MIDI " + std::to_string(i + 1);
        directory.push_back({ref, std::move(*name), uid});
    }
    return directory;
}

namespace {

bool ascii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

// The text in NFC, so that canonically equivalent texts compare equal; the
// text itself when it is not valid UTF-8 (it then equals only itself, as no
// NFC text is invalid). Every byte counts, a NUL included.
std::string canonical(std::string_view text) {
    if (ascii(text)) return std::string(text);
    utf8proc_uint8_t* out = nullptr;
    auto n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                          static_cast<utf8proc_ssize_t>(text.size()), &out,
                          static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (n < 0) return std::string(text);
    std::string key(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
    std::free(out);
    return key;
}

}  // namespace

const Directory& current() {
    static Directory directory;
    std::uint64_t generation = midi::setupGeneration();
    if (generation == directory.generation && generation != 0) return directory;
    directory.generation = generation;
    directory.list = destinations();
    directory.first.clear();
    directory.longestKey = 0;
    directory.lastFound = nullptr;
    for (std::size_t i = 0; i < directory.list.size(); ++i) {
        auto [at, added] = directory.first.try_emplace(canonical(directory.list[i].name), i);
        if (added) directory.longestKey = std::max(directory.longestKey, at->first.size());
    }
    return directory;
}

// Composing makes a text at most three times shorter in UTF-8 (three jamo
// into one syllable), so a name longer than this many times the longest
// listed one is equivalent to none of them. Normalising takes time that
// grows with the square of a run of combining marks; such a name is never
// normalised.
constexpr std::size_t mostShrink = 4;

const Destination* lookup(const Directory& directory, const std::string& name) {
    if (directory.lastFound && name == directory.lastName) return directory.lastFound;
    if (name.size() > mostShrink * directory.longestKey) return nullptr;
    auto it = ascii(name) ? directory.first.find(std::string_view(name)) : directory.first.find(canonical(name));
    if (it == directory.first.end()) return nullptr;
    directory.lastName = name;
    return directory.lastFound = &directory.list[it->second];
}

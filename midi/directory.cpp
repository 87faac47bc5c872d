#include "midi/directory.h"

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

#pragma once
// The destination directory: what is online now, built afresh on every use.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "midi/service.h"

struct Destination {
    midi::Ref ref;
    std::string name;
    std::int32_t uid;
};

// The online destinations in the service's index order; never fails.
std::vector<Destination> destinations();

// A string property, or none when the read fails or gives no text.
std::optional<std::string> prop(midi::Ref object, midi::Property key);

#pragma once
// The destination directory: what is online now.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "midi/service.h"

struct Destination {
    midi::Ref ref;
    std::string name;
    std::int32_t uid;
};

// The online destinations in the service's index order, built afresh; never
// fails.
std::vector<Destination> destinations();

// A string property, or none when the read fails or gives no text.
std::optional<std::string> prop(midi::Ref object, midi::Property key);

// A directory with its names indexed, as of one setup generation.
struct Directory {
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::uint64_t generation = 0;
    std::vector<Destination> list;
    // The canonical form of each name, to the first entry that has it.
    std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> first;
    std::size_t longestKey = 0;  // in bytes
    // The name last found and its entry: a run of requests to one
    // destination looks its name up once.
    mutable std::string lastName;
    mutable const Destination* lastFound = nullptr;
};

// The directory of the setup as it stands now: the last one while the
// service's setup generation stays the same, else built afresh. The
// reference stays valid; its contents change with the next build.
const Directory& current();

// The first entry named name, byte for byte or under canonical equivalence;
// null when there is none.
const Destination* lookup(const Directory& directory, const std::string& name);

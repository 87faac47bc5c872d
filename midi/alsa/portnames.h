#pragma once
// Which sequencer ports the bridge lists, and the names and ids it gives
// them. Pure logic: the ALSA backend feeds it what the sequencer reports.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace midi::ports {

// Capability and type bits as the sequencer numbers them (sequencer.cpp checks
// them against alsa-lib's own names).
inline constexpr unsigned capWrite = 1u << 1;
inline constexpr unsigned capSubsWrite = 1u << 6;
inline constexpr unsigned capNoExport = 1u << 7;
inline constexpr unsigned capInactive = 1u << 8;
inline constexpr unsigned typeMidiGeneric = 1u << 1;
inline constexpr unsigned typeSynth = 1u << 10;
inline constexpr unsigned typeApplication = 1u << 20;

enum class Listing { hidden, online, offline };

// How port (caps, type) of client shows up for the bridge whose client is self.
Listing listing(int client, int self, unsigned caps, unsigned type);

// raw with each ill-formed UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view raw);

// The port's name, after "<client>: " unless it already starts with the
// client's name (the client's name alone for a nameless port); valid UTF-8.
std::string displayName(std::string_view client, std::string_view port);

// What a sound card puts in the ids of its ports. A USB card's id ("USB",
// "USB_1", ...) goes to whichever identical device came up first, and to a
// new one while the card of a device just unplugged is still going, so a USB
// card gives where it is plugged in, which its long name ends with ("... at
// usb-0000:00:14.0-3, high speed" gives "usb-0000:00:14.0-3"). Every other
// card gives its id. Ids have no '-', so the two cannot meet.
std::string cardKey(std::string_view id, std::string_view longName);

// What identifies a port from run to run. card is the card's key for a
// kernel client of a sound card, else empty.
struct Key {
    std::string_view card;
    std::string_view client;
    std::string_view port;
    int number;
};

inline constexpr std::uint32_t fnvOffset = 2166136261u;

// FNV-1a, 32 bits, continuing from hash.
std::uint32_t fnv1a(std::string_view bytes, std::uint32_t hash = fnvOffset);

// ids[i] for keys[i], keys in address order. Each id is FNV-1a 32 of
//   card NUL client NUL port NUL number NUL ordinal
// (numbers in decimal; ordinal counts earlier ports, in address order, with
// the same key). An id that is 0 or already taken is replaced by the hash of
//   card NUL client NUL port NUL number NUL ordinal NUL salt
// for salt = 1, 2, ... until one is free; ports claim ids in key order, so
// the outcome does not depend on client numbers.
void uniqueIds(const Key* keys, std::size_t count, std::int32_t* ids);

}  // namespace midi::ports

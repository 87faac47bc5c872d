#pragma once
// The sequencer's clients and ports as the bridge last learnt them, and the
// entries it lists, derived from them. Plain data, changed by one small
// function per announcement: the backend asks the sequencer about the
// address an announcement names and hands the answer in here, so a test can
// drive the mirror with a list of events and no sequencer.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "midi/service.h"

namespace midi::alsa {

// What the sequencer says of a client; card is the sound card of a kernel
// client, else -1.
struct ClientInfo {
    int client;
    std::string name;
    int card;
};

struct PortInfo {
    int client;
    int port;
    std::string name;
    unsigned caps;
    unsigned type;
};

struct Port {
    std::string name;
    unsigned caps;
    unsigned type;
    // New for every port that starts at an address, so that nothing kept
    // for a port (an open system exclusive) passes to the next one there.
    std::uint64_t serial;

    bool operator==(const Port&) const = default;
};

struct Client {
    std::string name;
    int card;
    // What the card puts in its ports' ids (ports::cardKey): read afresh for
    // every port the card's client starts, so it never comes from an earlier
    // device at the same numbers. Unknown until a read succeeds, and while it
    // is, the client's ports are not listed: an id is never made without it.
    std::optional<std::string> cardKey;
    int cardMisses = 0;  // reads that failed since it became unknown
    std::map<int, Port> ports;
};

struct Mirror {
    int self = -1;  // our own client, never mirrored
    std::map<int, Client> clients;
    // Changes with every change to what derive gives.
    std::uint64_t generation = 1;
    std::uint64_t serials = 0;
};

// Each returns whether the mirror changed. A start replaces whatever the
// mirror held at the address; a change keeps the ports and serials there.
bool clientStart(Mirror& m, const ClientInfo& info);
bool clientChange(Mirror& m, const ClientInfo& info);
bool clientExit(Mirror& m, int client);
bool portStart(Mirror& m, const PortInfo& info);
bool portChange(Mirror& m, const PortInfo& info);
bool portExit(Mirror& m, int client, int port);

// Makes the mirror what a full enumeration found. A port keeps its serial
// when its client's name and its own are as before.
bool reset(Mirror& m, const std::vector<ClientInfo>& clients, const std::vector<PortInfo>& ports);

// The reference of a port: its client and port numbers in one.
inline Ref ref(int client, int port) { return static_cast<Ref>(client) << 8 | static_cast<Ref>(port); }

// One port the bridge lists (online or offline), with what identifies it.
struct Entry {
    Ref ref;  // client << 8 | port
    bool offline;
    std::int32_t uid;
    std::string name;     // the port's name as valid UTF-8
    std::string display;  // "client: port"
    std::uint64_t serial;
    std::string clientName;  // as the sequencer gave them
    std::string portName;
    unsigned caps;
    unsigned type;
    int card;  // the client's sound card, -1 for none
};

// The key for a sound card's number (ports::cardKey); none when it cannot be
// read now, as while a card is still being set up or taken down.
using CardKeys = std::function<std::optional<std::string>(int card)>;

// Reads that may fail before a card's ports are listed without its key:
// while hot-plugging, a card's control device and /proc entry come a moment
// after its client, and a desktop may still be granting access to them.
inline constexpr int cardTries = 50;

// Reads every card key still unknown; whether any became known (or was given
// up on after cardTries, and so is ""), which changes what derive gives.
bool readCards(Mirror& m, const CardKeys& cardKey);

// Whether a card's ports wait for its key.
bool cardsUnknown(const Mirror& m);

// The listed ports in address order, after reading the card keys still
// unknown; the ports of a card whose key is unknown are left out.
std::vector<Entry> derive(Mirror& m, const CardKeys& cardKey);

}  // namespace midi::alsa

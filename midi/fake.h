#pragma once
// A scriptable in-process MIDI world behind the service layer, for tests.

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "midi/service.h"

namespace fake {

// One destination. Each read writes its value when it has one and returns
// its status, so a read can fail, write nothing, or do both.
struct Endpoint {
    midi::Ref ref = 0;
    std::optional<std::int32_t> offline = 0;
    midi::Status offlineStatus = 0;
    std::optional<std::int32_t> uid = 0;
    midi::Status uidStatus = 0;
    std::optional<std::string> displayName;
    midi::Status displayNameStatus = 0;
    std::optional<std::string> name;
    midi::Status nameStatus = 0;
    midi::Status sendStatus = 0;
    // The next this many sends to it answer stale, as when the port at its
    // reference changed unannounced.
    int staleSends = 0;
    // The next this many sends to it answer full, as a device's driver with
    // no room for them.
    int fullSends = 0;
};

// A named, online destination with a display name.
Endpoint named(midi::Ref ref, std::string displayName, std::int32_t uid = 0);

struct Sent {
    midi::Ref port;
    midi::Ref endpoint;
    std::vector<std::vector<std::uint8_t>> packets;
};

struct World {
    midi::Status clientStatus = 0;
    midi::Status portStatus = 0;
    midi::Ref clientRef = 0x80;
    midi::Ref portRef = 0x8001;
    std::vector<Endpoint> endpoints;
    // Each destination count sleeps this long, to make work items slow.
    std::chrono::microseconds countDelay{0};
    // Runs inside each destination count, after the count is taken.
    std::function<void(World&)> afterCount;
    // The setup generation to give; unset, every ask gives a new one, as a
    // service that keeps no copy of its setup would.
    std::optional<std::uint64_t> generation;
    // Runs inside each rescan, before its generation is taken.
    std::function<void(World&)> rescanned;
    // What roomWait gives.
    std::chrono::microseconds roomWait{1000};

    // Every call made, in order, e.g. "count", "destination 0",
    // "integer 17 offline", "string 17 displayName", "send 32769 17".
    std::vector<std::string> calls;
    // With it, a send's record also has the bytes of its first packet:
    // "send 32769 17 144 60 100".
    bool traceBytes = false;
    // When set, each call is also written here as one line.
    int traceFd = -1;
    // Off for benchmarks, where keeping the record (calls and sent) would be
    // the cost measured, and its growth the memory.
    bool record = true;
    std::vector<Sent> sent;
    midi::NotifyHandler handler;
};

// The world; lock worldLock() to change it while the bridge runs.
World& world();
std::mutex& worldLock();

// A new world with no destinations and every status 0.
void reset();

// Gives a notification from any thread; the handler gets it on the loop's,
// from handleEvents, as the service delivers its own. Before a handler is
// registered, it is lost.
void notify(std::int32_t id);

}  // namespace fake

#pragma once
// The MIDI service layer: the only door to the platform's MIDI system.
// Each function mirrors one platform operation; one backend file implements
// them all (alsa/ for the program, fake.cpp for the tests).

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace midi {

using Ref = std::uint32_t;    // client, port or endpoint; 0 means none
using Status = std::int32_t;  // 0 means success

// Identifier 1 means the MIDI setup has changed; the size field is never read.
struct Notification {
    std::int32_t id;
    std::uint32_t size;
};
using NotifyHandler = std::function<void(const Notification*)>;

enum class Property { offline, uniqueId, displayName, name };

// Room for one packet of up to 256 bytes, laid out like the platform's
// record so that the whole list is listSize bytes.
#pragma pack(push, 4)
struct Packet {
    std::uint64_t time;
    std::uint16_t length;
    std::uint8_t data[256];
};
struct PacketList {
    std::uint32_t count;
    Packet packet[1];
};
#pragma pack(pop)
inline constexpr std::size_t listSize = 272;
static_assert(sizeof(PacketList) == listSize);

// The handler is called by handleEvents, so on the thread of the caller's
// loop.
Status clientCreate(std::string_view name, Ref* client, NotifyHandler notify);
Status outputPortCreate(Ref client, std::string_view name, Ref* port);

// The service's events, for the caller's loop: the descriptors to watch for
// reading, how long until the service is due without any of them (-1:
// never), and the call to make when one is ready or it is due.
std::size_t eventDescriptors(pollfd* fds, std::size_t room);
int eventTimeout();
void handleEvents();

// After each read of the input, before its requests are carried out: takes
// every change the service has been told of. Each of those requests was
// written before the read, so the setup seen here is current for all of
// them, and a send needs no look of its own until the next read.
void takeChanges();

// A number that changes whenever the destinations may have changed, as of
// the last takeChanges() (or now, before the first); the destinations are
// then as of that moment. Cheap: a send asks it.
std::uint64_t setupGeneration();
// The same, after asking the platform afresh wherever it may not have been
// told of a change (a rename, say).
std::uint64_t rescan();

// The destinations as of the last of the two above; asking changes nothing.
std::size_t destinationCount();
Ref destination(std::size_t index);

Status integerProperty(Ref object, Property key, std::int32_t* out);
Status stringProperty(Ref object, Property key, std::optional<std::string>* out);

Packet* packetListInit(PacketList* list);
// Appends one packet; nullptr when it does not fit in size bytes.
Packet* packetListAdd(PacketList* list, std::size_t size, Packet* cur,
                      std::uint64_t time, std::size_t count,
                      const std::uint8_t* data);

// stale: the endpoint is no longer what the last directory build listed at
// its reference; nothing was sent, and the next build lists what is there.
// full: nothing was sent, as the endpoint's driver has no room for the list
// now: a MIDI device's port is handed no more than its driver's buffer has
// free, as the driver would drop the rest and say nothing. Neither is a
// status of the platform's.
Status sendList(Ref port, Ref endpoint, const PacketList* list);
inline constexpr Status stale = -116;
inline constexpr Status full = -0x10000;  // below every errno

// After sendList returned full: how long until that endpoint's driver is
// likely to have the room it lacked, by how fast it has been taking bytes.
std::chrono::microseconds roomWait();

}  // namespace midi

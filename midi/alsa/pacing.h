#pragma once
// Sends to a MIDI device's port wait for room in its driver's buffer
// (room.h): the port is asked before each send, through its /proc file,
// which stays open while the port does. Ports of anything else are never
// asked. Belongs to the thread that runs the main loop.

#include <chrono>
#include <cstddef>
#include <vector>

#include "midi/alsa/mirror.h"

namespace midi::alsa {

// A device that takes nothing for this long while sends wait for it is
// stuck: they fail rather than wait for ever, behind every reply after
// theirs.
inline constexpr std::chrono::seconds stuckAfter{3};

enum class Fit { yes, no, stuck };

// Whether bytes more fit in the driver's buffer of e's port now; yes for a
// port that is not a device's, or whose output is not open yet (the first
// send opens it, into an empty buffer).
Fit fits(const Entry& e, std::size_t bytes);

// After a no: how long until the room it lacked is likely there, by how fast
// the device has been taking bytes.
std::chrono::microseconds roomWait();

// Closes what was kept for ports that are no longer listed.
void forgetPaces(const std::vector<Entry>& listing);

}  // namespace midi::alsa

#pragma once
// The bridge's one sequencer handle and the mirror of the sequencer's
// clients and ports, kept current from the system's announcements. All of it
// belongs to the thread that runs the main loop.
//
// Announcements reach our input queue during the call that made the change,
// so taking every one waiting before a use makes the mirror exact at that
// use. The loop takes them too when the handle's descriptor is ready, and
// handleEvents turns what changed into setup-changed notifications, at most
// one per noticeGap.
//
// Kernels before 6.5 announce no renames and no capability changes; open
// finds out which kind it runs on. There, a full update enumerates everything
// and a send confirms its target with two direct queries first.

#include <alsa/asoundlib.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

#include "midi/alsa/mirror.h"
#include "midi/service.h"

namespace midi::alsa {

inline constexpr std::chrono::milliseconds noticeGap{50};

// Opens the client, subscribes to the announcements, probes the kernel and
// enumerates once; a negative error when it cannot.
Status open(std::string_view name, NotifyHandler notify);

snd_seq_t* handle();  // null until open succeeds
int self();
bool announcesChanges();

// Takes every announcement waiting: midi::takeChanges, after each read of
// the input.
void takeChanges();

// With full, takes every announcement waiting and enumerates everything;
// without, takes them only before the first takeChanges. Then derives the
// listing anew if anything changed, and gives the mirror's generation.
std::uint64_t update(bool full);

// The listed ports as the last update derived them; the reference lasts
// until the next update.
const std::vector<Entry>& listing();

// The entry of the listing for ref, or null.
const Entry* listed(Ref ref);

// Whether the sequencer still has at e's address the port e lists. Where
// changes are not announced it asks, once per port and read of the input,
// and on a difference enumerates.
bool confirm(const Entry& e);

// For the main loop: the handle's descriptors, how long until a notification
// or a card's read is due (-1: nothing is), and taking what is ready.
std::size_t descriptors(pollfd* fds, std::size_t room);
int timeout();
void handleEvents();

}  // namespace midi::alsa

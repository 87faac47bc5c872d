#pragma once
// The bridge's one sequencer handle and the mirror of the sequencer's
// clients and ports, kept current from the system's announcements.
//
// Announcements reach our input queue during the call that made the change,
// so taking every one waiting before a use makes the mirror exact at that
// use. A watcher thread takes them too while the main thread is idle, and
// turns them into setup-changed notifications: at most one pending until a
// directory build follows it, and at most one per noticeGap.
//
// Kernels before 6.5 announce no renames and no capability changes; open
// finds out which kind it runs on. There, a build enumerates everything and a
// send confirms its target with two direct queries first.

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

#include "midi/alsa/mirror.h"
#include "midi/service.h"

namespace midi::alsa {

inline constexpr std::chrono::milliseconds noticeGap{50};

// Opens the client, subscribes to the announcements, probes the kernel,
// enumerates once and starts the watcher; a negative error when it cannot.
Status open(std::string_view name, NotifyHandler notify);

snd_seq_t* handle();  // null until open succeeds
int self();
bool announcesChanges();

// Takes every announcement waiting (and, with full, enumerates everything);
// the mirror's generation after it.
std::uint64_t update(bool full);

// A directory build: the listed ports as they stand now. Main thread only;
// the reference lasts until the next build.
const std::vector<Entry>& build();

// The entry of the last build for ref, or null.
const Entry* listed(Ref ref);

// Whether the sequencer still has at e's address the port e lists. Where
// changes are not announced it asks, and on a difference enumerates.
bool confirm(const Entry& e);

}  // namespace midi::alsa

#pragma once
// Sequencer events for the messages that midi/alsa/encode.h cuts out.

#include <alsa/asoundlib.h>

#include <cstddef>

#include "midi/alsa/encode.h"

namespace midi::alsa {

// The event for one message; its addresses are the caller's to set.
void fill(snd_seq_event_t* ev, const encode::Message& m);

// What the event takes in the output buffer.
std::size_t eventBytes(const encode::Message& m);

}  // namespace midi::alsa

#pragma once
// Sound cards as the sequencer's kernel clients stand for them.

#include <string>

namespace midi::alsa {

// The card's id ("Device", "Device_1", ...): stable across replugging,
// unlike its number. Empty when neither the control device nor /proc tells it.
std::string cardId(int card);

}  // namespace midi::alsa

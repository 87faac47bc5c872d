#pragma once
// Sound cards as the sequencer's kernel clients stand for them.

#include <optional>
#include <string>

namespace midi::alsa {

// What the card puts in its ports' ids (ports::cardKey), from its control
// device or, where that cannot be opened, /proc/asound/cards; none when
// neither tells it now.
std::optional<std::string> cardKey(int card);

}  // namespace midi::alsa

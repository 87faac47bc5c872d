#pragma once
// The room in a MIDI device's output buffer. The sequencer's MIDI-device
// driver writes each event it is sent into the buffer of the device's raw
// output; an event that does not fit there is dropped, with a line in the
// kernel's log and success for the sender. So such a port is handed only
// what the buffer has free, which the kernel shows, while the output is
// open, in /proc/asound/cardC/midiD:
//
//     Output 0
//       Tx bytes     : 16387
//       Owner PID    : 121
//       Mode         : native
//       Buffer size  : 4096
//       Avail        : 4096
//
// The driver numbers its ports device * 32 + subdevice. Pure logic apart
// from where it is said.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace midi::alsa {

// The driver's port type: a generic MIDI port of real hardware. Virtual
// MIDI cards, Midi Through and programs mark their ports as software; a
// synthesizer's ports say so.
inline constexpr unsigned deviceType = 0x90002;  // MIDI_GENERIC | HARDWARE | PORT

// Whether a port of a client is one of the MIDI-device driver's: only the
// kernel's clients have a card, and only that driver gives its ports
// exactly this type.
inline bool isDevicePort(int card, unsigned type) { return card >= 0 && type == deviceType; }

// The /proc file that shows a device port's output.
std::string roomFile(int card, int port);

struct Room {
    std::size_t avail;  // bytes free in the output buffer
    std::size_t size;   // of the whole buffer
    std::uint64_t tx;   // bytes the device has taken since the output was made
};

// The room of the port's output in the file's text; none when the output is
// not open (the driver opens it only while the port is in use) or the text
// does not say.
std::optional<Room> parseRoom(std::string_view text, int port);

// The bytes a MIDI message takes on its way to the device: the driver sends
// every message with its status byte.
std::size_t wireBytes(std::uint8_t status);

}  // namespace midi::alsa

#pragma once
// Cuts the bytes of outgoing packets into MIDI messages, one sequencer event
// each. Pure logic: events.cpp turns the messages into sequencer events.
//
// Rules: running status holds within a packet, across real-time bytes, until
// a system message. Real-time bytes (F8..FF) may stand anywhere, also inside
// another message, and are messages of their own. System exclusive may span
// packets: every run of its bytes between real-time bytes is one raw piece,
// F0 and F7 included as they come. A packet is refused whole (-EINVAL) for
// data bytes with neither status nor open system exclusive before them, a
// message cut short by a status byte or by the packet's end, a system
// exclusive cut short within the packet, an F7 with no system exclusive open,
// and F4/F5 (undefined, of unknown length). A packet whose first byte other
// than real-time is a status byte ends an earlier packet's system exclusive
// that is still open, unfinished, as on a MIDI cable: what was sent cannot be
// recalled, and refusing would lock the destination out.

#include <cstddef>
#include <cstdint>

namespace midi::encode {

struct Message {
    const std::uint8_t* raw;  // a piece to send as it is (system exclusive,
                              // undefined real-time); nullptr otherwise
    std::uint16_t size;       // bytes in raw or in bytes
    std::uint8_t bytes[3];    // a short message, status first
    bool openAfter;           // a system exclusive is open once this is sent
};

inline constexpr std::size_t capacity = 512;

// The messages of consecutive packets to one destination; raw pieces point
// into the packets, which must outlive the batch.
struct Batch {
    bool open = false;  // a system exclusive is open after the last message
    std::size_t count = 0;
    Message message[capacity];
};

// Appends the messages of one packet: 0, or else batch is left as it was and
// the status is -EINVAL for a packet that cannot be carried, -ENOBUFS when
// batch is full.
std::int32_t add(Batch* batch, const std::uint8_t* data, std::size_t size);

}  // namespace midi::encode

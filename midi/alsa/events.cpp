#include "midi/alsa/events.h"

#include <cstdint>

namespace midi::alsa {

void fill(snd_seq_event_t* ev, const encode::Message& m) {
    if (m.raw) {
        snd_seq_ev_set_sysex(ev, m.size, const_cast<std::uint8_t*>(m.raw));
        return;
    }
    const std::uint8_t status = m.bytes[0];
    const std::uint8_t channel = status & 0x0F;
    const std::uint8_t a = m.bytes[1];
    const std::uint8_t b = m.bytes[2];
    // Note-on with velocity 0 stays a note-on: receivers get the bytes sent.
    switch (status & 0xF0) {
        case 0x80: snd_seq_ev_set_noteoff(ev, channel, a, b); return;
        case 0x90: snd_seq_ev_set_noteon(ev, channel, a, b); return;
        case 0xA0: snd_seq_ev_set_keypress(ev, channel, a, b); return;
        case 0xB0: snd_seq_ev_set_controller(ev, channel, a, b); return;
        case 0xC0: snd_seq_ev_set_pgmchange(ev, channel, a); return;
        case 0xD0: snd_seq_ev_set_chanpress(ev, channel, a); return;
        case 0xE0: snd_seq_ev_set_pitchbend(ev, channel, (a | b << 7) - 8192); return;
        default: break;
    }
    snd_seq_ev_set_fixed(ev);
    switch (status) {
        case 0xF1: ev->type = SND_SEQ_EVENT_QFRAME; ev->data.control.value = a; return;
        case 0xF2: ev->type = SND_SEQ_EVENT_SONGPOS; ev->data.control.value = a | b << 7; return;
        case 0xF3: ev->type = SND_SEQ_EVENT_SONGSEL; ev->data.control.value = a; return;
        case 0xF6: ev->type = SND_SEQ_EVENT_TUNE_REQUEST; return;
        case 0xF8: ev->type = SND_SEQ_EVENT_CLOCK; return;
        case 0xFA: ev->type = SND_SEQ_EVENT_START; return;
        case 0xFB: ev->type = SND_SEQ_EVENT_CONTINUE; return;
        case 0xFC: ev->type = SND_SEQ_EVENT_STOP; return;
        case 0xFE: ev->type = SND_SEQ_EVENT_SENSING; return;
        default: ev->type = SND_SEQ_EVENT_RESET; return;
    }
}

std::size_t eventBytes(const encode::Message& m) {
    return sizeof(snd_seq_event_t) + (m.raw ? m.size : 0);
}

}  // namespace midi::alsa

// The MIDI service on the ALSA sequencer.
//
// Destinations come from the mirror in midi/alsa/sequencer.h, as its last
// update left them. Sending parses the packets by hand (midi/alsa/encode.h)
// rather than with snd_midi_event_encode: that one takes any byte soup, cuts
// system exclusive at its buffer size and cannot refuse a bad packet before
// part of it has gone out.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "midi/alsa/encode.h"
#include "midi/alsa/events.h"
#include "midi/alsa/pacing.h"
#include "midi/alsa/room.h"
#include "midi/alsa/sequencer.h"
#include "midi/service.h"

namespace midi {

namespace {

// The ports, by serial, whose system exclusive is still open after our last
// send; a port that goes takes its serial with it.
std::vector<std::uint64_t> openSysex;

encode::Batch batch;

bool sysexOpen(std::uint64_t serial) {
    return std::find(openSysex.begin(), openSysex.end(), serial) != openSysex.end();
}

void setSysexOpen(std::uint64_t serial, bool open) {
    if (!open && openSysex.empty()) return;
    auto it = std::find(openSysex.begin(), openSysex.end(), serial);
    if (open && it == openSysex.end()) openSysex.push_back(serial);
    if (!open && it != openSysex.end()) openSysex.erase(it);
}

// Drops the serials of ports that are gone.
void forgetGone(const std::vector<alsa::Entry>& entries) {
    std::erase_if(openSysex, [&entries](std::uint64_t serial) {
        return std::none_of(entries.begin(), entries.end(), [serial](const alsa::Entry& e) { return e.serial == serial; });
    });
}

// What one delivery of the batch did.
struct Delivery {
    int error;          // of buffering an event: nothing was written
    int left;           // what snd_seq_drain_output returned
    std::size_t total;  // the bytes the events take in the output buffer
};

// Writes the batch's events to addressed's destination, buffered and then
// drained at once: each still goes straight there, but the whole request
// costs one system call.
Delivery deliver(snd_seq_t* seq, const snd_seq_event_t& addressed) {
    Delivery d{0, 0, 0};
    for (std::size_t i = 0; i < batch.count; ++i) {
        snd_seq_event_t ev = addressed;
        alsa::fill(&ev, batch.message[i]);
        if (int err = snd_seq_event_output_buffer(seq, &ev); err < 0) {
            snd_seq_drop_output_buffer(seq);
            d.error = err;
            return d;
        }
        d.total += alsa::eventBytes(batch.message[i]);
    }
    d.left = snd_seq_drain_output(seq);
    return d;
}

}  // namespace

Status clientCreate(std::string_view name, Ref* client, NotifyHandler notify) {
    Status err = alsa::open(name, std::move(notify));
    if (err != 0) return err;
    *client = static_cast<Ref>(alsa::self());
    return 0;
}

Status outputPortCreate(Ref client, std::string_view name, Ref* port) {
    snd_seq_t* seq = alsa::handle();
    if (!seq) return -ENODEV;
    std::string text(name);
    int id = snd_seq_create_simple_port(seq, text.c_str(), SND_SEQ_PORT_CAP_READ,
                                        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (id < 0) return id;
    *port = alsa::ref(static_cast<int>(client), id);
    return 0;
}

std::size_t eventDescriptors(pollfd* fds, std::size_t room) { return alsa::handle() ? alsa::descriptors(fds, room) : 0; }

int eventTimeout() { return alsa::handle() ? alsa::timeout() : -1; }

void handleEvents() {
    if (alsa::handle()) alsa::handleEvents();
}

// A port that goes takes its open system exclusive and its pace with it.
static std::uint64_t updated(std::uint64_t generation) {
    static std::uint64_t seen = 0;
    if (generation != seen && !openSysex.empty()) forgetGone(alsa::listing());
    if (generation != seen) alsa::forgetPaces(alsa::listing());
    seen = generation;
    return generation;
}

void takeChanges() {
    if (alsa::handle()) alsa::takeChanges();
}

std::uint64_t setupGeneration() { return alsa::handle() ? updated(alsa::update(false)) : 0; }

std::uint64_t rescan() { return alsa::handle() ? updated(alsa::update(!alsa::announcesChanges())) : 0; }

std::size_t destinationCount() { return alsa::handle() ? alsa::listing().size() : 0; }

Ref destination(std::size_t index) {
    const auto& listing = alsa::listing();
    return alsa::handle() && index < listing.size() ? listing[index].ref : 0;
}

Status integerProperty(Ref object, Property key, std::int32_t* out) {
    const alsa::Entry* e = alsa::listed(object);
    if (!e) return -ENOENT;
    switch (key) {
        case Property::offline: *out = e->offline ? 1 : 0; return 0;
        case Property::uniqueId: *out = e->uid; return 0;
        default: return -EINVAL;
    }
}

Status stringProperty(Ref object, Property key, std::optional<std::string>* out) {
    const alsa::Entry* e = alsa::listed(object);
    if (!e) return -ENOENT;
    switch (key) {
        case Property::displayName: *out = e->display; return 0;
        case Property::name: *out = e->name; return 0;
        default: return -EINVAL;
    }
}

std::chrono::microseconds roomWait() { return alsa::roomWait(); }

Status sendList(Ref port, Ref endpoint, const PacketList* list) {
    snd_seq_t* seq = alsa::handle();
    if (!seq) return -ENODEV;
    const alsa::Entry* target = alsa::listed(endpoint);
    const std::uint64_t serial = target ? target->serial : 0;
    const bool wasOpen = target && sysexOpen(serial);
    batch.count = 0;
    batch.open = wasOpen;
    const Packet* packet = &list->packet[0];
    for (std::uint32_t i = 0; i < list->count; ++i) {
        Status err = encode::add(&batch, packet->data, packet->length);
        if (err != 0) return err;
        packet = reinterpret_cast<const Packet*>(packet->data + packet->length);
    }
    if (batch.count == 0) return 0;
    // Last, so that nothing but the events' own writing lies between the
    // check and the send.
    if (target && !alsa::confirm(*target)) return stale;
    if (target && alsa::isDevicePort(target->card, target->type)) {
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < batch.count; ++i) {
            const encode::Message& m = batch.message[i];
            bytes += m.raw ? m.size : alsa::wireBytes(m.bytes[0]);
        }
        switch (alsa::fits(*target, bytes)) {
            case alsa::Fit::yes: break;
            case alsa::Fit::no: return full;
            case alsa::Fit::stuck: return -ETIMEDOUT;
        }
    }

    snd_seq_event_t addressed;
    snd_seq_ev_clear(&addressed);
    snd_seq_ev_set_source(&addressed, static_cast<unsigned char>(port & 0xFF));
    snd_seq_ev_set_dest(&addressed, static_cast<unsigned char>(endpoint >> 8),
                        static_cast<unsigned char>(endpoint & 0xFF));
    snd_seq_ev_set_direct(&addressed);

    Delivery d = deliver(seq, addressed);
    if (d.error == 0 && d.left == -ENODEV && static_cast<std::size_t>(snd_seq_event_output_pending(seq)) == d.total) {
        // A MIDI device's port opens its device only while a connection to
        // it is in use, and refuses direct events before; our own port's
        // connection opens it, and the kernel drops it when the port goes.
        // Events still go to this destination alone: none is sent to our
        // port's connections.
        snd_seq_drop_output_buffer(seq);
        int err = snd_seq_connect_to(seq, static_cast<int>(port & 0xFF), static_cast<int>(endpoint >> 8),
                                     static_cast<int>(endpoint & 0xFF));
        if (err != 0 && err != -EBUSY) return d.left;  // nothing went out
        d = deliver(seq, addressed);
    }
    if (d.error < 0) return d.error;
    const int left = d.left;
    const std::size_t total = d.total;
    if (left == 0) {
        if (target) setSysexOpen(serial, batch.open);
        return 0;
    }

    // Some alsa-lib versions report a partial write as the bytes left over.
    Status status = left < 0 ? left : -EAGAIN;
    std::size_t pending = static_cast<std::size_t>(snd_seq_event_output_pending(seq));
    snd_seq_drop_output_buffer(seq);
    bool open = wasOpen;
    std::size_t sent = 0;
    for (std::size_t i = 0; i < batch.count; ++i) {
        sent += alsa::eventBytes(batch.message[i]);
        if (sent > total - pending) break;
        open = batch.message[i].openAfter;
    }
    // A destination that is gone takes its open system exclusive with it.
    if (target) setSysexOpen(serial, status == -ENOENT ? false : open);
    return status;
}

}  // namespace midi

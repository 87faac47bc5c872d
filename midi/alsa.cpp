// The MIDI service on the ALSA sequencer.
//
// Destinations come from one enumeration of clients and ports, taken by
// destinationCount and answered from until the next one. Sending parses the
// packets by hand (midi/encode.h) rather than with snd_midi_event_encode:
// that one takes any byte soup, cuts system exclusive at its buffer size and
// cannot refuse a bad packet before part of it has gone out.

#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "midi/encode.h"
#include "midi/portnames.h"
#include "midi/service.h"

// Older alsa-lib headers lack the name; the kernel sets the bit all the same.
#ifndef SND_SEQ_PORT_CAP_INACTIVE
#define SND_SEQ_PORT_CAP_INACTIVE (1 << 8)
#endif

static_assert(midi::ports::capWrite == SND_SEQ_PORT_CAP_WRITE);
static_assert(midi::ports::capSubsWrite == SND_SEQ_PORT_CAP_SUBS_WRITE);
static_assert(midi::ports::capNoExport == SND_SEQ_PORT_CAP_NO_EXPORT);
static_assert(midi::ports::capInactive == SND_SEQ_PORT_CAP_INACTIVE);
static_assert(midi::ports::typeMidiGeneric == SND_SEQ_PORT_TYPE_MIDI_GENERIC);
static_assert(midi::ports::typeSynth == SND_SEQ_PORT_TYPE_SYNTH);
static_assert(midi::ports::typeApplication == SND_SEQ_PORT_TYPE_APPLICATION);

namespace midi {

namespace {

// Used from one thread at a time (the main queue), but for the announcement
// watcher, which touches only the handle's input side.
snd_seq_t* seq;
int self = -1;  // our client number

struct Entry {
    Ref ref;
    bool offline;
    std::int32_t uid;
    std::string name;
    std::string display;
};

std::vector<Entry> snapshot;  // in address order, so sorted by ref

// Destinations whose system exclusive is still open after our last send.
std::vector<Ref> openSysex;

encode::Batch batch;

// Card ids cost a control device open each (most of a directory build), so
// they are kept until the watcher sees a client come or go. Keyed by the
// client's name too: a card swapped in at the same number before the watcher
// has caught up then still misses unless it is of the same model.
std::atomic<unsigned> clientsChanged{0};
struct KnownCard {
    int card;
    std::string client;
    std::string id;
};
std::vector<KnownCard> knownCards;
unsigned knownCardsAt = 0;

// The bridge never writes to standard error, and neither may alsa-lib.
void silent(const char*, int, const char*, int, const char*, ...) {}

Ref portRef(int clientId, int portId) {
    return static_cast<Ref>(clientId) << 8 | static_cast<Ref>(portId);
}

const Entry* find(Ref ref) {
    auto it = std::lower_bound(snapshot.begin(), snapshot.end(), ref,
                               [](const Entry& e, Ref r) { return e.ref < r; });
    return it != snapshot.end() && it->ref == ref ? &*it : nullptr;
}

// The card's id ("Device", "Device_1", ...): stable across replugging, unlike
// its number. Empty when neither the control device nor /proc tells it.
std::string cardId(int card) {
    char name[32];
    std::snprintf(name, sizeof name, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, name, SND_CTL_NONBLOCK) == 0) {
        snd_ctl_card_info_t* info;
        snd_ctl_card_info_alloca(&info);
        std::string id;
        if (snd_ctl_card_info(ctl, info) == 0) id = snd_ctl_card_info_get_id(info);
        snd_ctl_close(ctl);
        if (!id.empty()) return id;
    }
    std::snprintf(name, sizeof name, "/proc/asound/card%d/id", card);
    std::FILE* file = std::fopen(name, "re");
    if (!file) return {};
    char line[64] = {};
    bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read) return {};
    std::string id(line);
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
    return id;
}

struct Found {
    Ref ref;
    bool offline;
    int card;  // -1 for none
    int port;
    std::string client;
    std::string name;

    bool operator==(const Found&) const = default;
};

// What this enumeration found, and what the last one did: when the two are
// the same, the names and ids derived from it are still right as they are.
std::vector<Found> found;
std::vector<Found> lastFound;

bool sysexOpen(Ref endpoint) {
    return std::find(openSysex.begin(), openSysex.end(), endpoint) != openSysex.end();
}

void setSysexOpen(Ref endpoint, bool open) {
    auto it = std::find(openSysex.begin(), openSysex.end(), endpoint);
    if (open && it == openSysex.end()) openSysex.push_back(endpoint);
    if (!open && it != openSysex.end()) openSysex.erase(it);
}

// The sequencer event for one message, addressed by the caller.
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

bool isClientStartOrExit(const snd_seq_event_t& ev) {
    return ev.type == SND_SEQ_EVENT_CLIENT_START || ev.type == SND_SEQ_EVENT_CLIENT_EXIT;
}

bool isForeignTopologyChange(const snd_seq_event_t& ev) {
    switch (ev.type) {
        case SND_SEQ_EVENT_CLIENT_START:
        case SND_SEQ_EVENT_CLIENT_EXIT:
        case SND_SEQ_EVENT_CLIENT_CHANGE:
        case SND_SEQ_EVENT_PORT_START:
        case SND_SEQ_EVENT_PORT_EXIT:
        case SND_SEQ_EVENT_PORT_CHANGE:
            return ev.data.addr.client != self;
        default:
            return false;
    }
}

// Sleeps until announce events arrive, then gives one notification for each
// burst of them: everything pending at that moment.
void watch(NotifyHandler notify) {
    int count = snd_seq_poll_descriptors_count(seq, POLLIN);
    if (count <= 0) return;
    std::vector<pollfd> fds(static_cast<std::size_t>(count));
    int filled = snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
    if (filled <= 0) return;
    for (;;) {
        if (::poll(fds.data(), static_cast<nfds_t>(filled), -1) < 0 && errno != EINTR) return;
        bool changed = false;
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            int err = snd_seq_event_input(seq, &ev);
            if (err == -EAGAIN) break;
            if (err == -ENOSPC) {  // overrun: announcements were lost
                clientsChanged.fetch_add(1, std::memory_order_release);
                changed = true;
            } else if (err < 0) {
                break;
            } else if (ev) {
                if (isClientStartOrExit(*ev)) clientsChanged.fetch_add(1, std::memory_order_release);
                if (isForeignTopologyChange(*ev)) changed = true;
            }
        }
        if (changed) {
            Notification note{1, sizeof(Notification)};
            notify(&note);
        }
    }
}

Status fail(snd_seq_t* handle, int err) {
    snd_seq_close(handle);
    return err;
}

}  // namespace

Status clientCreate(std::string_view name, Ref* client, NotifyHandler notify) {
    snd_lib_error_set_handler(silent);
    snd_seq_t* handle = nullptr;
    int err = snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) return err;
    std::string text(name);
    err = snd_seq_set_client_name(handle, text.c_str());
    if (err < 0) return fail(handle, err);
    int id = snd_seq_client_id(handle);
    if (id < 0) return fail(handle, id);
    int watcher = snd_seq_create_simple_port(handle, (text + " notify").c_str(),
                                             SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                             SND_SEQ_PORT_TYPE_APPLICATION);
    if (watcher < 0) return fail(handle, watcher);
    err = snd_seq_connect_from(handle, watcher, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (err < 0) return fail(handle, err);
    seq = handle;
    self = id;
    *client = static_cast<Ref>(id);
    std::thread(watch, std::move(notify)).detach();
    return 0;
}

Status outputPortCreate(Ref client, std::string_view name, Ref* port) {
    if (!seq) return -ENODEV;
    std::string text(name);
    int id = snd_seq_create_simple_port(seq, text.c_str(), SND_SEQ_PORT_CAP_READ,
                                        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (id < 0) return id;
    *port = portRef(static_cast<int>(client), id);
    return 0;
}

std::size_t destinationCount() {
    if (!seq) {
        snapshot.clear();
        return 0;
    }
    snd_seq_client_info_t* clientInfo;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_t* portInfo;
    snd_seq_port_info_alloca(&portInfo);

    found.clear();
    snd_seq_client_info_set_client(clientInfo, -1);
    while (snd_seq_query_next_client(seq, clientInfo) == 0) {
        int c = snd_seq_client_info_get_client(clientInfo);
        if (c == SND_SEQ_CLIENT_SYSTEM || c == self) continue;
        int card = snd_seq_client_info_get_type(clientInfo) == SND_SEQ_KERNEL_CLIENT
                       ? snd_seq_client_info_get_card(clientInfo)
                       : -1;
        snd_seq_port_info_set_client(portInfo, c);
        snd_seq_port_info_set_port(portInfo, -1);
        while (snd_seq_query_next_port(seq, portInfo) == 0) {
            auto listing = ports::listing(c, self, snd_seq_port_info_get_capability(portInfo),
                                          snd_seq_port_info_get_type(portInfo));
            if (listing == ports::Listing::hidden) continue;
            int p = snd_seq_port_info_get_port(portInfo);
            found.push_back({portRef(c, p), listing == ports::Listing::offline, card, p,
                             snd_seq_client_info_get_name(clientInfo),
                             snd_seq_port_info_get_name(portInfo)});
        }
    }

    unsigned now = clientsChanged.load(std::memory_order_acquire);
    if (now == knownCardsAt && found == lastFound) return snapshot.size();
    if (now != knownCardsAt) {
        knownCards.clear();
        knownCardsAt = now;
    }
    snapshot.clear();
    auto known = [](const Found& f) {
        return std::find_if(knownCards.begin(), knownCards.end(),
                            [&f](const KnownCard& k) { return k.card == f.card && k.client == f.client; });
    };
    for (const auto& f : found)
        if (f.card >= 0 && known(f) == knownCards.end()) knownCards.push_back({f.card, f.client, cardId(f.card)});
    std::vector<ports::Key> keys;
    keys.reserve(found.size());
    for (const auto& f : found)
        keys.push_back({f.card >= 0 ? std::string_view(known(f)->id) : std::string_view(), f.client, f.name, f.port});
    std::vector<std::int32_t> ids(found.size());
    ports::uniqueIds(keys.data(), keys.size(), ids.data());

    snapshot.reserve(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        const Found& f = found[i];
        snapshot.push_back({f.ref, f.offline, ids[i], ports::validUtf8(f.name),
                            ports::displayName(f.client, f.name)});
    }
    lastFound.swap(found);
    return snapshot.size();
}

Ref destination(std::size_t index) {
    return index < snapshot.size() ? snapshot[index].ref : 0;
}

Status integerProperty(Ref object, Property key, std::int32_t* out) {
    const Entry* e = find(object);
    if (!e) return -ENOENT;
    switch (key) {
        case Property::offline: *out = e->offline ? 1 : 0; return 0;
        case Property::uniqueId: *out = e->uid; return 0;
        default: return -EINVAL;
    }
}

Status stringProperty(Ref object, Property key, std::optional<std::string>* out) {
    const Entry* e = find(object);
    if (!e) return -ENOENT;
    switch (key) {
        case Property::displayName: *out = e->display; return 0;
        case Property::name: *out = e->name; return 0;
        default: return -EINVAL;
    }
}

Status sendList(Ref port, Ref endpoint, const PacketList* list) {
    if (!seq) return -ENODEV;
    const bool wasOpen = sysexOpen(endpoint);
    batch.count = 0;
    batch.open = wasOpen;
    const Packet* packet = &list->packet[0];
    for (std::uint32_t i = 0; i < list->count; ++i) {
        Status err = encode::add(&batch, packet->data, packet->length);
        if (err != 0) return err;
        packet = reinterpret_cast<const Packet*>(packet->data + packet->length);
    }
    if (batch.count == 0) return 0;

    snd_seq_event_t addressed;
    snd_seq_ev_clear(&addressed);
    snd_seq_ev_set_source(&addressed, static_cast<unsigned char>(port & 0xFF));
    snd_seq_ev_set_dest(&addressed, static_cast<unsigned char>(endpoint >> 8),
                        static_cast<unsigned char>(endpoint & 0xFF));
    snd_seq_ev_set_direct(&addressed);

    // Buffered, then written at once: each event still goes straight to the
    // destination, but the whole request costs one system call.
    std::size_t total = 0;
    for (std::size_t i = 0; i < batch.count; ++i) {
        snd_seq_event_t ev = addressed;
        fill(&ev, batch.message[i]);
        int err = snd_seq_event_output_buffer(seq, &ev);
        if (err < 0) {
            snd_seq_drop_output_buffer(seq);
            return err;
        }
        total += eventBytes(batch.message[i]);
    }
    int left = snd_seq_drain_output(seq);
    if (left == 0) {
        setSysexOpen(endpoint, batch.open);
        return 0;
    }

    // Some alsa-lib versions report a partial write as the bytes left over.
    Status status = left < 0 ? left : -EAGAIN;
    std::size_t pending = static_cast<std::size_t>(snd_seq_event_output_pending(seq));
    snd_seq_drop_output_buffer(seq);
    bool open = wasOpen;
    std::size_t sent = 0;
    for (std::size_t i = 0; i < batch.count; ++i) {
        sent += eventBytes(batch.message[i]);
        if (sent > total - pending) break;
        open = batch.message[i].openAfter;
    }
    // A destination that is gone takes its open system exclusive with it.
    setSysexOpen(endpoint, status == -ENOENT ? false : open);
    return status;
}

}  // namespace midi

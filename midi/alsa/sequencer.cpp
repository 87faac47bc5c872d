#include "midi/alsa/sequencer.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

#include "midi/alsa/cards.h"
#include "midi/alsa/portnames.h"

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

namespace midi::alsa {

namespace {

using Clock = std::chrono::steady_clock;

// Everything here belongs to the thread that runs the main loop.
snd_seq_t* seq;
int selfId = -1;
bool announces = false;
Mirror mirror;

// The listing derived from the mirror, as of entriesAt.
std::vector<Entry> entries;
std::uint64_t entriesAt = 0;

// The change latch: changes taken that no notification has yet told of. It
// is set wherever announcements are taken and cleared only where a
// notification is given (handleEvents), at most one per noticeGap.
bool dirty = false;
Clock::time_point lastNotice;  // the steady clock's epoch: long enough ago
NotifyHandler notify;

// Reads of the input so far (takeChanges), and the port last confirmed
// after one of them.
std::uint64_t reads = 0;
struct Confirmed {
    Ref ref;
    std::uint64_t read;
    std::uint64_t generation;
} confirmed{0, 0, 0};

// When the card keys a derive could not read are read again; none while no
// card waits.
std::optional<Clock::time_point> cardsDue;
constexpr std::chrono::milliseconds cardGap{20};

// A drain stops here and enumerates instead: a client that floods our port
// with forged announcements cannot keep the main thread reading.
constexpr int drainLimit = 4096;

ClientInfo clientInfo(snd_seq_client_info_t* info) {
    int card = snd_seq_client_info_get_type(info) == SND_SEQ_KERNEL_CLIENT ? snd_seq_client_info_get_card(info) : -1;
    return {snd_seq_client_info_get_client(info), snd_seq_client_info_get_name(info), card};
}

PortInfo portInfo(snd_seq_port_info_t* info) {
    return {snd_seq_port_info_get_client(info), snd_seq_port_info_get_port(info), snd_seq_port_info_get_name(info),
            snd_seq_port_info_get_capability(info), snd_seq_port_info_get_type(info)};
}

std::optional<ClientInfo> queryClient(int client) {
    snd_seq_client_info_t* info;
    snd_seq_client_info_alloca(&info);
    if (snd_seq_get_any_client_info(seq, client, info) < 0) return std::nullopt;
    return clientInfo(info);
}

std::optional<PortInfo> queryPort(int client, int port) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_any_port_info(seq, client, port, info) < 0) return std::nullopt;
    return portInfo(info);
}

// Every client and port, into the mirror; whether it was out of date.
bool enumerate() {
    static std::vector<ClientInfo> clients;
    static std::vector<PortInfo> ports;
    clients.clear();
    ports.clear();
    snd_seq_client_info_t* client;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_t* port;
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) == 0) {
        int c = snd_seq_client_info_get_client(client);
        if (c == SND_SEQ_CLIENT_SYSTEM || c == selfId) continue;
        clients.push_back(clientInfo(client));
        snd_seq_port_info_set_client(port, c);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) == 0) ports.push_back(portInfo(port));
    }
    return reset(mirror, clients, ports);
}

bool fromSystem(const snd_seq_event_t& ev) {
    return ev.source.client == SND_SEQ_CLIENT_SYSTEM && ev.source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE;
}

// One announcement into the mirror. The sequencer is asked about the address
// now, so a start whose port is already gone again counts as its exit.
bool apply(const snd_seq_event_t& ev) {
    const int c = ev.data.addr.client;
    const int p = ev.data.addr.port;
    if (c == selfId || c == SND_SEQ_CLIENT_SYSTEM) return false;
    switch (ev.type) {
        case SND_SEQ_EVENT_CLIENT_START:
        case SND_SEQ_EVENT_CLIENT_CHANGE: {
            auto info = queryClient(c);
            if (!info) return clientExit(mirror, c);
            return ev.type == SND_SEQ_EVENT_CLIENT_START ? clientStart(mirror, *info) : clientChange(mirror, *info);
        }
        case SND_SEQ_EVENT_CLIENT_EXIT:
            return clientExit(mirror, c);
        case SND_SEQ_EVENT_PORT_START:
        case SND_SEQ_EVENT_PORT_CHANGE: {
            // Clients name themselves before they make ports, and not every
            // kernel announces the naming.
            auto client = queryClient(c);
            if (!client) return clientExit(mirror, c);
            bool changed = clientChange(mirror, *client);
            auto info = queryPort(c, p);
            if (!info) return portExit(mirror, c, p) || changed;
            return (ev.type == SND_SEQ_EVENT_PORT_START ? portStart(mirror, *info) : portChange(mirror, *info)) ||
                   changed;
        }
        case SND_SEQ_EVENT_PORT_EXIT:
            return portExit(mirror, c, p);
        default:
            return false;
    }
}

// Every announcement waiting, into the mirror; whether it changed. After an
// overrun, or too many to read, only an enumeration tells the truth again.
bool take() {
    bool changed = false;
    bool lost = false;
    for (int n = 0;; ++n) {
        if (n == drainLimit) {
            lost = true;
            break;
        }
        snd_seq_event_t* ev = nullptr;
        int err = snd_seq_event_input(seq, &ev);
        if (err == -ENOSPC) {
            lost = true;
            continue;
        }
        if (err < 0) break;
        if (ev && fromSystem(*ev)) changed = apply(*ev) || changed;
    }
    if (lost) changed = enumerate() || changed;
    return changed;
}

void noticed(bool changed) { dirty = dirty || changed; }

// Whether the kernel announces a change of a port's info: changes one of
// ours to what it is and looks for the announcement, which would be waiting
// by the time the call returns.
bool probe(int port) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_port_info(seq, port, info) < 0 || snd_seq_set_port_info(seq, port, info) < 0) return false;
    bool seen = false;
    for (int n = 0; n < drainLimit; ++n) {
        snd_seq_event_t* ev = nullptr;
        int err = snd_seq_event_input(seq, &ev);
        if (err == -ENOSPC) continue;
        if (err < 0) break;
        if (ev && fromSystem(*ev) && ev->type == SND_SEQ_EVENT_PORT_CHANGE && ev->data.addr.client == selfId &&
            ev->data.addr.port == port)
            seen = true;
    }
    return seen;
}

void silent(const char*, int, const char*, int, const char*, ...) {}

Status fail(snd_seq_t* handle, int err) {
    snd_seq_close(handle);
    return err;
}

}  // namespace

Status open(std::string_view name, NotifyHandler handler) {
    // The bridge never writes to standard error, and neither may alsa-lib.
    snd_lib_error_set_handler(silent);
    snd_seq_t* handle = nullptr;
    int err = snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) return err;
    std::string text(name);
    err = snd_seq_set_client_name(handle, text.c_str());
    if (err < 0) return fail(handle, err);
    int id = snd_seq_client_id(handle);
    if (id < 0) return fail(handle, id);
    // Nothing but announcements may take room in our input queue.
    for (int type : {SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_CLIENT_EXIT, SND_SEQ_EVENT_CLIENT_CHANGE,
                     SND_SEQ_EVENT_PORT_START, SND_SEQ_EVENT_PORT_EXIT, SND_SEQ_EVENT_PORT_CHANGE}) {
        err = snd_seq_set_client_event_filter(handle, type);
        if (err < 0) return fail(handle, err);
    }
    int watcher = snd_seq_create_simple_port(handle, (text + " notify").c_str(),
                                             SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                             SND_SEQ_PORT_TYPE_APPLICATION);
    if (watcher < 0) return fail(handle, watcher);
    err = snd_seq_connect_from(handle, watcher, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (err < 0) return fail(handle, err);
    seq = handle;
    selfId = id;
    notify = std::move(handler);
    mirror.self = id;
    // What the probe leaves behind is older than the enumeration, which
    // sees all of it; later announcements are applied on top.
    announces = probe(watcher);
    enumerate();
    return 0;
}

snd_seq_t* handle() { return seq; }
int self() { return selfId; }
bool announcesChanges() { return announces; }

void takeChanges() {
    noticed(take());
    ++reads;
}

std::uint64_t update(bool full) {
    bool changed = full || reads == 0 ? take() : false;
    if (full) changed = enumerate() || changed;
    noticed(changed);
    if (mirror.generation != entriesAt) {
        entries = derive(mirror, cardKey);
        entriesAt = mirror.generation;
        if (cardsUnknown(mirror) && !cardsDue) cardsDue = Clock::now() + cardGap;
    }
    return mirror.generation;
}

const std::vector<Entry>& listing() { return entries; }

const Entry* listed(Ref ref) {
    auto it = std::lower_bound(entries.begin(), entries.end(), ref,
                               [](const Entry& e, Ref r) { return e.ref < r; });
    return it != entries.end() && it->ref == ref ? &*it : nullptr;
}

bool confirm(const Entry& e) {
    if (announces) return true;
    // The requests of one read were all written before it, and so before
    // the look that confirmed this port after it.
    if (reads != 0 && e.ref == confirmed.ref && reads == confirmed.read && mirror.generation == confirmed.generation)
        return true;
    const int c = static_cast<int>(e.ref >> 8);
    const int p = static_cast<int>(e.ref & 0xFF);
    snd_seq_client_info_t* client;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_t* port;
    snd_seq_port_info_alloca(&port);
    // Compared where the library keeps them: a send copies neither name.
    if (snd_seq_get_any_client_info(seq, c, client) == 0 && snd_seq_get_any_port_info(seq, c, p, port) == 0 &&
        e.clientName == snd_seq_client_info_get_name(client) && e.portName == snd_seq_port_info_get_name(port) &&
        e.caps == snd_seq_port_info_get_capability(port) && e.type == snd_seq_port_info_get_type(port)) {
        confirmed = {e.ref, reads, mirror.generation};
        return true;
    }
    update(true);
    return false;
}

std::size_t descriptors(pollfd* fds, std::size_t room) {
    int n = snd_seq_poll_descriptors(seq, fds, static_cast<unsigned>(room), POLLIN);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

int timeout() {
    std::optional<Clock::time_point> due = cardsDue;
    if (dirty) due = std::min(due.value_or(Clock::time_point::max()), lastNotice + noticeGap);
    if (!due) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 60'000));
}

void handleEvents() {
    noticed(take());
    const auto now = Clock::now();
    if (cardsDue && now >= *cardsDue) {
        // Known now: the next use derives the listing with them.
        if (readCards(mirror, cardKey)) {
            ++mirror.generation;
            dirty = true;
        }
        cardsDue.reset();
        if (cardsUnknown(mirror)) cardsDue = now + cardGap;
    }
    if (!dirty || now < lastNotice + noticeGap) return;
    // Cleared here: the report this notification asks for shows every change
    // taken so far.
    dirty = false;
    lastNotice = now;
    Notification note{1, sizeof(Notification)};
    notify(&note);
}

}  // namespace midi::alsa

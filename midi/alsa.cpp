// The MIDI service on the ALSA sequencer.

#include <alsa/asoundlib.h>
#include <poll.h>

#include <cerrno>
#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include "midi/service.h"

namespace midi {

namespace {

snd_seq_t* seq;

// The bridge never writes to standard error, and neither may alsa-lib.
void silent(const char*, int, const char*, int, const char*, ...) {}

Ref portRef(int clientId, int portId) {
    return static_cast<Ref>(clientId) << 8 | static_cast<Ref>(portId);
}

bool isTopologyChange(const snd_seq_event_t& ev) {
    switch (ev.type) {
        case SND_SEQ_EVENT_CLIENT_START:
        case SND_SEQ_EVENT_CLIENT_EXIT:
        case SND_SEQ_EVENT_CLIENT_CHANGE:
        case SND_SEQ_EVENT_PORT_START:
        case SND_SEQ_EVENT_PORT_EXIT:
        case SND_SEQ_EVENT_PORT_CHANGE:
            return true;
        default:
            return false;
    }
}

// Sleeps until announce events arrive, then gives one notification for each
// burst of them: everything pending at that moment.
void watch(NotifyHandler notify) {
    std::vector<pollfd> fds(static_cast<std::size_t>(snd_seq_poll_descriptors_count(seq, POLLIN)));
    snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        bool changed = false;
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            int err = snd_seq_event_input(seq, &ev);
            if (err == -EAGAIN) break;
            if (err == -ENOSPC) changed = true;  // overrun: events were lost
            else if (err < 0) break;
            else if (ev && isTopologyChange(*ev)) changed = true;
        }
        if (changed) {
            Notification note{1, sizeof(Notification)};
            notify(&note);
        }
    }
}

}  // namespace

Status clientCreate(std::string_view name, Ref* client, NotifyHandler notify) {
    snd_lib_error_set_handler(silent);
    int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) return err;
    std::string text(name);
    snd_seq_set_client_name(seq, text.c_str());
    int id = snd_seq_client_id(seq);
    int watcher = snd_seq_create_simple_port(seq, (text + " notify").c_str(),
                                             SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                             SND_SEQ_PORT_TYPE_APPLICATION);
    if (watcher >= 0)
        snd_seq_connect_from(seq, watcher, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    *client = static_cast<Ref>(id);
    std::thread(watch, std::move(notify)).detach();
    return 0;
}

Status outputPortCreate(Ref client, std::string_view name, Ref* port) {
    std::string text(name);
    int id = snd_seq_create_simple_port(seq, text.c_str(), SND_SEQ_PORT_CAP_READ,
                                        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (id < 0) return id;
    *port = portRef(static_cast<int>(client), id);
    return 0;
}

// Destinations are not listed yet.
std::size_t destinationCount() { return 0; }
Ref destination(std::size_t) { return 0; }
Status integerProperty(Ref, Property, std::int32_t*) { return -ENOENT; }
Status stringProperty(Ref, Property, std::optional<std::string>*) { return -ENOENT; }
Status sendList(Ref, Ref, const PacketList*) { return -ENOENT; }

}  // namespace midi

#include "peer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace {

snd_seq_t* open(const char* what) {
    snd_seq_t* seq = nullptr;
    int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) throw std::runtime_error(std::string(what) + ": snd_seq_open failed (" + std::to_string(err) + ")");
    return seq;
}

void check(int err, const char* what) {
    if (err < 0) throw std::runtime_error(std::string(what) + " failed (" + std::to_string(err) + ")");
}

using MidiCoder = std::unique_ptr<snd_midi_event_t, decltype(&snd_midi_event_free)>;

// Without running status, so every message comes out whole.
MidiCoder coder(std::size_t size) {
    snd_midi_event_t* dev = nullptr;
    check(snd_midi_event_new(size, &dev), "snd_midi_event_new");
    snd_midi_event_no_status(dev, 1);
    return {dev, snd_midi_event_free};
}

}  // namespace

std::vector<SeqPort> sequencerPorts() {
    snd_seq_t* seq = open("sequencerPorts");
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    std::vector<SeqPort> all;
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            all.push_back({snd_seq_port_info_get_client(port), snd_seq_port_info_get_port(port),
                           snd_seq_client_info_get_name(client), snd_seq_port_info_get_name(port),
                           snd_seq_port_info_get_capability(port), snd_seq_port_info_get_type(port),
                           snd_seq_client_info_get_pid(client), snd_seq_client_info_get_card(client)});
        }
    }
    snd_seq_close(seq);
    return all;
}

Peer::Peer(const std::string& name, Reads reads) : seq_(open(name.c_str())) {
    snd_seq_set_client_name(seq_, name.c_str());
    client_ = snd_seq_client_id(seq_);
    if (reads == Reads::yes) {
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        reader_ = std::thread(&Peer::readLoop, this);
    }
}

Peer::~Peer() {
    if (reader_.joinable()) {
        std::uint64_t one = 1;
        if (::write(stop_, &one, sizeof one) == sizeof one) reader_.join();
        else reader_.detach();
    }
    if (stop_ >= 0) ::close(stop_);
    snd_seq_close(seq_);
}

snd_seq_addr_t Peer::address(int port) const {
    return {static_cast<unsigned char>(client_), static_cast<unsigned char>(port)};
}

int Peer::addPort(const std::string& name) {
    int port = snd_seq_create_simple_port(seq_, name.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    check(port, "snd_seq_create_simple_port");
    return port;
}

void Peer::removePort(int port) { check(snd_seq_delete_simple_port(seq_, port), "snd_seq_delete_simple_port"); }

void Peer::renamePort(int port, const std::string& name) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    check(snd_seq_get_port_info(seq_, port, info), "snd_seq_get_port_info");
    snd_seq_port_info_set_name(info, name.c_str());
    check(snd_seq_set_port_info(seq_, port, info), "snd_seq_set_port_info");
}

void Peer::setCapabilities(int port, unsigned caps) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    check(snd_seq_get_port_info(seq_, port, info), "snd_seq_get_port_info");
    snd_seq_port_info_set_capability(info, caps);
    check(snd_seq_set_port_info(seq_, port, info), "snd_seq_set_port_info");
}

void Peer::rename(const std::string& name) { check(snd_seq_set_client_name(seq_, name.c_str()), "snd_seq_set_client_name"); }

int Peer::sendEvent(int fromPort, snd_seq_addr_t dest, snd_seq_event_t ev) {
    snd_seq_ev_set_source(&ev, fromPort);
    snd_seq_ev_set_dest(&ev, dest.client, dest.port);
    snd_seq_ev_set_direct(&ev);
    int err = snd_seq_event_output_direct(seq_, &ev);
    return err < 0 ? err : 0;
}

int Peer::send(int fromPort, snd_seq_addr_t dest, const std::vector<std::uint8_t>& bytes) {
    MidiCoder encoder = coder(bytes.size() + 1);
    for (std::uint8_t byte : bytes) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        if (snd_midi_event_encode_byte(encoder.get(), byte, &ev) != 1) continue;
        snd_seq_ev_set_source(&ev, fromPort);
        snd_seq_ev_set_dest(&ev, dest.client, dest.port);
        snd_seq_ev_set_direct(&ev);
        int err = snd_seq_event_output_direct(seq_, &ev);
        if (err < 0) return err;
    }
    return 0;
}

std::vector<Received> Peer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::uint8_t> Peer::bytes(int port) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> all;
    for (const Received& r : received_)
        if (r.port == port) all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    return all;
}

bool Peer::waitForBytes(int port, std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] {
        std::size_t n = 0;
        for (const Received& r : received_)
            if (r.port == port) n += r.bytes.size();
        return n >= count;
    });
}

bool Peer::overflowed() const {
    std::lock_guard lock(mutex_);
    return overflowed_;
}

void Peer::readLoop() {
    MidiCoder decoder = coder(16);
    int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(count), POLLIN);
    fds.back() = {stop_, POLLIN, 0};
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds.back().revents) return;
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            int err = snd_seq_event_input(seq_, &ev);
            if (err == -ENOSPC) {
                std::lock_guard lock(mutex_);
                overflowed_ = true;
                continue;
            }
            if (err < 0 || !ev) break;
            Received r{ev->dest.port, ev->source, static_cast<snd_seq_event_type_t>(ev->type), {}};
            // SysEx data can be longer than any fixed buffer.
            std::vector<unsigned char> buf(snd_seq_ev_is_variable(ev) ? ev->data.ext.len + 16 : 16);
            snd_midi_event_reset_decode(decoder.get());
            long n = snd_midi_event_decode(decoder.get(), buf.data(), static_cast<long>(buf.size()), ev);
            if (n > 0) r.bytes.assign(buf.begin(), buf.begin() + n);
            std::lock_guard lock(mutex_);
            received_.push_back(std::move(r));
            arrived_.notify_all();
        }
    }
}

void Peer::holdEvents(int count) { check(snd_seq_set_client_pool_input(seq_, static_cast<std::size_t>(count)), "snd_seq_set_client_pool_input"); }

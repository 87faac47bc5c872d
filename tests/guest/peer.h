#pragma once
// Sequencer clients of the test's own, to play the MIDI world around the
// bridge, and a look at everything the sequencer lists.

#include <alsa/asoundlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// One port of one client, as the sequencer lists it.
struct SeqPort {
    int client;
    int port;
    std::string clientName;
    std::string portName;
    unsigned caps;
    unsigned type;
    int pid;   // of the process that owns the client; -1 for kernel clients
    int card;  // the sound card of a kernel client's driver; -1 for none
};

// Every port of every client on the sequencer now.
std::vector<SeqPort> sequencerPorts();

// One event as one of a peer's ports received it.
struct Received {
    int port;                         // the peer's port it arrived on
    snd_seq_addr_t source;            // the client and port that sent it
    snd_seq_event_type_t type;
    std::vector<std::uint8_t> bytes;  // as MIDI bytes; empty for other events
};

// A user client on the sequencer. It and its ports vanish when it is destroyed.
class Peer {
public:
    enum class Reads { yes, never };

    // Opens a client; one that never reads lets its input queue fill up.
    explicit Peer(const std::string& name, Reads reads = Reads::yes);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    int client() const { return client_; }
    snd_seq_addr_t address(int port) const;

    // A new destination port (writable, and subscribable for writing); its number.
    int addPort(const std::string& name);
    void removePort(int port);
    void renamePort(int port, const std::string& name);
    // Gives a port new capability bits, as its owner may at any time.
    void setCapabilities(int port, unsigned caps);
    // Names the whole client anew.
    void rename(const std::string& name);

    // Sends MIDI bytes from one of our ports straight to dest, one event per
    // message; 0, or the sequencer's negative status for the first that fails.
    int send(int fromPort, snd_seq_addr_t dest, const std::vector<std::uint8_t>& bytes);
    // Sends one event of any type, as it stands but for its addresses; 0 or
    // the sequencer's negative status.
    int sendEvent(int fromPort, snd_seq_addr_t dest, snd_seq_event_t ev);

    // Everything received so far, in arrival order.
    std::vector<Received> received() const;
    // The MIDI bytes received on one port so far, joined.
    std::vector<std::uint8_t> bytes(int port) const;
    // Waits until port has received at least count bytes; false on timeout.
    bool waitForBytes(int port, std::size_t count, std::chrono::milliseconds timeout = 5s) const;
    // Whether the sequencer dropped events because our input queue overflowed.
    bool overflowed() const;
    // Lets our input queue hold count events (the sequencer allows up to 2,000).
    void holdEvents(int count);

private:
    void readLoop();

    snd_seq_t* seq_ = nullptr;
    int client_ = -1;
    int stop_ = -1;  // an eventfd that wakes the reader to end it
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Received> received_;
    bool overflowed_ = false;
    std::thread reader_;
};

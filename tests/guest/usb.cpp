#include "usb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "peer.h"

namespace {

const std::string gadgets = "/sys/kernel/config/usb_gadget/";

// An empty text is written as a line feed: a write of nothing would not reach
// the attribute at all.
void put(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << (text.empty() ? "\n" : text) << std::flush;
    if (!file) throw std::runtime_error("cannot write " + path);
}

void makeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw std::runtime_error("cannot make " + path);
}

std::string slurp(const char* path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The number of the card in /proc/asound/cards whose id line or long-name line
// holds what; -1 when there is none.
int findCard(const std::string& what) {
    std::istringstream cards(slurp("/proc/asound/cards"));
    std::string line;
    int card = -1;
    while (std::getline(cards, line)) {
        int number;
        if (std::sscanf(line.c_str(), " %d [", &number) == 1) card = number;
        if (card >= 0 && line.find(what) != std::string::npos) return card;
    }
    return -1;
}

// The port of the sequencer client that card's MIDI driver made.
std::optional<snd_seq_addr_t> cardPort(int card) {
    for (const auto& p : sequencerPorts())
        if (p.card == card)
            return snd_seq_addr_t{static_cast<unsigned char>(p.client), static_cast<unsigned char>(p.port)};
    return std::nullopt;
}

}  // namespace

UsbMidiDevice::UsbMidiDevice(const std::string& name) : name_(name), dir_(gadgets + name) {
    makeDir(dir_);
    put(dir_ + "/idVendor", "0x1d6b");
    put(dir_ + "/idProduct", "0x0104");
    makeDir(dir_ + "/strings/0x409");
    // Identical devices: the same serial number too.
    put(dir_ + "/strings/0x409/serialnumber", "0001");
    put(dir_ + "/strings/0x409/manufacturer", "Conformance");
    put(dir_ + "/strings/0x409/product", usbProduct);
    const std::string function = dir_ + "/functions/midi." + name;
    makeDir(function);
    put(function + "/id", name);
    makeDir(dir_ + "/configs/c.1");
    if (::symlink(function.c_str(), (dir_ + "/configs/c.1/midi." + name).c_str()) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot link the MIDI function of " + name);
}

UsbMidiDevice::~UsbMidiDevice() {
    try {
        unplug();
    } catch (...) {
    }
    ::unlink((dir_ + "/configs/c.1/midi." + name_).c_str());
    ::rmdir((dir_ + "/configs/c.1").c_str());
    ::rmdir((dir_ + "/functions/midi." + name_).c_str());
    ::rmdir((dir_ + "/strings/0x409").c_str());
    ::rmdir(dir_.c_str());
}

std::optional<snd_seq_addr_t> UsbMidiDevice::plug(int bus, std::chrono::milliseconds timeout) {
    if (plugged()) unplug();
    put(dir_ + "/UDC", "dummy_udc." + std::to_string(bus));
    bus_ = bus;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        received_.clear();
    }
    const auto end = std::chrono::steady_clock::now() + timeout;
    int fd = -1;
    while (fd < 0 && std::chrono::steady_clock::now() < end) {
        // The device side's card bears our name as its id.
        int card = findCard("[" + name_ + " ");
        if (card >= 0) {
            std::string path = "/dev/snd/midiC" + std::to_string(card) + "D0";
            fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd < 0) std::this_thread::sleep_for(10ms);
    }
    if (fd < 0) return std::nullopt;
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    reader_ = std::thread(&UsbMidiDevice::readLoop, this, fd);
    while (std::chrono::steady_clock::now() < end) {
        if (auto port = hostPort()) return port;
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

void UsbMidiDevice::unplug() {
    if (!plugged()) return;
    // The reader holds the device side's card open; let it go first.
    stopReading();
    put(dir_ + "/UDC", "");
    bus_ = -1;
}

void UsbMidiDevice::stopReading() {
    if (reader_.joinable()) {
        std::uint64_t one = 1;
        if (::write(stop_, &one, sizeof one) == sizeof one) reader_.join();
        else reader_.detach();
    }
    if (stop_ >= 0) ::close(stop_);
    stop_ = -1;
}

void UsbMidiDevice::readLoop(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
    std::uint8_t buffer[4096];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> hold(mutex_);
        received_.insert(received_.end(), buffer, buffer + n);
        arrived_.notify_all();
    }
    ::close(fd);
}

std::vector<std::uint8_t> UsbMidiDevice::bytes() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return received_;
}

bool UsbMidiDevice::waitForBytes(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> hold(mutex_);
    return arrived_.wait_for(hold, timeout, [&] { return received_.size() >= count; });
}

std::optional<snd_seq_addr_t> UsbMidiDevice::hostPort() const {
    if (!plugged()) return std::nullopt;
    int card = findCard("at usb-dummy_hcd." + std::to_string(bus_) + "-1,");
    if (card < 0) return std::nullopt;
    return cardPort(card);
}

std::vector<snd_seq_addr_t> subscribers(snd_seq_addr_t addr) {
    std::vector<snd_seq_addr_t> found;
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return found;
    snd_seq_query_subscribe_t* query;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_query_subscribe_set_root(query, &addr);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(seq, query) >= 0) {
        found.push_back(*snd_seq_query_subscribe_get_addr(query));
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    snd_seq_close(seq);
    return found;
}

#pragma once
// A USB MIDI interface on the guest's software USB bus (dummy_hcd, two
// controllers). The device side is a configfs gadget with one MIDI function,
// whose own rawmidi card receives what the host sent to the device; the host
// side is the snd-usb-audio card whose sequencer port the bridge lists, as it
// would list a musician's interface. Plugging and unplugging is binding the
// gadget to a controller and unbinding it: the same as moving the cable.

#include <alsa/asoundlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Every device this makes has these names, so that two of them differ only in
// where they are plugged in.
inline constexpr const char* usbProduct = "Conformance USB";
inline constexpr const char* usbPortName = "Conformance USB MIDI 1";

class UsbMidiDevice {
public:
    // A gadget named name (its device-side card takes that id), not plugged in.
    explicit UsbMidiDevice(const std::string& name);
    // Unplugs it and removes the gadget.
    ~UsbMidiDevice();
    UsbMidiDevice(const UsbMidiDevice&) = delete;
    UsbMidiDevice& operator=(const UsbMidiDevice&) = delete;

    // Plugs it into controller bus (0 or 1) and waits until the host side's
    // sequencer port is there and the device side is being read; the port's
    // address, or none on timeout.
    std::optional<snd_seq_addr_t> plug(int bus = 0, std::chrono::milliseconds timeout = 10s);
    // Pulls the cable: the host side's card and port go.
    void unplug();
    bool plugged() const { return bus_ >= 0; }

    // What the device received since it was plugged in, in order.
    std::vector<std::uint8_t> bytes() const;
    // Waits until the device has received at least count bytes; false on timeout.
    bool waitForBytes(std::size_t count, std::chrono::milliseconds timeout = 5s) const;

    // The host side's port, while plugged in and listed by the sequencer.
    std::optional<snd_seq_addr_t> hostPort() const;

private:
    void readLoop(int fd);
    void stopReading();

    std::string name_;
    std::string dir_;
    int bus_ = -1;
    int stop_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<std::uint8_t> received_;
};

// The sequencer clients subscribed to (that is, connected to) addr.
std::vector<snd_seq_addr_t> subscribers(snd_seq_addr_t addr);

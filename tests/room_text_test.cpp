// What the kernel's /proc text says of a device port's output room.

#include <gtest/gtest.h>

#include "midi/alsa/room.h"

namespace {

using midi::alsa::parseRoom;

// As the guest's USB MIDI interface showed it on both kernels, while open.
const char* openOutput =
    "Conformance USB\n"
    "\n"
    "Output 0\n"
    "  Tx bytes     : 16387\n"
    "  Owner PID    : 121\n"
    "  Mode         : native\n"
    "  Buffer size  : 4096\n"
    "  Avail        : 1024\n"
    "Input 0\n"
    "  Rx bytes     : 0\n";

// An interface with two outputs, the second closed, and an open input whose
// fields must not be read as an output's.
const char* twoOutputs =
    "Four Port\n"
    "\n"
    "Output 0\n"
    "  Tx bytes     : 7\n"
    "  Owner PID    : 9\n"
    "  Mode         : native\n"
    "  Buffer size  : 4096\n"
    "  Avail        : 4000\n"
    "Output 1\n"
    "  Tx bytes     : 3\n"
    "Input 1\n"
    "  Rx bytes     : 3\n"
    "  Owner PID    : 110\n"
    "  Buffer size  : 4096\n"
    "  Avail        : 0\n"
    "  Overruns     : 0\n";

TEST(Room, ReadsTheFieldsOfThePortsOwnOutputOnly) {
    struct Case {
        const char* text;
        int port;
        bool known;
        std::size_t avail, size;
        std::uint64_t tx;
    } cases[] = {
        {openOutput, 0, true, 1024, 4096, 16387},
        {twoOutputs, 0, true, 4000, 4096, 7},
        {twoOutputs, 1, false, 0, 0, 0},   // closed: no room shown
        {twoOutputs, 32, true, 4000, 4096, 7},  // device 1's file, its subdevice 0
        {openOutput, 2, false, 0, 0, 0},   // no such output
        {"", 0, false, 0, 0, 0},
        {"Output 0\n  Tx bytes     : 1\n  Buffer size  : 4096\n  Avail        : 5000\n", 0, false, 0, 0, 0},
        {"Output 0\n  Tx bytes     : 1\n  Buffer size  : 4096\n  Avail        : 12x\n", 0, false, 0, 0, 0},
        {"Output 0\n  Tx bytes     : 1\n  Buffer size  : 4096\n  Availability : 12\n", 0, false, 0, 0, 0},
        {"Output 0\n  Tx bytes     : 1\n  Buffer size  : 4096\n  Avail        : 12", 0, true, 12, 4096, 1},  // cut short
        {"Output 00\n  Tx bytes     : 1\n  Buffer size  : 4096\n  Avail        : 12\n", 0, false, 0, 0, 0},
    };
    for (const auto& k : cases) {
        auto room = parseRoom(k.text, k.port);
        ASSERT_EQ(room.has_value(), k.known) << k.text << " port " << k.port;
        if (!room) continue;
        EXPECT_EQ(room->avail, k.avail);
        EXPECT_EQ(room->size, k.size);
        EXPECT_EQ(room->tx, k.tx);
    }
}

TEST(Room, OnlyTheMidiDeviceDriversPortsAreDevicePorts) {
    using midi::alsa::isDevicePort;
    EXPECT_TRUE(isDevicePort(2, 0x90002));    // a USB interface
    EXPECT_FALSE(isDevicePort(0, 0xa0002));   // VirMIDI: software
    EXPECT_FALSE(isDevicePort(-1, 0xa0002));  // Midi Through
    EXPECT_FALSE(isDevicePort(-1, 0x90002));  // a program claiming hardware
    EXPECT_FALSE(isDevicePort(1, 0x190002));  // a synthesizer's port on a card
    EXPECT_EQ(midi::alsa::roomFile(2, 33), "/proc/asound/card2/midi1");
}

TEST(Room, EveryMessageIsCountedWithItsStatusByte) {
    using midi::alsa::wireBytes;
    for (int s : {0x80, 0x9F, 0xA0, 0xB0, 0xE5, 0xF2}) EXPECT_EQ(wireBytes(static_cast<std::uint8_t>(s)), 3u) << s;
    for (int s : {0xC0, 0xDF, 0xF1, 0xF3}) EXPECT_EQ(wireBytes(static_cast<std::uint8_t>(s)), 2u) << s;
    for (int s : {0xF6, 0xF8, 0xFE, 0xFF}) EXPECT_EQ(wireBytes(static_cast<std::uint8_t>(s)), 1u) << s;
}

}  // namespace

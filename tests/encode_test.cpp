// Cutting outgoing packets into MIDI messages, one sequencer event each.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "midi/alsa/encode.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Events = std::vector<std::string>;
using midi::encode::Message;

// "90 3C 7F" for a short message, "[F0 01 F7]" for a piece sent raw.
std::string render(const Message& m) {
    const std::uint8_t* p = m.raw ? m.raw : m.bytes;
    std::string out;
    for (std::size_t i = 0; i < m.size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", p[i]);
        out += hex;
    }
    return m.raw ? "[" + out + "]" : out;
}

struct Encoder : testing::Test {
    std::unique_ptr<midi::encode::Batch> batch = std::make_unique<midi::encode::Batch>();
    std::deque<Bytes> packets;  // raw pieces point into them

    std::int32_t add(Bytes packet) {
        packets.push_back(std::move(packet));
        return midi::encode::add(batch.get(), packets.back().data(), packets.back().size());
    }

    // The events of one packet to a destination, with its system exclusive
    // open or not before it.
    Events one(Bytes packet, bool open = false) {
        batch->count = 0;
        batch->open = open;
        std::int32_t status = add(std::move(packet));
        if (status != 0) return {"status " + std::to_string(status)};
        return events();
    }

    Events events() const {
        Events out;
        for (std::size_t i = 0; i < batch->count; ++i) out.push_back(render(batch->message[i]));
        return out;
    }
};

TEST_F(Encoder, EveryKindOfMessageIsOneEvent) {
    struct Case {
        const char* what;
        Bytes packet;
        Events want;
    } cases[] = {
        {"note off", {0x80, 0x3C, 0x40}, {"80 3C 40"}},
        {"note on", {0x91, 0x3C, 0x7F}, {"91 3C 7F"}},
        {"note on with velocity 0", {0x9F, 0x3C, 0x00}, {"9F 3C 00"}},
        {"key pressure", {0xA2, 0x3C, 0x10}, {"A2 3C 10"}},
        {"controller", {0xB3, 0x07, 0x64}, {"B3 07 64"}},
        {"program change", {0xC4, 0x05}, {"C4 05"}},
        {"channel pressure", {0xD5, 0x40}, {"D5 40"}},
        {"pitch bend", {0xE6, 0x00, 0x40}, {"E6 00 40"}},
        {"MTC quarter frame", {0xF1, 0x21}, {"F1 21"}},
        {"song position", {0xF2, 0x10, 0x20}, {"F2 10 20"}},
        {"song select", {0xF3, 0x05}, {"F3 05"}},
        {"tune request", {0xF6}, {"F6"}},
        {"clock", {0xF8}, {"F8"}},
        {"start", {0xFA}, {"FA"}},
        {"continue", {0xFB}, {"FB"}},
        {"stop", {0xFC}, {"FC"}},
        {"active sensing", {0xFE}, {"FE"}},
        {"reset", {0xFF}, {"FF"}},
        {"undefined real-time F9", {0xF9}, {"[F9]"}},
        {"undefined real-time FD", {0xFD}, {"[FD]"}},
        {"system exclusive", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {"[F0 7E 7F 09 01 F7]"}},
        {"empty system exclusive", {0xF0, 0xF7}, {"[F0 F7]"}},
        {"messages in order", {0x90, 0x3C, 0x7F, 0xC0, 0x01, 0xF0, 0x01, 0xF7, 0xF6, 0x80, 0x3C, 0x00},
         {"90 3C 7F", "C0 01", "[F0 01 F7]", "F6", "80 3C 00"}},
    };
    for (const auto& c : cases) EXPECT_EQ(one(c.packet), c.want) << c.what;
}

TEST_F(Encoder, RunningStatusWithinAPacket) {
    struct Case {
        const char* what;
        Bytes packet;
        Events want;
    } cases[] = {
        {"notes", {0x90, 0x3C, 0x7F, 0x3E, 0x7F, 0x3C, 0x00}, {"90 3C 7F", "90 3E 7F", "90 3C 00"}},
        {"two byte messages", {0xC0, 0x01, 0x02, 0x03}, {"C0 01", "C0 02", "C0 03"}},
        {"a new status takes over", {0x90, 0x3C, 0x7F, 0xB0, 0x07, 0x64, 0x0A, 0x40},
         {"90 3C 7F", "B0 07 64", "B0 0A 40"}},
        {"kept across real-time", {0x90, 0x3C, 0x7F, 0xF8, 0x3E, 0x7F}, {"90 3C 7F", "F8", "90 3E 7F"}},
    };
    for (const auto& c : cases) EXPECT_EQ(one(c.packet), c.want) << c.what;
}

TEST_F(Encoder, RealTimeStandsAnywhere) {
    struct Case {
        const char* what;
        Bytes packet;
        bool open;
        Events want;
    } cases[] = {
        {"inside a note", {0x90, 0x3C, 0xF8, 0x7F}, false, {"F8", "90 3C 7F"}},
        {"right after a status", {0xE0, 0xFE, 0x00, 0x40}, false, {"FE", "E0 00 40"}},
        {"inside system exclusive", {0xF0, 0x01, 0xF8, 0x02, 0xF7}, false, {"[F0 01]", "F8", "[02 F7]"}},
        {"right after F0", {0xF0, 0xF8, 0x01, 0xF7}, false, {"[F0]", "F8", "[01 F7]"}},
        {"right before F7", {0xF0, 0x01, 0xFA, 0xF7}, false, {"[F0 01]", "FA", "[F7]"}},
        {"several in a row", {0xF0, 0x01, 0xF8, 0xF9, 0xFE, 0x02, 0xF7}, false,
         {"[F0 01]", "F8", "[F9]", "FE", "[02 F7]"}},
        {"alone while system exclusive is open", {0xF8}, true, {"F8"}},
        {"inside the rest of system exclusive", {0x03, 0xF8, 0x04}, true, {"[03]", "F8", "[04]"}},
    };
    for (const auto& c : cases) EXPECT_EQ(one(c.packet, c.open), c.want) << c.what;
}

TEST_F(Encoder, SystemExclusiveSpansPackets) {
    struct Step {
        Bytes packet;
        Events want;  // this packet's events
        bool openAfter;
    } steps[] = {
        {{0xF0, 0x43, 0x10}, {"[F0 43 10]"}, true},
        {{0x01, 0x02, 0x03}, {"[01 02 03]"}, true},
        {{0xF8}, {"F8"}, true},
        {{0x04, 0xF7, 0x90, 0x3C, 0x7F}, {"[04 F7]", "90 3C 7F"}, false},
        {{0xF0, 0x01}, {"[F0 01]"}, true},
        {{0xF7}, {"[F7]"}, false},
    };
    for (const auto& s : steps) {
        std::size_t before = batch->count;
        ASSERT_EQ(add(s.packet), 0);
        Events all = events();
        EXPECT_EQ(Events(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()), s.want);
        EXPECT_EQ(batch->open, s.openAfter);
    }
}

// What a destination has open after each event: where a failed send leaves it.
TEST_F(Encoder, EachEventTellsWhetherSystemExclusiveIsOpenAfterIt) {
    one({0xF8, 0xF0, 0x01, 0xF8, 0x02, 0xF7, 0xF8, 0x90, 0x3C, 0x7F});
    std::vector<bool> open;
    for (std::size_t i = 0; i < batch->count; ++i) open.push_back(batch->message[i].openAfter);
    EXPECT_EQ(open, (std::vector<bool>{false, true, true, false, false, false}));
}

// What was sent of it cannot be recalled; refusing would lock the destination out.
TEST_F(Encoder, ANewMessageEndsSystemExclusiveLeftOpenByAnEarlierPacket) {
    struct Case {
        const char* what;
        Bytes packet;
        Events want;
        bool openAfter;
    } cases[] = {
        {"note", {0x90, 0x3C, 0x7F}, {"90 3C 7F"}, false},
        {"after real-time", {0xF8, 0xC0, 0x01}, {"F8", "C0 01"}, false},
        {"a new system exclusive", {0xF0, 0x01, 0xF7}, {"[F0 01 F7]"}, false},
        {"a new system exclusive left open", {0xF0, 0x01}, {"[F0 01]"}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(one(c.packet, true), c.want) << c.what;
        EXPECT_EQ(batch->open, c.openAfter) << c.what;
    }
}

TEST_F(Encoder, RefusesPacketsThatCannotBeCarriedWhole) {
    struct Case {
        const char* what;
        Bytes packet;
        bool open;
    } cases[] = {
        {"data bytes alone", {0x3C, 0x7F}, false},
        {"data before a valid message", {0x3C, 0x90, 0x3C, 0x7F}, false},
        {"data after real-time alone", {0xF8, 0x3C}, false},
        {"running status after system exclusive", {0x90, 0x3C, 0x7F, 0xF0, 0x01, 0xF7, 0x3C, 0x7F}, false},
        {"running status after a system common message", {0x90, 0x3C, 0x7F, 0xF3, 0x01, 0x3C, 0x7F}, false},
        {"a data byte too many after quarter frame", {0xF1, 0x01, 0x02}, false},
        {"a data byte too many after song position", {0xF2, 0x00, 0x00, 0x00}, false},
        {"a data byte after tune request", {0xF6, 0x01}, false},
        {"data after system exclusive ended", {0x01, 0xF7, 0x02}, true},
        {"note cut at the end", {0x90, 0x3C}, false},
        {"status alone", {0xB0}, false},
        {"two byte message cut at the end", {0xC0}, false},
        {"pitch bend cut at the end", {0xE0, 0x00}, false},
        {"song position cut at the end", {0xF2, 0x00}, false},
        {"quarter frame cut at the end", {0xF1}, false},
        {"message cut at the end behind real-time", {0x90, 0x3C, 0xF8}, false},
        {"running status message cut at the end", {0x90, 0x3C, 0x7F, 0x3E}, false},
        {"note cut by another status", {0x90, 0x3C, 0x80, 0x3C, 0x00}, false},
        {"note cut by system exclusive", {0x90, 0x3C, 0xF0, 0x01, 0xF7}, false},
        {"system exclusive cut by a note", {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x7F}, false},
        {"system exclusive cut by another", {0xF0, 0x01, 0xF0, 0x02, 0xF7}, false},
        {"continued system exclusive cut by a note", {0x01, 0x02, 0x90, 0x3C, 0x7F}, true},
        {"end of system exclusive with none open", {0xF7}, false},
        {"end of system exclusive twice", {0xF0, 0x01, 0xF7, 0xF7}, false},
        {"undefined F4", {0xF4}, false},
        {"undefined F5 with data", {0xF5, 0x01}, false},
        {"undefined F4 ending system exclusive", {0x01, 0xF4}, true},
    };
    for (const auto& c : cases) {
        batch->count = 0;
        batch->open = false;
        ASSERT_EQ(add({0xF0, 0x01}), 0);  // something already in the batch
        batch->open = c.open;
        EXPECT_EQ(add(c.packet), -EINVAL) << c.what;
        EXPECT_EQ(batch->count, 1u) << c.what;
        EXPECT_EQ(batch->open, c.open) << c.what;
    }
}

// Running status belongs to one packet.
TEST_F(Encoder, EachPacketStartsWithoutRunningStatus) {
    ASSERT_EQ(add({0x90, 0x3C, 0x7F}), 0);
    EXPECT_EQ(add({0x3E, 0x7F}), -EINVAL);
    EXPECT_EQ(events(), Events{"90 3C 7F"});
}

TEST_F(Encoder, AFullBatchRefusesThePacketWhole) {
    Bytes clocks(256, 0xF8);
    ASSERT_EQ(add(clocks), 0);
    ASSERT_EQ(add(clocks), 0);
    EXPECT_EQ(add({0xF8}), -ENOBUFS);
    EXPECT_EQ(add({0xF0, 0x01}), -ENOBUFS);
    EXPECT_EQ(batch->count, midi::encode::capacity);
    EXPECT_FALSE(batch->open);
}

// A random stream with every kind of message and system exclusive of any
// length, real-time sprinkled into it, cut into packets wherever no short
// message is under way: the events carry every byte, in order.
TEST_F(Encoder, AnyValidStreamComesOutByteForByte) {
    std::mt19937 random(11);
    auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const std::uint8_t statuses[] = {0x80, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xEF, 0xF1, 0xF2, 0xF3, 0xF6};
    const std::uint8_t realTime[] = {0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};

    for (int round = 0; round < 200; ++round) {
        Bytes stream;
        std::vector<std::size_t> cuts;  // where a packet may end
        for (int m = 0; m < 60; ++m) {
            if (pick(0, 3) == 0) {
                stream.push_back(0xF0);
                int length = pick(0, 1500);
                for (int i = 0; i < length; ++i) {
                    if (pick(0, 50) == 0) stream.push_back(realTime[pick(0, 7)]);
                    stream.push_back(static_cast<std::uint8_t>(pick(0, 127)));
                    cuts.push_back(stream.size());
                }
                stream.push_back(0xF7);
            } else if (pick(0, 5) == 0) {
                stream.push_back(realTime[pick(0, 7)]);
            } else {
                std::uint8_t s = statuses[pick(0, 10)];
                int data = s == 0xF6 ? 0 : (s >= 0xC0 && s < 0xE0) || s == 0xF1 || s == 0xF3 ? 1 : 2;
                stream.push_back(s);
                for (int i = 0; i < data; ++i) stream.push_back(static_cast<std::uint8_t>(pick(0, 127)));
            }
            cuts.push_back(stream.size());
        }

        batch->count = 0;
        batch->open = false;
        Bytes out;
        std::size_t start = 0;
        auto send = [&](std::size_t end) {
            Bytes packet(stream.begin() + static_cast<std::ptrdiff_t>(start),
                         stream.begin() + static_cast<std::ptrdiff_t>(end));
            ASSERT_LE(packet.size(), 256u);
            ASSERT_EQ(add(packet), 0);
            for (std::size_t i = 0; i < batch->count; ++i) {
                const Message& m = batch->message[i];
                const std::uint8_t* p = m.raw ? m.raw : m.bytes;
                out.insert(out.end(), p, p + m.size);
            }
            batch->count = 0;
            start = end;
        };
        std::size_t previous = 0;
        for (std::size_t cut : cuts) {
            if (cut - start > 256) send(previous);
            if (pick(0, 2) == 0) send(cut);
            previous = cut;
        }
        if (start != stream.size()) send(stream.size());
        ASSERT_EQ(start, stream.size());
        ASSERT_EQ(out, stream) << "round " << round;
        EXPECT_FALSE(batch->open);
    }
}

}  // namespace

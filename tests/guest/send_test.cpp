// Send requests on a real sequencer: what a receiving client gets, byte for
// byte, and what the host is told.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bridge.h"
#include "peer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

std::string request(int id, const std::string& dest, const Bytes& bytes) {
    return json{{"id", id}, {"dest", dest}, {"bytes", bytes}}.dump() + "\n";
}

// A send reply: has "ok"; ports reports between requests are passed over.
std::optional<json> reply(Bridge& bridge) {
    while (auto line = bridge.line()) {
        auto j = json::parse(*line, nullptr, false);
        if (j.is_object() && j.contains("ok")) return j;
    }
    return std::nullopt;
}

// The reply's error, "" for success, "no reply" when none came.
std::string send(Bridge& bridge, const std::string& dest, const Bytes& bytes, int id = 1) {
    bridge.write(request(id, dest, bytes));
    auto r = reply(bridge);
    if (!r) return "no reply";
    EXPECT_EQ(r->value("id", -1), id);
    return r->value("ok", false) ? "" : r->value("error", "error without text");
}

Bytes sysex(std::size_t length) {
    Bytes bytes{0xF0};
    for (std::size_t i = 1; i + 1 < length; ++i) bytes.push_back(static_cast<std::uint8_t>(i % 128));
    bytes.push_back(0xF7);
    return bytes;
}

// A receiving peer, then the bridge, which lists it from the start.
class Sending : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::access("/dev/snd/seq", F_OK), 0) << "the sound modules are not loaded";
        in = peer.addPort("Receiver in");
        bridge.emplace();
        ASSERT_TRUE(bridge->line());  // the first ports report
    }

    // Everything the peer received, once at least count bytes are in.
    Bytes received(std::size_t count) {
        EXPECT_TRUE(peer.waitForBytes(in, count)) << "got " << peer.bytes(in).size() << " of " << count;
        return peer.bytes(in);
    }

    Peer peer{"Receiver"};
    int in = -1;
    std::optional<Bridge> bridge;
};

TEST_F(Sending, NoteOnArrivesFromTheBridgesOutputPort) {
    ASSERT_EQ(send(*bridge, "Receiver in", {0x90, 60, 100}), "");
    EXPECT_EQ(received(3), (Bytes{0x90, 60, 100}));
    auto ports = sequencerPorts();
    auto out = std::find_if(ports.begin(), ports.end(), [&](const SeqPort& p) {
        return p.pid == bridge->pid() && p.portName == "Quorvane Monitor out";
    });
    ASSERT_NE(out, ports.end());
    auto events = peer.received();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source.client, out->client);
    EXPECT_EQ(events[0].source.port, out->port);
    EXPECT_EQ(events[0].type, SND_SEQ_EVENT_NOTEON);
}

TEST_F(Sending, EveryKindOfMessageArrivesByteForByte) {
    struct Case {
        const char* what;
        Bytes bytes;
        Bytes arrives;
    } cases[] = {
        {"note off", {0x81, 60, 64}, {0x81, 60, 64}},
        {"note on with velocity 0", {0x92, 60, 0}, {0x92, 60, 0}},
        {"key pressure", {0xA3, 60, 10}, {0xA3, 60, 10}},
        {"controller", {0xB4, 7, 100}, {0xB4, 7, 100}},
        {"program change", {0xC5, 5}, {0xC5, 5}},
        {"channel pressure", {0xD6, 64}, {0xD6, 64}},
        {"pitch bend, lowest", {0xE7, 0, 0}, {0xE7, 0, 0}},
        {"pitch bend, highest", {0xEF, 127, 127}, {0xEF, 127, 127}},
        {"quarter frame", {0xF1, 0x35}, {0xF1, 0x35}},
        {"song position", {0xF2, 0x01, 0x7F}, {0xF2, 0x01, 0x7F}},
        {"song select", {0xF3, 9}, {0xF3, 9}},
        {"tune request", {0xF6}, {0xF6}},
        {"real-time", {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF}, {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF}},
        {"two messages in order", {0x90, 60, 100, 0x80, 60, 0}, {0x90, 60, 100, 0x80, 60, 0}},
        {"running status", {0x90, 60, 100, 64, 100}, {0x90, 60, 100, 0x90, 64, 100}},
        {"6-byte system exclusive", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}},
        {"256-byte system exclusive", sysex(256), sysex(256)},
        {"clock inside system exclusive", {0xF0, 1, 0xF8, 2, 0xF7}, {0xF0, 1, 0xF8, 2, 0xF7}},
    };
    std::size_t total = 0;
    int id = 0;
    for (const auto& c : cases) {
        ASSERT_EQ(send(*bridge, "Receiver in", c.bytes, ++id), "") << c.what;
        total += c.arrives.size();
        Bytes all = received(total);
        EXPECT_EQ(Bytes(all.end() - static_cast<std::ptrdiff_t>(c.arrives.size()), all.end()), c.arrives)
            << c.what;
    }
}

TEST_F(Sending, AClockByteAloneIsAClockEvent) {
    ASSERT_EQ(send(*bridge, "Receiver in", {0xF8}), "");
    EXPECT_EQ(received(1), Bytes{0xF8});
    EXPECT_EQ(peer.received().at(0).type, SND_SEQ_EVENT_CLOCK);
}

TEST_F(Sending, SystemExclusiveSpreadOverRequestsArrivesWhole) {
    struct Case {
        const char* what;
        std::size_t length;
        std::size_t perRequest;
    } cases[] = {
        {"1,000 bytes in four requests", 1000, 250},
        {"a 64 KiB dump in full requests", 65536, 256},
    };
    std::size_t total = 0;
    int id = 0;
    for (const auto& c : cases) {
        Bytes dump = sysex(c.length);
        for (std::size_t at = 0; at < dump.size(); at += c.perRequest) {
            auto end = dump.begin() + static_cast<std::ptrdiff_t>(std::min(at + c.perRequest, dump.size()));
            ASSERT_EQ(send(*bridge, "Receiver in", Bytes(dump.begin() + static_cast<std::ptrdiff_t>(at), end), ++id),
                      "")
                << c.what << " at " << at;
        }
        total += dump.size();
        Bytes all = received(total);
        EXPECT_TRUE(std::equal(dump.begin(), dump.end(), all.end() - static_cast<std::ptrdiff_t>(dump.size())))
            << c.what;
    }
}

TEST_F(Sending, BadPacketsAreRefusedWhole) {
    const Bytes bad[] = {
        {60, 100},                    // data with no status
        {0x90, 60},                   // cut short
        {0x90, 60, 100, 0x80, 60},    // cut short after a good message
        {0xF0, 1, 2, 0x90, 60, 100},  // system exclusive cut by a note
        {0xF7},                       // the end of system exclusive with none open
        {0xF4},                       // undefined
    };
    int id = 0;
    for (const auto& bytes : bad)
        EXPECT_EQ(send(*bridge, "Receiver in", bytes, ++id), "send failed (-22)") << testing::PrintToString(bytes);
    ASSERT_EQ(send(*bridge, "Receiver in", {0xF6}, ++id), "");
    EXPECT_EQ(received(1), Bytes{0xF6}) << "something of a refused packet arrived";
}

TEST_F(Sending, APortThatWentAwayIsNotReached) {
    int gone = peer.addPort("Gone in");
    peer.removePort(gone);
    std::string error = send(*bridge, "Receiver: Gone in", {0x90, 60, 100});
    EXPECT_TRUE(error == "Receiver: Gone in is not connected" || error == "send failed (-2)") << error;
}

TEST_F(Sending, APortIsReachableBeforeItIsReported) {
    Peer late("Late");
    int port = late.addPort("Late in");
    ASSERT_EQ(send(*bridge, "Late in", {0x90, 61, 1}), "");
    EXPECT_TRUE(late.waitForBytes(port, 3));
    EXPECT_EQ(late.bytes(port), (Bytes{0x90, 61, 1}));
}

// The bridge may not wait for a receiver: a full queue is an error at once.
TEST_F(Sending, AReceiverThatNeverReadsCostsOneReplyPerRequest) {
    Peer deaf("Deaf", Peer::Reads::never);
    deaf.addPort("Deaf in");
    std::string requests;
    for (int id = 1; id <= 1000; ++id) requests += request(id, "Deaf in", {0x90, 60, 100});
    bridge->write(requests + "{\"cmd\":\"ports\"}\n");

    std::map<int, int> replies;
    std::map<std::string, int> errors;
    bool reported = false;
    while (auto line = bridge->line()) {
        auto j = json::parse(*line, nullptr, false);
        if (j.contains("ports")) {
            if (replies.size() == 1000) {
                reported = true;
                break;
            }
            continue;  // the deaf peer's arrival
        }
        ++replies[j.value("id", 0)];
        if (!j.value("ok", false)) ++errors[j.value("error", "")];
    }
    EXPECT_TRUE(reported) << "no ports report after the replies";
    ASSERT_EQ(replies.size(), 1000u);
    for (const auto& [id, count] : replies) EXPECT_EQ(count, 1) << "id " << id;
    EXPECT_GT(errors["send failed (-11)"], 0);
    errors.erase("send failed (-11)");
    EXPECT_TRUE(errors.empty()) << errors.begin()->first;
}

TEST_F(Sending, DataBytesNeedASystemExclusiveOpenAtTheirDestination) {
    EXPECT_EQ(send(*bridge, "Receiver in", {1, 2, 3}, 1), "send failed (-22)");
    ASSERT_EQ(send(*bridge, "Receiver in", {0xF0, 1}, 2), "");
    EXPECT_EQ(send(*bridge, "Midi Through Port-0", {2, 3}, 3), "send failed (-22)")
        << "open at another destination only";
    ASSERT_EQ(send(*bridge, "Receiver in", {2, 0xF7}, 4), "");
    EXPECT_EQ(send(*bridge, "Receiver in", {3}, 5), "send failed (-22)") << "closed again";
    EXPECT_EQ(received(4), (Bytes{0xF0, 1, 2, 0xF7}));
}

}  // namespace

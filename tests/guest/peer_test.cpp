// The test peers themselves: later tests trust what they record.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "peer.h"

namespace {

bool listed(int client, int port, const std::string& name) {
    auto ports = sequencerPorts();
    return std::any_of(ports.begin(), ports.end(),
                       [&](const SeqPort& p) { return p.client == client && p.port == port && p.portName == name; });
}

struct Message {
    const char* name;
    std::vector<std::uint8_t> bytes;
};

void PrintTo(const Message& m, std::ostream* os) { *os << m.name; }

class PeerRecords : public testing::TestWithParam<Message> {};

TEST_P(PeerRecords, TheBytesAsSentAndWhoSentThem) {
    Peer listener("Listener");
    int in = listener.addPort("Listener in");
    Peer sender("Sender");
    int out = sender.addPort("Sender out");
    const auto& bytes = GetParam().bytes;

    ASSERT_EQ(sender.send(out, listener.address(in), bytes), 0);
    ASSERT_TRUE(listener.waitForBytes(in, bytes.size()));
    EXPECT_EQ(listener.bytes(in), bytes);
    for (const Received& r : listener.received()) {
        EXPECT_EQ(r.source.client, sender.client());
        EXPECT_EQ(r.source.port, out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, PeerRecords,
    testing::Values(Message{"NoteOn", {0x90, 60, 100}}, Message{"ProgramChange", {0xC3, 5}},
                    Message{"PitchBend", {0xE0, 0x00, 0x40}},
                    // Two of a kind come out whole, not in running status.
                    Message{"TwoNotes", {0x91, 60, 100, 0x91, 64, 0}},
                    Message{"SysEx", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Peers, PortsComeAndGoOnDemand) {
    auto peer = std::make_unique<Peer>("Comings");
    int port = peer->addPort("first");
    ASSERT_TRUE(listed(peer->client(), port, "first"));
    auto ports = sequencerPorts();
    auto it = std::find_if(ports.begin(), ports.end(), [&](const SeqPort& p) { return p.client == peer->client(); });
    ASSERT_NE(it, ports.end());
    EXPECT_EQ(it->clientName, "Comings");
    EXPECT_EQ(it->caps & (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE),
              SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);

    peer->renamePort(port, "renamed");
    EXPECT_TRUE(listed(peer->client(), port, "renamed"));
    peer->removePort(port);
    EXPECT_FALSE(listed(peer->client(), port, "renamed"));

    int second = peer->addPort("second");
    int client = peer->client();
    peer.reset();
    EXPECT_FALSE(listed(client, second, "second"));
}

TEST(Peers, ChangeCapabilitiesAndClientNameOnDemand) {
    Peer peer("Changing");
    int port = peer.addPort("port");
    // Not the inactive bit: newer kernels leave inactive ports out of listings.
    peer.setCapabilities(port, SND_SEQ_PORT_CAP_READ);
    peer.rename("Changed");
    auto ports = sequencerPorts();
    auto it = std::find_if(ports.begin(), ports.end(), [&](const SeqPort& p) { return p.client == peer.client(); });
    ASSERT_NE(it, ports.end());
    EXPECT_EQ(it->caps, SND_SEQ_PORT_CAP_READ);
    EXPECT_EQ(it->clientName, "Changed");
}

// Announcement types too: the mirror tests forge them.
TEST(Peers, SendAnyEventStraightToAPort) {
    Peer listener("Listener");
    int in = listener.addPort("Listener in");
    Peer sender("Sender");
    int out = sender.addPort("Sender out");
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    ev.type = SND_SEQ_EVENT_PORT_START;
    ev.data.addr = {14, 0};
    ASSERT_EQ(sender.sendEvent(out, listener.address(in), ev), 0);
    for (int i = 0; i < 500 && listener.received().empty(); ++i) std::this_thread::sleep_for(10ms);
    auto got = listener.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, SND_SEQ_EVENT_PORT_START);
    EXPECT_EQ(got[0].source.client, sender.client()) << "the sequencer names the true sender";
}

TEST(Peers, OneThatNeverReadsFillsUp) {
    Peer deaf("Deaf", Peer::Reads::never);
    int in = deaf.addPort("Deaf in");
    Peer sender("Sender");
    int out = sender.addPort("Sender out");
    int status = 0;
    for (int i = 0; i < 10000 && status == 0; ++i) status = sender.send(out, deaf.address(in), {0x90, 60, 100});
    EXPECT_EQ(status, -EAGAIN);
}

}  // namespace

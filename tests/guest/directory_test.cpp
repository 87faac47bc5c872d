// The destinations the bridge reports on a real sequencer: which ports, under
// what names and ids, and when it reports them unasked.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "bridge.h"
#include "peer.h"

namespace {

using Report = std::map<std::string, std::int32_t>;  // name -> uid

std::optional<Report> portsReport(const std::optional<std::string>& line) {
    if (!line) return std::nullopt;
    auto json = nlohmann::json::parse(*line, nullptr, false);
    if (!json.is_object() || !json.contains("ports") || !json["ports"].is_array()) return std::nullopt;
    Report report;
    for (const auto& p : json["ports"]) report[p.at("name").get<std::string>()] = p.at("uid").get<std::int32_t>();
    return report;
}

std::vector<std::string> names(const Report& report) {
    std::vector<std::string> out;
    for (const auto& [name, uid] : report) out.push_back(name);
    return out;
}

// A client of the test's own for ports a Peer does not make.
class RawClient {
public:
    explicit RawClient(const std::string& name) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) seq_ = nullptr;
        if (seq_) snd_seq_set_client_name(seq_, name.c_str());
    }
    ~RawClient() {
        if (seq_) snd_seq_close(seq_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    int port(const std::string& name, unsigned caps, unsigned type) {
        return seq_ ? snd_seq_create_simple_port(seq_, name.c_str(), caps, type) : -1;
    }

private:
    snd_seq_t* seq_ = nullptr;
};

constexpr unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned midiApp = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

class Directory : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::access("/dev/snd/seq", F_OK), 0) << "the sound modules are not loaded"; }
};

TEST_F(Directory, ListsWritableMidiPortsOfOthersUnderTheirNames) {
    Peer peer("Listing Peer");
    peer.addPort("Listing Peer in");
    peer.addPort("Keys");
    RawClient odd("Odd Ports");
    ASSERT_GE(odd.port("Synth only", writable, SND_SEQ_PORT_TYPE_SYNTH), 0);
    ASSERT_GE(odd.port("Read only", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, midiApp), 0);
    ASSERT_GE(odd.port("Not subscribable", SND_SEQ_PORT_CAP_WRITE, midiApp), 0);
    ASSERT_GE(odd.port("No export", writable | SND_SEQ_PORT_CAP_NO_EXPORT, midiApp), 0);
    ASSERT_GE(odd.port("Hardware only", writable, SND_SEQ_PORT_TYPE_HARDWARE), 0);
    ASSERT_GE(odd.port("Inactive", writable | (1u << 8), midiApp), 0);

    Bridge bridge;
    auto report = portsReport(bridge.line());
    ASSERT_TRUE(report);
    auto listed = names(*report);
    for (const char* name : {"Midi Through Port-0", "Virtual Raw MIDI 0-0: VirMIDI 0-0", "Listing Peer in",
                             "Listing Peer: Keys", "Odd Ports: Synth only"})
        EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;
    for (const auto& name : listed) {
        EXPECT_EQ(name.find("Quorvane Monitor"), std::string::npos) << "our own port: " << name;
        EXPECT_EQ(name.find("System"), std::string::npos) << "a System port: " << name;
        if (name.rfind("Odd Ports", 0) == 0) {
            EXPECT_EQ(name, "Odd Ports: Synth only") << "no destination";
        }
    }
}

TEST_F(Directory, IdsAreDistinctAndSurviveRestartsAndReplugging) {
    Report first;
    {
        Peer peer("Replugged");
        peer.addPort("Replugged in");
        peer.addPort("Out B");
        Bridge bridge;
        auto report = portsReport(bridge.line());
        ASSERT_TRUE(report);
        first = *report;
    }
    // Another client in between moves the peer to another client number.
    Peer before("Before");
    before.addPort("Before in");
    Peer peer("Replugged");
    peer.addPort("Replugged in");
    peer.addPort("Out B");
    Bridge bridge;
    auto second = portsReport(bridge.line());
    ASSERT_TRUE(second);

    std::set<std::int32_t> ids;
    for (const auto& [name, uid] : *second) {
        EXPECT_NE(uid, 0) << name;
        EXPECT_TRUE(ids.insert(uid).second) << "id shared by " << name;
        if (first.count(name)) {
            EXPECT_EQ(uid, first[name]) << name;
        }
    }
    EXPECT_TRUE(second->count("Replugged in"));
    EXPECT_TRUE(second->count("Replugged: Out B"));
    EXPECT_EQ(first.size() + 1, second->size()) << "all but \"Before in\" listed in both";
}

// The client's start and its port's may come as one report or as two.
TEST_F(Directory, PortsComingAndGoingAreReportedUnasked) {
    Bridge bridge;
    ASSERT_TRUE(portsReport(bridge.line()));
    Peer peer("Newcomer");
    int port = peer.addPort("Newcomer in");
    std::optional<Report> report;
    do report = portsReport(bridge.line(1s));
    while (report && !report->count("Newcomer in"));
    ASSERT_TRUE(report) << "no report listing a port that came";

    peer.removePort(port);
    report = portsReport(bridge.line(1s));
    ASSERT_TRUE(report) << "no report after a port went";
    EXPECT_FALSE(report->count("Newcomer in"));
}

// Its own ports starting must not make it report: the host would see a
// report it did not ask for before the one it did.
TEST_F(Directory, OwnPortsGiveNoReport) {
    Bridge bridge;
    ASSERT_TRUE(portsReport(bridge.line()));
    bridge.write("{\"cmd\":\"ports\"}\n{\"id\":7,\"dest\":\"Nobody\",\"bytes\":[248]}\n");
    ASSERT_TRUE(portsReport(bridge.line()));
    auto reply = bridge.line();
    ASSERT_TRUE(reply);
    EXPECT_EQ(nlohmann::json::parse(*reply).value("id", 0), 7) << *reply;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

TEST_F(Directory, OddNamesComeOnOneLineAsValidText) {
    const std::string e = "\xC3\xA9", fffd = "\xEF\xBF\xBD";
    Peer peer("Odd \"Names\"");
    peer.addPort("back\\slash Caf" + e + " \xFF");
    peer.addPort(repeat("x", 36) + repeat(e, 14));  // 64 bytes: the sequencer keeps 63
    Bridge bridge;
    auto line = bridge.line();
    ASSERT_TRUE(line);
    auto report = portsReport(line);
    ASSERT_TRUE(report) << *line;
    EXPECT_TRUE(report->count("Odd \"Names\": back\\slash Caf" + e + " " + fffd)) << *line;
    EXPECT_TRUE(report->count("Odd \"Names\": " + repeat("x", 36) + repeat(e, 13) + fffd)) << *line;
    EXPECT_TRUE(report->count("Midi Through Port-0")) << "one odd port spoils the report";
}

}  // namespace

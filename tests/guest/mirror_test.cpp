// The bridge's picture of the sequencer's clients and ports, kept from its
// announcements: every change reaches the next send and a report, forged
// announcements change nothing, and a storm of changes costs a few reports.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "peer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::set<std::string>;
using nlohmann::json;

constexpr unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned inactive = 1u << 8;
const Bytes note{0x90, 60, 100};

std::string request(int id, const std::string& dest, const Bytes& bytes) {
    return json{{"id", id}, {"dest", dest}, {"bytes", bytes}}.dump() + "\n";
}

bool isReport(const json& j) { return j.is_object() && j.contains("ports") && j["ports"].is_array(); }

Names names(const json& report) {
    Names out;
    for (const auto& p : report["ports"]) out.insert(p.value("name", ""));
    return out;
}

// The listed names that start with prefix.
Names namesFrom(const json& report, const std::string& prefix) {
    Names out;
    for (const auto& name : names(report))
        if (name.rfind(prefix, 0) == 0) out.insert(name);
    return out;
}

// Whether the pipe to the host is full: it holds a good part of what a pipe
// takes, and no more comes, so what the bridge writes now waits in its own
// memory.
bool pipeFull(const Bridge& bridge) {
    std::size_t before = bridge.unreadOutput();
    std::this_thread::sleep_for(100ms);
    return before >= 16 * 1024 && bridge.unreadOutput() == before;
}

std::string print(const Names& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
    return "{" + out + "}";
}

class Mirror : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::access("/dev/snd/seq", F_OK), 0) << "the sound modules are not loaded"; }

    // Starts the bridge; its first report, or an empty one.
    json start() {
        bridge.emplace();
        auto line = bridge->line();
        json j = line ? json::parse(*line, nullptr, false) : json::object();
        EXPECT_TRUE(isReport(j)) << line.value_or("no line");
        return isReport(j) ? j : json{{"ports", json::array()}};
    }

    // The next line as JSON: a report goes to unasked as well.
    std::optional<json> next(std::chrono::milliseconds timeout = 5s) {
        auto line = bridge->line(timeout);
        if (!line) return std::nullopt;
        json j = json::parse(*line, nullptr, false);
        if (isReport(j)) unasked.push_back(j);
        else if (!j.is_object() || !j.contains("ok")) ADD_FAILURE() << "neither a report nor a reply: " << *line;
        return j;
    }

    // The reply to the request with id; reports on the way are kept in unasked.
    std::optional<json> replyTo(int id) {
        while (auto j = next()) {
            if (!j->contains("ok")) continue;
            if (j->value("id", -1) == id) return j;
            ADD_FAILURE() << "a reply out of turn: " << j->dump();
        }
        return std::nullopt;
    }

    // The reply's error, "" for success, "no reply" when none came.
    std::string send(const std::string& dest, const Bytes& bytes) {
        int id = ++lastId;
        bridge->write(request(id, dest, bytes));
        auto r = replyTo(id);
        if (!r) return "no reply";
        return r->value("ok", false) ? "" : r->value("error", "error without text");
    }

    // Every report up to the reply to a request sent after a ports command:
    // the asked one and any that came unasked around it, the newest last.
    std::vector<json> ask() {
        int id = ++lastId;
        bridge->write("{\"cmd\":\"ports\"}\n" + request(id, "Nobody", {0xF8}));
        std::size_t from = unasked.size();
        auto r = replyTo(id);
        EXPECT_TRUE(r) << "no reply after a ports command";
        std::vector<json> reports(unasked.begin() + static_cast<std::ptrdiff_t>(from), unasked.end());
        unasked.resize(from);
        EXPECT_FALSE(reports.empty()) << "a ports command without a report";
        if (reports.empty()) reports.push_back(json{{"ports", json::array()}});
        return reports;
    }

    // Waits for a report that matches, among those kept and those to come.
    bool awaitReport(const std::function<bool(const Names&)>& matches, std::chrono::milliseconds timeout = 5s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (std::size_t seen = 0;; ++seen) {
            while (seen >= unasked.size()) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                  std::chrono::steady_clock::now());
                if (left <= 0ms || !next(left)) return false;
            }
            if (matches(names(unasked[seen]))) return true;
        }
    }

    std::optional<Bridge> bridge;
    std::vector<json> unasked;  // reports that came while waiting for something else
    int lastId = 0;
};

// On 6.12 the sequencer announces a rename; on 6.1 it does not, and the bridge
// learns of it only when it checks a target before sending.
TEST_F(Mirror, RenamesReachTheNextSendAndAnUnaskedReport) {
    struct Case {
        const char* client;
        const char* port;
        const char* newClient;  // nullptr: the port is renamed instead
        const char* newPort;
        bool oldNameFirst;  // whether the first send after the rename names the old name
    } cases[] = {
        {"Rename A", "old", nullptr, "new", false},
        {"Rename B", "old", nullptr, "new", true},
        {"Rename C", "keys", "Renamed C", nullptr, false},
        {"Rename D", "keys", "Renamed D", nullptr, true},
    };
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<int> ports;
    for (const auto& c : cases) {
        peers.push_back(std::make_unique<Peer>(c.client));
        ports.push_back(peers.back()->addPort(c.port));
    }
    Names first = names(start());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string before = std::string(c.client) + ": " + c.port;
        const std::string after = std::string(c.newClient ? c.newClient : c.client) + ": " +
                                  (c.newPort ? c.newPort : c.port);
        SCOPED_TRACE(before + " -> " + after + (c.oldNameFirst ? ", old name sent to first" : ""));
        ASSERT_TRUE(first.count(before)) << print(first);
        unasked.clear();
        if (c.newPort) peers[i]->renamePort(ports[i], c.newPort);
        else peers[i]->rename(c.newClient);

        if (c.oldNameFirst) {
            EXPECT_EQ(send(before, note), before + " is not connected");
        }
        EXPECT_EQ(send(after, note), "");
        if (!c.oldNameFirst) {
            EXPECT_EQ(send(before, note), before + " is not connected");
        }
        EXPECT_TRUE(peers[i]->waitForBytes(ports[i], note.size()));
        EXPECT_EQ(peers[i]->bytes(ports[i]), note);

        EXPECT_TRUE(awaitReport([&](const Names& n) { return n.count(after) && !n.count(before); }))
            << "no report came unasked with the new name";
        Names now = names(ask().back());
        EXPECT_TRUE(now.count(after) && !now.count(before)) << print(now);
    }
}

TEST_F(Mirror, CapabilityChangesReachTheNextSendAndTheNextReport) {
    struct Case {
        const char* port;
        unsigned from;
        unsigned to;
        bool reachable;  // afterwards
    } cases[] = {
        {"loses write", writable, readable, false},
        {"goes inactive", writable, writable | inactive, false},
        {"gains write", readable, writable, true},
        {"comes back active", writable | inactive, writable, true},
    };
    Peer peer("Caps");
    int control = peer.addPort("control");
    std::vector<int> ports;
    for (const auto& c : cases) {
        ports.push_back(peer.addPort(c.port));
        peer.setCapabilities(ports.back(), c.from);
    }
    Names first = names(start());
    int controlBytes = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string name = std::string("Caps: ") + c.port;
        SCOPED_TRACE(name);
        ASSERT_EQ(first.count(name), c.reachable ? 0u : 1u) << print(first);
        peer.setCapabilities(ports[i], c.to);

        EXPECT_EQ(send(name, note), c.reachable ? "" : name + " is not connected");
        unasked.clear();
        // Events from the bridge to one client arrive in order: once this is in,
        // so is anything the request above sent.
        ASSERT_EQ(send("Caps: control", {0xF8}), "");
        ASSERT_TRUE(peer.waitForBytes(control, static_cast<std::size_t>(++controlBytes)));
        EXPECT_EQ(peer.bytes(ports[i]), c.reachable ? note : Bytes{});

        json nextReport = unasked.empty() ? ask().front() : unasked.front();
        EXPECT_EQ(names(nextReport).count(name), c.reachable ? 1u : 0u) << print(names(nextReport));
    }
}

// Sending.APortIsReachableBeforeItIsReported has a new client; here the
// client is known and its port is remade at the same address under another name.
TEST_F(Mirror, APortRemadeAtItsAddressIsReachableAtOnceUnderItsNewName) {
    Peer peer("Remade");
    peer.addPort("stays");
    int first = peer.addPort("first");
    ASSERT_TRUE(names(start()).count("Remade: first"));
    peer.removePort(first);
    int second = peer.addPort("second");
    ASSERT_EQ(second, first) << "the sequencer gave the new port another number";

    EXPECT_EQ(send("Remade: second", note), "");
    EXPECT_EQ(send("Remade: first", note), "Remade: first is not connected");
    EXPECT_TRUE(peer.waitForBytes(second, note.size()));
    EXPECT_EQ(peer.bytes(second), note);
}

// Any client may send announcement types straight to the bridge's ports; only
// those from System Announce tell the truth.
TEST_F(Mirror, ForgedAnnouncementsGiveNoReportAndChangeNothing) {
    Peer victim("Victim");
    int in = victim.addPort("Victim in");
    Peer forger("Forger");
    int out = forger.addPort("Forger out");
    Names before = names(start());
    ASSERT_TRUE(before.count("Victim in"));
    std::vector<snd_seq_addr_t> bridgePorts;
    for (const SeqPort& p : sequencerPorts())
        if (p.pid == bridge->pid())
            bridgePorts.push_back({static_cast<unsigned char>(p.client), static_cast<unsigned char>(p.port)});
    ASSERT_GE(bridgePorts.size(), 2u) << "its output port and the one it hears announcements on";
    // The look at the sequencer came and went as a client: true changes, whose
    // reports may come a moment apart (the bridge spaces its notifications).
    std::this_thread::sleep_for(500ms);
    ask();
    const snd_seq_event_type_t types[] = {
        SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_CLIENT_EXIT,     SND_SEQ_EVENT_CLIENT_CHANGE,
        SND_SEQ_EVENT_PORT_START,   SND_SEQ_EVENT_PORT_EXIT,       SND_SEQ_EVENT_PORT_CHANGE,
        SND_SEQ_EVENT_PORT_SUBSCRIBED, SND_SEQ_EVENT_PORT_UNSUBSCRIBED,
    };
    const snd_seq_addr_t abouts[] = {
        victim.address(in), {14, 0}, forger.address(out), {200, 0}, bridgePorts.front(),
    };
    int accepted = 0;
    for (int round = 0; round < 10; ++round) {
        for (const auto& to : bridgePorts)
            for (auto type : types)
                for (const auto& about : abouts) {
                    snd_seq_event_t ev;
                    snd_seq_ev_clear(&ev);
                    ev.type = type;
                    ev.data.addr = about;
                    if (forger.sendEvent(out, to, ev) == 0) ++accepted;
                }
        // Paced, so that its input queue does not overflow: that may rightly cost a report.
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(accepted, 0) << "none of its ports took an event from another client";
    std::this_thread::sleep_for(2s);  // time for any report they would cause

    auto reports = ask();
    EXPECT_EQ(send("Victim in", note), "");
    EXPECT_TRUE(victim.waitForBytes(in, note.size()));
    EXPECT_EQ(reports.size(), 1u) << "reports up to a ports command, after " << accepted << " forged announcements";
    EXPECT_TRUE(unasked.empty()) << unasked.size() << " reports after it";
    EXPECT_EQ(names(reports.back()), before);
}

// A host that stops reading fills the bridge's output pipe, so that the bridge
// cannot write while the setup changes under it.
TEST_F(Mirror, ABurstOfChangesWhileTheHostIsNotReadingCostsAFewReports) {
    constexpr int bound = 10, stalled = 600;
    std::optional<Peer> standing;  // what is left when the burst is over
    struct Case {
        const char* what;
        std::function<void()> burst;
        std::string prefix;  // of the names the burst lists
        std::string last;    // the one name of them listed at the end
    } cases[] = {
        {"a port made and removed 3,000 times",
         [&] {
             Peer churn("Burst", Peer::Reads::never);
             for (int i = 0; i < 3000; ++i) churn.removePort(churn.addPort("port " + std::to_string(i)));
             standing.emplace("Burst", Peer::Reads::never);
             standing->addPort("last");
         },
         "Burst", "Burst: last"},
        {"a client with a port opened and closed 500 times",
         [&] {
             standing.reset();
             for (int i = 0; i < 500; ++i) Peer("Visitor", Peer::Reads::never).addPort("port " + std::to_string(i));
             standing.emplace("Visitor", Peer::Reads::never);
             standing->addPort("last");
         },
         "Visitor", "Visitor: last"},
    };
    start();
    const std::string nobody(200, 'n');
    auto outputFull = [&] {
        for (int tries = 0; tries < 1000; ++tries) {
            if (pipeFull(*bridge)) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ask();
        unasked.clear();
        std::string requests;
        for (int i = 0; i < stalled; ++i) requests += request(++lastId, nobody, {0xF8});
        bridge->write(requests);
        ASSERT_TRUE(outputFull()) << "its replies did not fill the pipe";
        c.burst();

        // Everything it wrote, until it has been quiet a while.
        int replies = 0;
        while (auto j = next(3s))
            if (j->contains("ok")) ++replies;
        EXPECT_EQ(replies, stalled);
        std::size_t reports = unasked.size();
        ASSERT_GE(reports, 1u) << "the burst went unreported";
        Names last = namesFrom(unasked.back(), c.prefix);
        auto asked = ask();
        reports += asked.size() - 1;
        EXPECT_LE(reports, static_cast<std::size_t>(bound)) << "unasked reports";
        EXPECT_EQ(last, Names{c.last}) << "in the last report before the one asked for";
        EXPECT_EQ(namesFrom(asked.back(), c.prefix), Names{c.last});
    }
}

// Client numbers and port numbers are reused at once: a system exclusive left
// open must not continue into whoever comes next at that address.
TEST_F(Mirror, ASystemExclusiveLeftOpenEndsWithItsClient) {
    start();
    auto gone = std::make_unique<Peer>("Heir");
    int gonePort = gone->addPort("Heir in");
    snd_seq_addr_t was = gone->address(gonePort);
    ASSERT_EQ(send("Heir in", {0xF0, 0x01, 0x02}), "");
    ASSERT_TRUE(gone->waitForBytes(gonePort, 3));
    gone.reset();

    Peer heir("Heir");
    int in = heir.addPort("Heir in");
    snd_seq_addr_t now = heir.address(in);
    if (now.client != was.client || now.port != was.port)
        GTEST_SKIP() << "the new client is at " << int(now.client) << ":" << int(now.port) << ", not at "
                     << int(was.client) << ":" << int(was.port);
    EXPECT_EQ(send("Heir in", {0x03, 0x04, 0xF7}), "send failed (-22)");
    EXPECT_EQ(send("Heir in", note), "");
    EXPECT_TRUE(heir.waitForBytes(in, note.size()));
    EXPECT_EQ(heir.bytes(in), note) << "the rest of the old system exclusive arrived";
}

}  // namespace

// The sequencer's mirror, driven by lists of announcements as the backend
// hands them in, with no sequencer.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "midi/alsa/mirror.h"
#include "midi/alsa/portnames.h"

namespace {

using namespace midi::alsa;
using midi::ports::capInactive;
using midi::ports::capSubsWrite;
using midi::ports::capWrite;
using midi::ports::typeMidiGeneric;

constexpr int self = 129;
constexpr unsigned writable = capWrite | capSubsWrite;

Mirror fresh() {
    Mirror m;
    m.self = self;
    return m;
}

PortInfo port(int client, int number, std::string name, unsigned caps = writable) {
    return {client, number, std::move(name), caps, typeMidiGeneric};
}

std::string noCard(int) { return ""; }

// "ref display" for each listed entry, with " offline" where it is.
std::vector<std::string> shown(Mirror& m) {
    std::vector<std::string> out;
    for (const auto& e : derive(m, noCard))
        out.push_back(std::to_string(e.ref) + " " + e.display + (e.offline ? " offline" : ""));
    return out;
}

std::uint64_t serialAt(Mirror& m, midi::Ref ref) {
    for (const auto& e : derive(m, noCard))
        if (e.ref == ref) return e.serial;
    return 0;
}

TEST(Mirror, FollowsEachAnnouncement) {
    using Step = std::function<bool(Mirror&)>;
    struct Case {
        const char* what;
        Step step;
        bool changes;
        std::vector<std::string> listed;
    } cases[] = {
        {"a client starts", [](Mirror& m) { return clientStart(m, {130, "Keys", -1}); }, true, {}},
        {"its port starts", [](Mirror& m) { return portStart(m, port(130, 0, "in")); }, true, {"33280 Keys: in"}},
        {"a second port, read-only, is kept but not listed",
         [](Mirror& m) { return portStart(m, port(130, 1, "out", 1u)); }, true, {"33280 Keys: in"}},
        {"the same info again changes nothing",
         [](Mirror& m) { return portChange(m, port(130, 0, "in")) || clientChange(m, {130, "Keys", -1}); }, false,
         {"33280 Keys: in"}},
        {"a rename", [](Mirror& m) { return portChange(m, port(130, 0, "Keys lower")); }, true, {"33280 Keys lower"}},
        {"the client renames itself",
         [](Mirror& m) { return clientChange(m, {130, "Piano", -1}); }, true, {"33280 Piano: Keys lower"}},
        {"the read-only port becomes writable", [](Mirror& m) { return portChange(m, port(130, 1, "out")); }, true,
         {"33280 Piano: Keys lower", "33281 Piano: out"}},
        {"and inactive", [](Mirror& m) { return portChange(m, port(130, 1, "out", writable | capInactive)); }, true,
         {"33280 Piano: Keys lower", "33281 Piano: out offline"}},
        {"our own client and the system's are never kept",
         [](Mirror& m) {
             // Every step runs, in this order, whatever the one before gave.
             bool changed = clientStart(m, {self, "Us", -1});
             changed |= portStart(m, port(self, 0, "us"));
             changed |= clientChange(m, {0, "System", -1});
             changed |= portStart(m, port(0, 1, "Announce"));
             return changed;
         },
         false, {"33280 Piano: Keys lower", "33281 Piano: out offline"}},
        {"a port of a client never seen is not kept", [](Mirror& m) { return portStart(m, port(131, 0, "x")); },
         false, {"33280 Piano: Keys lower", "33281 Piano: out offline"}},
        {"a port exits", [](Mirror& m) { return portExit(m, 130, 1); }, true, {"33280 Piano: Keys lower"}},
        {"a port that is not there exits", [](Mirror& m) { return portExit(m, 130, 7) || portExit(m, 140, 0); },
         false, {"33280 Piano: Keys lower"}},
        {"a second client", [](Mirror& m) { return clientChange(m, {131, "Pads", -1}) && portStart(m, port(131, 0, "in")); },
         true, {"33280 Piano: Keys lower", "33536 Pads: in"}},
        {"the first client exits with its ports", [](Mirror& m) { return clientExit(m, 130); }, true,
         {"33536 Pads: in"}},
        {"and exits again", [](Mirror& m) { return clientExit(m, 130); }, false, {"33536 Pads: in"}},
    };
    Mirror m = fresh();
    for (const auto& c : cases) {
        std::uint64_t before = m.generation;
        EXPECT_EQ(c.step(m), c.changes) << c.what;
        EXPECT_EQ(m.generation != before, c.changes) << c.what;
        EXPECT_EQ(shown(m), c.listed) << c.what;
    }
}

TEST(Mirror, ANewcomerAtAReusedAddressStartsClean) {
    Mirror m = fresh();
    clientStart(m, {130, "Synth", -1});
    portStart(m, port(130, 0, "in"));
    const std::uint64_t first = serialAt(m, 130 << 8);
    ASSERT_NE(first, 0u);

    portChange(m, port(130, 0, "renamed"));
    EXPECT_EQ(serialAt(m, 130 << 8), first) << "a change keeps the port";

    // The same client and port numbers, the same names: still another port.
    clientExit(m, 130);
    clientStart(m, {130, "Synth", -1});
    portStart(m, port(130, 0, "renamed"));
    const std::uint64_t second = serialAt(m, 130 << 8);
    EXPECT_NE(second, first);

    portExit(m, 130, 0);
    portStart(m, port(130, 0, "renamed"));
    EXPECT_NE(serialAt(m, 130 << 8), second);

    // A client that starts over its old record (its exit was lost) drops its ports.
    clientStart(m, {130, "Synth", -1});
    EXPECT_TRUE(shown(m).empty());
}

TEST(Mirror, AnEnumerationReplacesWhatItDisagreesWith) {
    Mirror m = fresh();
    clientStart(m, {130, "Keys", -1});
    portStart(m, port(130, 0, "in"));
    portStart(m, port(130, 1, "thru"));
    clientStart(m, {131, "Gone", -1});
    portStart(m, port(131, 0, "in"));
    const std::uint64_t in = serialAt(m, 130 << 8), thru = serialAt(m, 130 << 8 | 1);

    std::uint64_t before = m.generation;
    EXPECT_FALSE(reset(m, {{130, "Keys", -1}, {131, "Gone", -1}},
                       {port(130, 0, "in"), port(130, 1, "thru"), port(131, 0, "in")}));
    EXPECT_EQ(m.generation, before) << "the same setup is no change";

    // A rename nobody announced, a client gone, a port with new capabilities.
    EXPECT_TRUE(reset(m, {{130, "Keys", -1}, {self, "Us", -1}},
                      {port(130, 0, "in", writable | capInactive), port(130, 1, "through"), port(self, 0, "us")}));
    EXPECT_NE(m.generation, before);
    EXPECT_EQ(shown(m), (std::vector<std::string>{"33280 Keys: in offline", "33281 Keys: through"}));
    EXPECT_EQ(serialAt(m, 130 << 8), in) << "same names: the same port";
    EXPECT_NE(serialAt(m, 130 << 8 | 1), thru) << "another name: maybe another port";

    EXPECT_TRUE(reset(m, {{130, "Keys 2", -1}}, {port(130, 0, "in")}));
    EXPECT_NE(serialAt(m, 130 << 8), in) << "another client's name: maybe another client";
}

TEST(Mirror, ReadsACardForEveryPortItsClientStartsAndNeverListsWithoutIt) {
    Mirror m = fresh();
    std::vector<int> asked;
    auto cards = [&asked](int card) -> std::optional<std::string> {
        asked.push_back(card);
        return "Card" + std::to_string(card);
    };
    clientStart(m, {20, "Virtual Raw MIDI 1-0", 1});
    portStart(m, port(20, 0, "VirMIDI 1-0"));
    clientStart(m, {130, "App", -1});
    portStart(m, port(130, 0, "in"));
    auto entries = derive(m, cards);
    derive(m, cards);
    EXPECT_EQ(asked, std::vector<int>{1}) << "read for the card's client only, and once while nothing changes";
    portStart(m, port(20, 1, "VirMIDI 1-1"));
    derive(m, cards);
    EXPECT_EQ(asked, (std::vector<int>{1, 1})) << "read again for a port it starts";

    // Ids hash the card's key: the same card under another number keeps them.
    clientExit(m, 20);
    clientStart(m, {24, "Virtual Raw MIDI 1-0", 2});
    portStart(m, port(24, 0, "VirMIDI 1-0"));
    auto moved = derive(m, [](int) { return std::optional<std::string>("Card1"); });
    ASSERT_EQ(moved.size(), 2u);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(moved[0].uid, entries[0].uid);
    EXPECT_EQ(moved[1].uid, entries[1].uid);

    // A card that cannot be read holds its ports back, without an id, until
    // a read succeeds; what else is there is listed meanwhile.
    clientChange(m, {24, "Virtual Raw MIDI 1-0", 3});
    auto unreadable = [](int) { return std::optional<std::string>(); };
    auto held = derive(m, unreadable);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].name, "in");
    EXPECT_TRUE(cardsUnknown(m));
    EXPECT_FALSE(readCards(m, unreadable));
    EXPECT_TRUE(readCards(m, [](int) { return std::optional<std::string>("Card1"); }));
    EXPECT_FALSE(cardsUnknown(m));
    EXPECT_EQ(derive(m, unreadable).size(), 2u);

    // One that is never read is listed after cardTries reads, keyed without it.
    portStart(m, port(24, 1, "VirMIDI 1-1"));
    for (int i = 1; i < cardTries; ++i) EXPECT_FALSE(readCards(m, unreadable)) << "read " << i;
    EXPECT_TRUE(readCards(m, unreadable));
    EXPECT_EQ(derive(m, unreadable).size(), 3u);
}

TEST(Mirror, AnEnumerationKeepsACardOnlyWhereNothingOfItsClientChanged) {
    Mirror m = fresh();
    int reads = 0;
    auto cards = [&reads](int) -> std::optional<std::string> {
        ++reads;
        return "usb-dummy_hcd.0-1";
    };
    std::vector<ClientInfo> clients{{24, "Conformance USB", 2}};
    reset(m, clients, {port(24, 0, "Conformance USB MIDI 1")});
    derive(m, cards);
    EXPECT_FALSE(reset(m, clients, {port(24, 0, "Conformance USB MIDI 1")}));
    derive(m, cards);
    EXPECT_EQ(reads, 1);
    // A port that is not the one there before: maybe another device.
    EXPECT_TRUE(reset(m, clients, {port(24, 0, "Other MIDI 1")}));
    derive(m, cards);
    EXPECT_EQ(reads, 2);
}

TEST(Mirror, IdenticalUsbDevicesKeepTheirIdsWhicheverCameFirst) {
    // The card numbers, and so the card ids, go to whichever came first;
    // where each is plugged in does not.
    auto uids = [](int firstBus) {
        Mirror m = fresh();
        auto where = [firstBus](int card) -> std::optional<std::string> {
            return "usb-dummy_hcd." + std::to_string(card == 2 ? firstBus : 1 - firstBus) + "-1";
        };
        for (int card : {2, 3}) {
            clientStart(m, {20 + card, "Conformance USB", card});
            portStart(m, port(20 + card, 0, "Conformance USB MIDI 1"));
        }
        std::map<std::string, std::int32_t> byBus;
        for (const auto& e : derive(m, where)) byBus[*where(static_cast<int>(e.ref >> 8) - 20)] = e.uid;
        return byBus;
    };
    auto first = uids(0);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first.begin()->second, first.rbegin()->second);
    EXPECT_EQ(uids(1), first);
}

}  // namespace

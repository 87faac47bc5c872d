// Which sequencer ports are listed, and their names and ids.

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "midi/alsa/portnames.h"
#include "protocol/utf8.h"

namespace {

using namespace midi::ports;
using namespace std::string_literals;

constexpr unsigned writable = capWrite | capSubsWrite;
constexpr unsigned readable = (1u << 0) | (1u << 5);  // READ | SUBS_READ
constexpr unsigned typeHardware = 1u << 16;
constexpr unsigned typePort = 1u << 19;

TEST(Listing, Rules) {
    constexpr int self = 130;
    struct Case {
        const char* what;
        int client;
        unsigned caps;
        unsigned type;
        Listing want;
    } cases[] = {
        {"writable MIDI port", 20, writable, typeMidiGeneric, Listing::online},
        {"synth", 128, writable | readable, typeSynth, Listing::online},
        {"application", 129, writable, typeApplication, Listing::online},
        {"MIDI port that is also hardware", 20, writable, typeMidiGeneric | typeHardware | typePort,
         Listing::online},
        {"writable but not subscribable", 20, capWrite, typeMidiGeneric, Listing::hidden},
        {"subscribable but not writable", 20, capSubsWrite, typeMidiGeneric, Listing::hidden},
        {"read-only", 20, readable, typeMidiGeneric, Listing::hidden},
        {"no MIDI type", 20, writable, typeHardware | typePort, Listing::hidden},
        {"no type at all", 20, writable, 0, Listing::hidden},
        {"not for export", 20, writable | capNoExport, typeMidiGeneric, Listing::hidden},
        {"inactive", 20, writable | capInactive, typeMidiGeneric, Listing::offline},
        {"inactive and not for export", 20, writable | capInactive | capNoExport, typeMidiGeneric,
         Listing::hidden},
        {"System client", 0, writable, typeMidiGeneric, Listing::hidden},
        {"our own client", self, writable, typeMidiGeneric | typeApplication, Listing::hidden},
    };
    for (const auto& c : cases)
        EXPECT_EQ(listing(c.client, self, c.caps, c.type), c.want) << c.what;
}

const std::string fffd = "\xEF\xBF\xBD";

TEST(ValidUtf8, ReplacesEachBrokenSequenceOnce) {
    struct Case {
        const char* what;
        std::string raw;
        std::string want;
    } cases[] = {
        {"ASCII", "Midi Through Port-0", "Midi Through Port-0"},
        {"two, three and four byte characters", "Caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xB9",
         "Caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xB9"},
        {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"lone continuation byte", "a\x80z", "a" + fffd + "z"},
        {"two byte character cut at the end", "Caf\xC3", "Caf" + fffd},
        {"three byte character cut at the end", "x\xE6\x97", "x" + fffd},
        {"four byte character cut at the end", "x\xF0\x9F\x8E", "x" + fffd},
        {"character cut in the middle", "ab\xE6\x97" "cd", "ab" + fffd + "cd"},
        {"cut character before another", "\xE6\xC3\xA9", fffd + "\xC3\xA9"},
        {"overlong two byte form", "\xC0\x80", fffd + fffd},
        {"overlong three byte form", "\xE0\x80\x80", fffd + fffd + fffd},
        {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"past U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"bytes that never occur", "\xF5\xFE\xFF", fffd + fffd + fffd},
        {"Latin-1 text", "Gr\xFC\xDF" "e", "Gr" + fffd + fffd + "e"},
    };
    for (const auto& c : cases) EXPECT_EQ(validUtf8(c.raw), c.want) << c.what;
}

bool wellFormed(const std::string& text) {
    auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
        if (n <= 0) return false;
        p += n;
        left -= n;
    }
    return true;
}

// Names cut at 31 or 63 bytes, with bytes of any value.
TEST(ValidUtf8, AnyBytesComeOutWellFormedAndValidTextUnchanged) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 20000; ++round) {
        std::string raw(round % 2 ? 31 : 63, '\0');
        for (auto& c : raw) c = static_cast<char>(byte(random));
        std::string once = validUtf8(raw);
        ASSERT_TRUE(wellFormed(once)) << testing::PrintToString(raw);
        ASSERT_EQ(validUtf8(once), once) << testing::PrintToString(raw);
    }
}

// Short texts of whole, cut and broken characters: the output check takes
// exactly the well-formed ones, which are exactly the names left unchanged,
// so no name the backend gives can cost a ports report.
TEST(ValidUtf8, ChangesExactlyTheTextsTheOutputRefuses) {
    const std::string pieces[] = {
        "a", "\x7f", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x8E\xB9", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF",
        "\xC3", "\xE6\x97", "\xF0\x9F\x8E", "\x80", "\xBF", "\xC0\xAF", "\xC1", "\xE0\x80", "\xE0\xA0",
        "\xED\xA0\x80", "\xF0\x80", "\xF0\x90", "\xF4\x90", "\xF5", "\xFF",
    };
    std::mt19937 random(11);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1), count(1, 4);
    int wellFormedSeen = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string raw;
        for (std::size_t n = count(random); n > 0; --n) raw += pieces[piece(random)];
        bool want = wellFormed(raw);
        wellFormedSeen += want;
        ASSERT_EQ(wellFormedUtf8(raw), want) << testing::PrintToString(raw);
        ASSERT_EQ(validUtf8(raw) == raw, want) << testing::PrintToString(raw);
    }
    EXPECT_GT(wellFormedSeen, 1000);  // the pieces make well-formed texts often enough to tell
}

TEST(DisplayName, PrefixesTheClientUnlessThePortNameStartsWithIt) {
    struct Case {
        const char* what;
        std::string client;
        std::string port;
        std::string want;
    } cases[] = {
        {"port named after its client", "Midi Through", "Midi Through Port-0", "Midi Through Port-0"},
        {"port named on its own", "FLUID Synth (1234)", "Synth input port (1234:0)",
         "FLUID Synth (1234): Synth input port (1234:0)"},
        {"port named exactly as its client", "VirMIDI 1-0", "VirMIDI 1-0", "VirMIDI 1-0"},
        {"prefix differs in case", "Midi Through", "midi through Port-0",
         "Midi Through: midi through Port-0"},
        {"client name longer than the port name", "Keystation 88", "Keys", "Keystation 88: Keys"},
        {"no client name", "", "Port", "Port"},
        {"no port name", "Client", "", "Client"},
        {"quote and backslash kept", "A \"B\"", "C\\D", "A \"B\": C\\D"},
        {"broken bytes in both", "Gr\xFC" "n", "Out \xE6\x97", "Gr" + fffd + "n: Out " + fffd},
        {"client cut inside a character, port led by the same bytes", "Caf\xC3", "Caf\xC3\xA9 Out",
         "Caf\xC3\xA9 Out"},
        {"client cut inside a character, port cut there too", "Caf\xC3", "Caf\xC3", "Caf" + fffd},
    };
    for (const auto& c : cases) EXPECT_EQ(displayName(c.client, c.port), c.want) << c.what;
}

// The documented formula, written out independently of the streaming code.
std::uint32_t reference(const std::string& bytes) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : bytes) h = (h ^ c) * 16777619u;
    return h;
}

TEST(CardKey, AUsbCardGivesWhereItIsPluggedInAndAnyOtherItsId) {
    struct Case {
        const char* what;
        const char* id;
        const char* longName;
        const char* key;
    } cases[] = {
        {"a USB card", "USB", "Conformance Conformance USB at usb-dummy_hcd.0-1, high speed", "usb-dummy_hcd.0-1"},
        {"its twin, whose id took a suffix", "USB_1", "Conformance Conformance USB at usb-dummy_hcd.1-1, high speed",
         "usb-dummy_hcd.1-1"},
        {"behind a hub", "Keystation", "M-Audio Keystation 49 at usb-0000:00:14.0-3.4.1, full speed",
         "usb-0000:00:14.0-3.4.1"},
        {"a product name with \" at \" in it", "Box", "Acme Box at Home at usb-0000:00:14.0-2, full speed",
         "usb-0000:00:14.0-2"},
        {"a long name cut short before the speed", "Long", "Maker Product Of Some Length at usb-0000:00:14.0-1",
         "usb-0000:00:14.0-1"},
        {"a long name cut short before the place", "Long", "Maker Product Of A Very Great Length", "Long"},
        {"a virtual card", "VirMIDI", "Virtual MIDI Card 1", "VirMIDI"},
        {"a PCI card", "PCH", "HDA Intel PCH at 0xf7f00000 irq 32", "PCH"},
    };
    for (const auto& c : cases) EXPECT_EQ(cardKey(c.id, c.longName), c.key) << c.what;
}

std::int32_t idOf(const std::string& card, const std::string& client, const std::string& port,
                  int number, int ordinal, int salt = 0) {
    std::string key = card + '\0' + client + '\0' + port + '\0' + std::to_string(number) + '\0' +
                      std::to_string(ordinal);
    if (salt > 0) key += '\0' + std::to_string(salt);
    return static_cast<std::int32_t>(reference(key));
}

std::vector<std::int32_t> ids(const std::vector<Key>& keys) {
    std::vector<std::int32_t> out(keys.size());
    uniqueIds(keys.data(), keys.size(), out.data());
    return out;
}

TEST(UniqueIds, FollowTheDocumentedHash) {
    EXPECT_EQ(fnv1a(""), 0x811C9DC5u);
    EXPECT_EQ(fnv1a("a"), 0xE40C292Cu);
    EXPECT_EQ(fnv1a("foobar"), 0xBF9CF968u);
    EXPECT_EQ(fnv1a("bar", fnv1a("foo")), fnv1a("foobar"));

    auto got = ids({{"", "Midi Through", "Midi Through Port-0", 0},
                    {"Device", "USB MIDI Interface", "USB MIDI Interface MIDI 1", 0},
                    {"", "FLUID Synth (1234)", "Synth input port (1234:0)", 0}});
    EXPECT_EQ(got[0], idOf("", "Midi Through", "Midi Through Port-0", 0, 0));
    EXPECT_EQ(got[1], idOf("Device", "USB MIDI Interface", "USB MIDI Interface MIDI 1", 0, 0));
    EXPECT_EQ(got[2], idOf("", "FLUID Synth (1234)", "Synth input port (1234:0)", 0, 0));
    // Pinned: hosts keep ids between runs, so no build may change them.
    EXPECT_EQ(got[0], static_cast<std::int32_t>(reference("\0Midi Through\0Midi Through Port-0\0" "0\0" "0"s)));
}

// What changes between runs: client numbers, hence the address order.
TEST(UniqueIds, DoNotDependOnAddressOrder) {
    std::vector<Key> keys = {
        {"", "Midi Through", "Midi Through Port-0", 0},
        {"Device", "USB MIDI Interface", "USB MIDI Interface MIDI 1", 0},
        {"Device_1", "USB MIDI Interface", "USB MIDI Interface MIDI 1", 0},
        {"", "Synth", "In", 0},
        {"", "Synth", "In", 1},
        {"", "Synth", "Port 568179", 0},
        {"", "Synth", "Port 2303604", 0},  // the same hash as the one before
    };
    std::map<std::string, std::int32_t> first;
    auto name = [](const Key& k) {
        return std::string(k.card) + "/" + std::string(k.client) + "/" + std::string(k.port) + "/" +
               std::to_string(k.number);
    };
    auto got = ids(keys);
    for (std::size_t i = 0; i < keys.size(); ++i) first[name(keys[i])] = got[i];

    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.port < b.port; });
    do {
        got = ids(keys);
        for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(got[i], first[name(keys[i])]) << name(keys[i]);
    } while (std::next_permutation(keys.begin(), keys.end(),
                                   [](const Key& a, const Key& b) { return a.port < b.port; }));
}

TEST(UniqueIds, DistinctForEveryPortOnlineTogether) {
    struct Case {
        const char* what;
        std::vector<Key> keys;
    } cases[] = {
        {"two instances of one program", {{"", "Synth", "In", 0}, {"", "Synth", "In", 0}, {"", "Synth", "In", 0}}},
        {"two identical devices", {{"Device", "USB MIDI", "USB MIDI 1", 0}, {"Device_1", "USB MIDI", "USB MIDI 1", 0}}},
        {"ports of one client that share a name", {{"", "Synth", "In", 0}, {"", "Synth", "In", 1}}},
        {"names that run into each other", {{"", "ab", "c", 0}, {"", "a", "bc", 0}, {"a", "b", "c", 0}}},
        {"hashes that collide", {{"", "Synth", "Port 2303604", 0}, {"", "Synth", "Port 568179", 0}}},
    };
    for (const auto& c : cases) {
        auto got = ids(c.keys);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end()) << c.what;
        EXPECT_EQ(std::count(got.begin(), got.end(), 0), 0) << c.what;
    }
}

// A second instance must not move the first one's id.
TEST(UniqueIds, IdenticalKeysCountInAddressOrder) {
    Key synth{"", "Synth", "In", 0};
    auto alone = ids({synth});
    auto two = ids({synth, synth});
    EXPECT_EQ(two[0], alone[0]);
    EXPECT_EQ(two[1], idOf("", "Synth", "In", 0, 1));

    // Many instances among other ports: the n-th in address order has ordinal n.
    std::vector<Key> keys;
    for (int i = 0; i < 40; ++i) {
        keys.push_back(synth);
        keys.push_back({"", "Other", "Out", i});
    }
    auto got = ids(keys);
    for (int n = 0; n < 40; ++n)
        EXPECT_EQ(got[static_cast<std::size_t>(2 * n)], idOf("", "Synth", "In", 0, n)) << n;
}

// Both port names were found by search for a shared hash.
TEST(UniqueIds, CollisionsAreSaltedInKeyOrder) {
    Key low{"", "Synth", "Port 2303604", 0};  // sorts first
    Key high{"", "Synth", "Port 568179", 0};
    const std::int32_t shared = idOf("", "Synth", "Port 2303604", 0, 0);
    ASSERT_EQ(shared, idOf("", "Synth", "Port 568179", 0, 0));
    EXPECT_EQ(ids({high})[0], shared);
    EXPECT_EQ(ids({high, low}), (std::vector<std::int32_t>{idOf("", "Synth", "Port 568179", 0, 0, 1), shared}));
}

TEST(UniqueIds, NeverZero) {
    // Found by search: a port name whose key hashes to 0.
    Key zero{"", "Synth", "Z550546f", 0};
    ASSERT_EQ(idOf("", "Synth", "Z550546f", 0, 0), 0);
    EXPECT_EQ(ids({zero})[0], idOf("", "Synth", "Z550546f", 0, 0, 1));
}

}  // namespace

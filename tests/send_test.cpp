// The send request over the fake MIDI world.

#include <gtest/gtest.h>

#include "json.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "capture.h"
#include "midi/fake.h"
#include "midi/send.h"
#include "midi/state.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Send : testing::Test {
    fake::World& w = fake::world();

    void SetUp() override {
        fake::reset();
        port = 0x8001;
        w.endpoints = {fake::named(17, "Synth", 1), fake::named(18, "Drums", 2)};
    }

    // The reply line (without its line feed) to one request line.
    std::string reply(const std::string& request) {
        std::string out = capture([&] { send(accepted(request)); });
        EXPECT_EQ(out.find('\n'), out.size() - 1) << "exactly one line for " << request;
        return dump(parse(out));
    }
    static std::string ok(std::int64_t id) { return dump(Json{{"id", id}, {"ok", true}}); }
    static std::string failed(std::int64_t id, const std::string& error) {
        return dump(Json{{"id", id}, {"ok", false}, {"error", error}});
    }
};

TEST_F(Send, ValidRequestSendsOnePacketThroughOurPort) {
    EXPECT_EQ(reply(R"({"id":5,"dest":"Drums","bytes":[153,36,127]})"), ok(5));
    ASSERT_EQ(w.sent.size(), 1u);
    EXPECT_EQ(w.sent[0].port, 0x8001u);
    EXPECT_EQ(w.sent[0].endpoint, 18u);
    EXPECT_EQ(w.sent[0].packets, std::vector<Bytes>{Bytes({153, 36, 127})});
}

TEST_F(Send, MalformedRequestsAreBadRequestsWithoutAskingTheService) {
    const char* requests[] = {
        R"({})",
        R"({"id":1,"bytes":[144,60,100]})",
        R"({"id":1,"dest":5,"bytes":[144,60,100]})",
        R"({"id":1,"dest":null,"bytes":[144,60,100]})",
        R"({"id":1,"Dest":"Synth","bytes":[144,60,100]})",
        R"({"id":1,"dest":"Synth"})",
        R"({"id":1,"dest":"Synth","Bytes":[144]})",
        R"({"id":1,"dest":"Synth","bytes":144})",
        R"({"id":1,"dest":"Synth","bytes":"144"})",
        R"({"id":1,"dest":"Synth","bytes":[]})",
        R"({"id":1,"dest":"Synth","bytes":[144,"60",100]})",
        R"({"id":1,"dest":"Synth","bytes":[144,null]})",
        R"({"id":1,"dest":"Synth","bytes":[144,[60]]})",
        R"({"id":1,"dest":"Synth","bytes":[144,60.5]})",
        R"({"id":1,"dest":"Synth","bytes":[144,1e1]})",
        R"({"id":1,"dest":"Synth","bytes":[144,true]})",
        R"({"id":1,"dest":"Synth","bytes":[144,9223372036854775808]})",
        R"({"id":1,"dest":"Nowhere","bytes":[]})",
        R"({"id":1,"dest":"Nowhere"})",
    };
    for (const char* request : requests) {
        w.calls.clear();
        EXPECT_EQ(reply(request), request == std::string("{}") ? failed(0, "bad request") : failed(1, "bad request"))
            << request;
        EXPECT_TRUE(w.calls.empty()) << request;
    }
}

TEST_F(Send, AcceptsOneTo256Bytes) {
    auto request = [](std::size_t n) {
        boost::json::array bytes;
        for (std::size_t i = 0; i < n; ++i) bytes.push_back(i == 0 ? 0xF0 : 1);
        return dump(Json{{"id", n}, {"dest", "Synth"}, {"bytes", bytes}});
    };
    EXPECT_EQ(reply(request(1)), ok(1));
    EXPECT_EQ(reply(request(256)), ok(256));
    EXPECT_EQ(reply(request(257)), failed(257, "bad request"));
    ASSERT_EQ(w.sent.size(), 2u);
    EXPECT_EQ(w.sent[0].packets[0].size(), 1u);
    EXPECT_EQ(w.sent[1].packets[0].size(), 256u);
}

TEST_F(Send, EachIntegerBecomesItsLow8Bits) {
    reply(R"({"dest":"Synth","bytes":[0,127,255,300,256,-1,-256,-255,9223372036854775807,-9223372036854775808]})");
    ASSERT_EQ(w.sent.size(), 1u);
    EXPECT_EQ(w.sent[0].packets[0], Bytes({0, 127, 255, 44, 0, 255, 0, 1, 255, 0}));
}

TEST_F(Send, IdIsEchoedWhenItIsAnInteger) {
    struct Case {
        const char* id;
        std::int64_t echoed;
    } cases[] = {
        {"7", 7},
        {"-7", -7},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", 0},
        {"\"7\"", 0},
        {"null", 0},
        {"[7]", 0},
        {"{\"id\":7}", 0},
        {"7.0", 0},
        {"true", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reply(std::string(R"({"dest":"Synth","bytes":[248],"id":)") + c.id + "}"), ok(c.echoed)) << c.id;
        EXPECT_EQ(reply(std::string(R"({"dest":"None","bytes":[248],"id":)") + c.id + "}"),
                  failed(c.echoed, "None is not connected"))
            << c.id;
    }
    EXPECT_EQ(reply(R"({"dest":"Synth","bytes":[248]})"), ok(0));
    EXPECT_EQ(reply(R"({"ID":4,"dest":"Synth","bytes":[248]})"), ok(0));
}

TEST_F(Send, NamesMatchExactlyOrUnderCanonicalEquivalence) {
    w.endpoints = {fake::named(1, "Café"), fake::named(2, "Ω Synth"), fake::named(3, "Plain"), fake::named(4, ""),
                   fake::named(5, "한"), fake::named(6, "ǟ")};
    struct Case {
        const char* dest;
        midi::Ref reached;  // 0: not connected
    } cases[] = {
        {"Café", 1},
        {"Cafe\u0301", 1},      // e + combining acute
        {"\u2126 Synth", 2},    // the ohm sign is canonically omega
        {"\u1112\u1161\u11ab", 5},  // a syllable as its three jamo: three times as long
        {"a\u0308\u0304", 6},        // a letter and two marks, in their order
        {"a\u0304\u0308", 0},        // the same marks in the other order are another letter
        {"Plain", 3},
        {"", 4},
        {"plain", 0},
        {"Plain ", 0},
        {" Plain", 0},
        {"Pla", 0},
        {"CAFÉ", 0},
        {"Cafe", 0},
    };
    for (const auto& c : cases) {
        w.sent.clear();
        std::string request = dump(Json{{"id", 1}, {"dest", c.dest}, {"bytes", {248}}});
        if (c.reached) {
            EXPECT_EQ(reply(request), ok(1)) << c.dest;
            ASSERT_EQ(w.sent.size(), 1u) << c.dest;
            EXPECT_EQ(w.sent[0].endpoint, c.reached) << c.dest;
        } else {
            EXPECT_EQ(reply(request), failed(1, std::string(c.dest) + " is not connected")) << c.dest;
            EXPECT_TRUE(w.sent.empty()) << c.dest;
        }
    }
}

TEST_F(Send, ANulInTheNameIsPartOfIt) {
    w.endpoints = {fake::named(1, "Café"), fake::named(2, "Plain")};
    // As JSON escapes: the NUL comes into the request's text.
    for (std::string dest : {R"(Caf\u00e9\u0000junk)", R"(Plain\u0000)", R"(Caf\u00e9\u0000\u00e9)"}) {
        std::string request = R"({"id":1,"dest":")" + dest + R"(","bytes":[248]})";
        std::string shown(parse(request).at("dest").get_string());
        EXPECT_EQ(reply(request), failed(1, shown + " is not connected")) << dest;
    }
    EXPECT_TRUE(w.sent.empty());
}

TEST_F(Send, NotConnectedRepeatsTheDestinationAsReceived) {
    w.endpoints.clear();
    EXPECT_EQ(reply(R"({"id":2,"dest":"","bytes":[248]})"), failed(2, " is not connected"));
    EXPECT_EQ(reply(R"({"id":2,"dest":"a\"b\nc","bytes":[248]})"), failed(2, "a\"b\nc is not connected"));
    EXPECT_EQ(w.calls, (std::vector<std::string>{"count", "count"}));
}

TEST_F(Send, FirstOfTwoSameNamesReceives) {
    w.endpoints = {fake::named(1, "Twin"), fake::named(2, "Twin")};
    reply(R"({"dest":"Twin","bytes":[248]})");
    ASSERT_EQ(w.sent.size(), 1u);
    EXPECT_EQ(w.sent[0].endpoint, 1u);
}

TEST_F(Send, FallbackNameIsReachable) {
    fake::Endpoint off = fake::named(1, "Off");
    off.offline = 1;
    fake::Endpoint bare;
    bare.ref = 2;
    w.endpoints = {off, bare};
    EXPECT_EQ(reply(R"({"id":3,"dest":"MIDI 2","bytes":[248]})"), ok(3));
    EXPECT_EQ(reply(R"({"id":4,"dest":"Off","bytes":[248]})"), failed(4, "Off is not connected"));
}

TEST_F(Send, ServiceStatusDecidesTheReply) {
    for (midi::Status status : {-2, -11, -22, 1, INT32_MIN}) {
        w.endpoints[0].sendStatus = status;
        EXPECT_EQ(reply(R"({"id":9,"dest":"Synth","bytes":[144,60,100]})"),
                  failed(9, "send failed (" + std::to_string(status) + ")"));
    }
}

TEST_F(Send, EveryValidRequestBuildsAFreshDirectory) {
    reply(R"({"dest":"Synth","bytes":[248]})");
    w.endpoints.push_back(fake::named(19, "New"));
    EXPECT_EQ(reply(R"({"id":1,"dest":"New","bytes":[248]})"), ok(1));
    w.endpoints.erase(w.endpoints.begin());
    EXPECT_EQ(reply(R"({"id":2,"dest":"Synth","bytes":[248]})"), failed(2, "Synth is not connected"));
}

// A service that keeps a copy of its setup: the directory is built again
// only when the copy changed, or when asking afresh for a name finds a change.
TEST_F(Send, TheDirectoryIsBuiltAgainOnlyWhenTheSetupChanged) {
    w.generation = 1;
    reply(R"({"dest":"Synth","bytes":[248]})");
    w.endpoints.push_back(fake::named(19, "New"));
    w.calls.clear();
    EXPECT_EQ(reply(R"({"id":1,"dest":"Drums","bytes":[248]})"), ok(1));
    EXPECT_EQ(w.calls, std::vector<std::string>{"send 32769 18"}) << "nothing asked while the setup stands";
    EXPECT_EQ(reply(R"({"id":2,"dest":"New","bytes":[248]})"), failed(2, "New is not connected"));

    w.rescanned = [](fake::World& world) { world.generation = 2; };
    EXPECT_EQ(reply(R"({"id":3,"dest":"New","bytes":[248]})"), ok(3));
    ASSERT_EQ(w.sent.size(), 3u);
    EXPECT_EQ(w.sent.back().endpoint, 19u);
}

// The service found the port at the target's reference changed before
// anything went out: the name is looked up once more, in a fresh directory.
TEST_F(Send, ATargetThatChangedUnannouncedIsLookedUpOnceMore) {
    struct Case {
        const char* what;
        int staleSends;
        std::function<void(fake::World&)> atSecondBuild;
        std::string reply;
        midi::Ref reached;  // 0: nothing sent
    } cases[] = {
        {"another port has the name now", 1,
         [](fake::World& world) { std::swap(world.endpoints[0].displayName, world.endpoints[1].displayName); },
         ok(1), 18},
        {"no port has the name now", 1, [](fake::World& world) { world.endpoints[0].displayName = "Old"; },
         failed(1, "Synth is not connected"), 0},
        {"the same port, changed back", 1, [](fake::World&) {}, ok(1), 17},
        {"changed again before the second try", 2, [](fake::World&) {}, failed(1, "Synth is not connected"), 0},
    };
    for (const auto& c : cases) {
        SetUp();
        w.endpoints[0].staleSends = c.staleSends;
        int builds = 0;
        w.afterCount = [&](fake::World& world) {
            if (++builds == 2) c.atSecondBuild(world);
        };
        EXPECT_EQ(reply(R"({"id":1,"dest":"Synth","bytes":[144,60,100]})"), c.reply) << c.what;
        EXPECT_EQ(builds, 2) << c.what;
        if (c.reached) {
            ASSERT_EQ(w.sent.size(), 1u) << c.what;
            EXPECT_EQ(w.sent[0].endpoint, c.reached) << c.what;
        } else {
            EXPECT_TRUE(w.sent.empty()) << c.what;
        }
    }
}

TEST_F(Send, UsesPort0WhenThePortWasNeverMade) {
    port = 0;
    EXPECT_EQ(reply(R"({"id":1,"dest":"Synth","bytes":[248]})"), ok(1));
    ASSERT_EQ(w.sent.size(), 1u);
    EXPECT_EQ(w.sent[0].port, 0u);
}

TEST_F(Send, OtherKeysAndCmdAreIgnored) {
    EXPECT_EQ(reply(R"({"cmd":"Ports","x":[1,{}],"id":6,"dest":"Synth","bytes":[248]})"), ok(6));
    EXPECT_EQ(reply(R"({"cmd":5,"id":7,"dest":"Synth","bytes":[248]})"), ok(7));
}

}  // namespace

// The destination directory and the ports report over the fake MIDI world.

#include <gtest/gtest.h>

#include "capture.h"
#include "midi/directory.h"
#include "midi/fake.h"
#include "midi/report.h"

namespace {

using Calls = std::vector<std::string>;

struct Directory : testing::Test {
    void SetUp() override { fake::reset(); }
    fake::World& w = fake::world();

    // The directory as (name, uid) pairs.
    std::vector<std::pair<std::string, std::int32_t>> listed() {
        std::vector<std::pair<std::string, std::int32_t>> out;
        for (auto& d : destinations()) out.emplace_back(d.name, d.uid);
        return out;
    }
};

TEST_F(Directory, NoDestinationAsksNothingMore) {
    EXPECT_TRUE(destinations().empty());
    EXPECT_EQ(w.calls, Calls{"count"});
}

TEST_F(Directory, AsksForEachEntryInOrderAndStopsAtTheFirstName) {
    fake::Endpoint a = fake::named(10, "A", 7);
    fake::Endpoint b;
    b.ref = 20;
    b.name = "B";
    w.endpoints = {a, b};
    EXPECT_EQ(listed(), (std::vector<std::pair<std::string, std::int32_t>>{{"A", 7}, {"B", 0}}));
    EXPECT_EQ(w.calls, (Calls{"count",
                              "destination 0", "integer 10 offline", "integer 10 uniqueId", "string 10 displayName",
                              "destination 1", "integer 20 offline", "integer 20 uniqueId", "string 20 displayName",
                              "string 20 name"}));
}

TEST_F(Directory, SkippedEntriesAreAskedNothingMore) {
    fake::Endpoint none;  // reference 0
    fake::Endpoint off = fake::named(30, "Off");
    off.offline = 1;
    w.endpoints = {none, off};
    EXPECT_TRUE(destinations().empty());
    EXPECT_EQ(w.calls, (Calls{"count", "destination 0", "destination 1", "integer 30 offline"}));
}

TEST_F(Directory, FallbackNamesCountEverySkippedPosition) {
    fake::Endpoint off = fake::named(1, "Off");
    off.offline = -1;  // any value but 0 is offline
    fake::Endpoint none;
    fake::Endpoint bare;
    bare.ref = 3;
    fake::Endpoint first;
    first.ref = 4;
    w.endpoints = {first, off, none, bare};
    EXPECT_EQ(listed(), (std::vector<std::pair<std::string, std::int32_t>>{{"MIDI 1", 0}, {"MIDI 4", 0}}));
}

TEST_F(Directory, NameRules) {
    struct Case {
        const char* what;
        std::optional<std::string> display;
        midi::Status displayStatus;
        std::optional<std::string> name;
        midi::Status nameStatus;
        std::string listed;
    } cases[] = {
        {"display name wins", "Display", 0, "Name", 0, "Display"},
        {"empty display name is a name", "", 0, "Name", 0, ""},
        {"no display name", std::nullopt, 0, "Name", 0, "Name"},
        {"failed display read with text", "Display", -10835, "Name", 0, "Name"},
        {"failed name read with text", std::nullopt, 0, "Name", 1, "MIDI 1"},
        {"no names at all", std::nullopt, -1, std::nullopt, -1, "MIDI 1"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::Endpoint e;
        e.ref = 5;
        e.displayName = c.display;
        e.displayNameStatus = c.displayStatus;
        e.name = c.name;
        e.nameStatus = c.nameStatus;
        w.endpoints = {e};
        auto d = destinations();
        ASSERT_EQ(d.size(), 1u) << c.what;
        EXPECT_EQ(d[0].name, c.listed) << c.what;
    }
}

TEST_F(Directory, IntegerReadsThatWriteNothingLeaveZero) {
    fake::Endpoint e = fake::named(6, "Quiet", 99);
    e.offline = std::nullopt;  // never written: online
    e.offlineStatus = -1;
    e.uid = std::nullopt;      // never written: uid 0
    e.uidStatus = -1;
    fake::Endpoint failedButWritten = fake::named(7, "Loud", -42);
    failedButWritten.uidStatus = -1;  // the status of integer reads is not looked at
    w.endpoints = {e, failedButWritten};
    EXPECT_EQ(listed(), (std::vector<std::pair<std::string, std::int32_t>>{{"Quiet", 0}, {"Loud", -42}}));
}

TEST_F(Directory, SameNamesAreAllListedInServiceOrder) {
    w.endpoints = {fake::named(1, "Twin", 1), fake::named(2, "Twin", 2)};
    EXPECT_EQ(listed(), (std::vector<std::pair<std::string, std::int32_t>>{{"Twin", 1}, {"Twin", 2}}));
}

TEST_F(Directory, AnEntryThatVanishesMidBuildIsNotInvented) {
    w.endpoints = {fake::named(1, "Stays"), fake::named(2, "Goes")};
    w.afterCount = [](fake::World& world) { world.endpoints.pop_back(); };
    EXPECT_EQ(listed(), (std::vector<std::pair<std::string, std::int32_t>>{{"Stays", 0}}));
}

TEST_F(Directory, ReportListsNameAndUidButNeverTheReference) {
    w.endpoints = {fake::named(77, "Synth", -123), fake::named(78, "Ünïcode \"q\"", 2147483647)};
    EXPECT_EQ(capture(reportPorts),
              "{\"ports\":[{\"name\":\"Synth\",\"uid\":-123},{\"name\":\"Ünïcode \\\"q\\\"\",\"uid\":2147483647}]}\n");
    w.endpoints.clear();
    EXPECT_EQ(capture(reportPorts), "{\"ports\":[]}\n");
}

TEST_F(Directory, ReportWithANameThatIsNotUtf8IsDropped) {
    w.endpoints = {fake::named(1, "bad \xfe")};
    EXPECT_EQ(capture(reportPorts), "");
}

}  // namespace

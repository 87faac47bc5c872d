// Sends to a destination whose driver has no room wait, end to end over the
// fake world: replies keep the input's order, other destinations are not
// held up, sends to one destination keep theirs, and what waits for a
// destination that goes is answered.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "child.h"
#include "json.h"
#include "midi/fake.h"

namespace {

std::string ok(std::int64_t id) { return dump(Json{{"id", id}, {"ok", true}}); }
std::string notConnected(std::int64_t id, const std::string& dest) {
    return dump(Json{{"id", id}, {"ok", false}, {"error", dest + " is not connected"}});
}
// A note whose key is the request's id, so that the record shows which went.
std::string note(std::int64_t id, const std::string& dest) {
    return dump(Json{{"id", id}, {"dest", dest}, {"bytes", {144, id, 100}}}) + "\n";
}
std::string noteCall(midi::Ref to, std::int64_t id) {
    return "send 32769 " + std::to_string(to) + " 144 " + std::to_string(id) + " 100";
}

const std::string bothReport = R"({"ports":[{"name":"Slow","uid":1},{"name":"Fast","uid":2}]})";

// Slow (17) has no room for its next fullSends sends, Fast (18) always has.
Child startTwo(int fullSends) {
    Child c = startBridge([fullSends] {
        auto& w = fake::world();
        w.endpoints = {fake::named(17, "Slow", 1), fake::named(18, "Fast", 2)};
        w.endpoints[0].fullSends = fullSends;
        w.traceBytes = true;
    });
    EXPECT_EQ(c.line(), bothReport);
    return c;
}

// Where call last stands in calls; -1 when it is not there.
long lastAt(const std::vector<std::string>& calls, const std::string& call) {
    auto it = std::find(calls.rbegin(), calls.rend(), call);
    return it == calls.rend() ? -1 : static_cast<long>(calls.rend() - it) - 1;
}
long firstAt(const std::vector<std::string>& calls, const std::string& call) {
    auto it = std::find(calls.begin(), calls.end(), call);
    return it == calls.end() ? -1 : it - calls.begin();
}

TEST(WaitingForRoom, OthersGoOutAtOnceAndRepliesKeepTheInputsOrder) {
    Child c = startTwo(30);
    c.write(note(1, "Slow") + note(2, "Fast") + note(3, "Slow") + note(4, "Fast") + "{\"cmd\":\"ports\"}\n" +
            note(6, "Fast"));
    for (const auto& expected : {ok(1), ok(2), ok(3), ok(4), bothReport, ok(6)}) EXPECT_EQ(c.line(), expected);
    EXPECT_EQ(c.line(100ms), std::nullopt);

    auto calls = c.calls();
    // Slow's first send is the one that took 31 tries; each later one went
    // after it, and Fast's went before it.
    const long slowFirst = lastAt(calls, noteCall(17, 1));
    ASSERT_GE(slowFirst, 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), noteCall(17, 1)), 31);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), noteCall(17, 3)), 1) << "tried before its turn";
    EXPECT_GT(firstAt(calls, noteCall(17, 3)), slowFirst);
    for (int id : {2, 4, 6}) {
        EXPECT_EQ(std::count(calls.begin(), calls.end(), noteCall(18, id)), 1) << id;
        EXPECT_LT(firstAt(calls, noteCall(18, id)), slowFirst) << id << " waited for Slow";
    }
}

// What waits for a destination that went is answered as not connected, and
// the replies after it follow.
TEST(WaitingForRoom, SendsWaitingForADestinationThatGoesAreAnswered) {
    Child c = startBridge([] {
        auto& w = fake::world();
        w.endpoints = {fake::named(17, "Slow", 1), fake::named(18, "Fast", 2)};
        w.endpoints[0].fullSends = 1'000'000;
        w.traceBytes = true;
        // Slow goes once its first send has waited a while.
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(1ms);
                std::lock_guard held(fake::worldLock());
                auto& w = fake::world();
                if (std::count(w.calls.begin(), w.calls.end(), noteCall(17, 1)) < 10) continue;
                w.endpoints.erase(w.endpoints.begin());
                break;
            }
            fake::notify(1);
        }).detach();
    });
    EXPECT_EQ(c.line(), bothReport);
    c.write(note(1, "Slow") + note(2, "Slow") + note(3, "Fast"));
    // The report may come before the replies or, when a try found Slow gone
    // before the notice came, after them.
    std::vector<std::string> replies;
    int reports = 0;
    for (int i = 0; i < 4; ++i) {
        auto line = c.line();
        ASSERT_TRUE(line);
        if (*line == R"({"ports":[{"name":"Fast","uid":2}]})")
            ++reports;
        else
            replies.push_back(*line);
    }
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(replies, (std::vector<std::string>{notConnected(1, "Slow"), notConnected(2, "Slow"), ok(3)}));
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    auto calls = c.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), noteCall(17, 2)), 0) << "tried before its turn";
    EXPECT_LT(firstAt(calls, noteCall(18, 3)), lastAt(calls, noteCall(17, 1))) << "Fast waited for Slow";
}

// A report of changes the host did not ask for is not held behind replies
// that wait.
TEST(WaitingForRoom, AReportOfChangesGoesAheadOfWaitingReplies) {
    Child c = startBridge([] {
        auto& w = fake::world();
        w.endpoints = {fake::named(17, "Slow", 1), fake::named(18, "Fast", 2)};
        w.endpoints[0].fullSends = 300;
        w.traceBytes = true;
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(1ms);
                std::lock_guard held(fake::worldLock());
                auto& w = fake::world();
                if (std::count(w.calls.begin(), w.calls.end(), noteCall(17, 1)) < 10) continue;
                w.endpoints.push_back(fake::named(19, "New", 3));
                break;
            }
            fake::notify(1);
        }).detach();
    });
    EXPECT_EQ(c.line(), bothReport);
    c.write(note(1, "Slow") + note(2, "Fast"));
    EXPECT_EQ(c.line(), R"({"ports":[{"name":"Slow","uid":1},{"name":"Fast","uid":2},{"name":"New","uid":3}]})");
    EXPECT_EQ(c.line(), ok(1));
    EXPECT_EQ(c.line(), ok(2));
}

// The end of the input ends the bridge only once what waits has gone out.
TEST(WaitingForRoom, TheEndOfInputWaitsForSendsThatWaitForRoom) {
    Child c = startTwo(100);
    c.write(note(1, "Slow") + note(2, "Fast") + note(3, "Slow"));
    c.closeInput();
    EXPECT_EQ(c.rest(), ok(1) + "\n" + ok(2) + "\n" + ok(3) + "\n");
    EXPECT_EQ(c.wait(), 0);
    auto calls = c.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), noteCall(17, 3)), 1);
}

}  // namespace

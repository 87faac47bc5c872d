// Faults injected through the fake MIDI world, and a host that closes the
// bridge's standard output or goes away: whatever happens, nothing crashes,
// every request is answered exactly once and the answer says what happened.

#include <gtest/gtest.h>

#include "json.h"
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <thread>

#include "app/dispatch.h"
#include "capture.h"
#include "child.h"
#include "midi/fake.h"
#include "protocol/emit.h"

namespace {

using namespace std::string_literals;

std::string ok(std::int64_t id) { return dump(Json{{"id", id}, {"ok", true}}); }
std::string failed(std::int64_t id, const std::string& error) {
    return dump(Json{{"id", id}, {"ok", false}, {"error", error}});
}
std::string request(std::int64_t id, const std::string& dest) {
    return dump(Json{{"id", id}, {"dest", dest}, {"bytes", {144, 60, 100}}}) + "\n";
}
using Ports = std::vector<std::pair<std::string, std::int32_t>>;
std::string report(const Ports& ports) {
    boost::json::array list;
    for (const auto& [name, uid] : ports) list.push_back(boost::json::object{{"name", name}, {"uid", uid}});
    return dump(Json{{"ports", list}});
}

void closeOutput(Child& c) {
    ::close(c.out);
    c.out = -1;
}

// Feeds input from another thread, so that the bridge's output can never
// fill its pipe while the test is still writing.
struct Feeder {
    std::thread thread;
    Feeder(Child& c, std::string input) : thread([&c, input = std::move(input)] { c.write(input); }) {}
    ~Feeder() { thread.join(); }
};

// Reads the record of calls until it shows `want` sends or stops growing,
// and returns the sends it showed.
long sendsSeen(Child& c, long want) {
    long seen = 0;
    while (seen < want) {
        auto calls = c.calls();
        if (calls.empty()) break;
        seen += std::count_if(calls.begin(), calls.end(), [](auto& l) { return l.rfind("send ", 0) == 0; });
    }
    return seen;
}

// Blocks the calling thread of a forked bridge until the MIDI client exists,
// so that none of its notifications is fired into the void.
void awaitHandler() {
    for (;;) {
        {
            std::lock_guard held(fake::worldLock());
            if (fake::world().handler) return;
        }
        std::this_thread::sleep_for(1ms);
    }
}

// Statuses a MIDI service hands back: errno values, and the extremes.
const midi::Status statuses[] = {-1, -2, -11, -12, -22, 1, INT32_MIN, INT32_MAX};

// Each call of the service fails with each status in a running bridge: the
// failure changes what is listed or sent exactly as the rules say, and every
// request still gets its one reply, in order.
TEST(Faults, EveryStatusAtEveryCall) {
    enum Outcome { sent, gone, refused };  // ok, not connected, send failed
    struct Case {
        const char* call;
        void (*inject)(fake::World&, midi::Status);
        Ports listed;
        Outcome synth, alt, midi1, midi2;  // replies to sends to those four names
        bool viaPort0;
    } cases[] = {
        {"port creation", [](fake::World& w, midi::Status s) { w.portStatus = s; },
         {{"Synth", 7}, {"Alt", 8}}, sent, sent, gone, gone, true},
        // Failed reads that write nothing: the usual case.
        {"offline read",
         [](fake::World& w, midi::Status s) {
             for (auto& e : w.endpoints) {
                 e.offline.reset();
                 e.offlineStatus = s;
             }
         },
         {{"Synth", 7}, {"Alt", 8}}, sent, sent, gone, gone, false},
        {"unique id read",
         [](fake::World& w, midi::Status s) {
             for (auto& e : w.endpoints) {
                 e.uid.reset();
                 e.uidStatus = s;
             }
         },
         {{"Synth", 0}, {"Alt", 0}}, sent, sent, gone, gone, false},
        // Failed reads that write their text all the same.
        {"display name read",
         [](fake::World& w, midi::Status s) {
             for (auto& e : w.endpoints) e.displayNameStatus = s;
         },
         {{"MIDI 1", 7}, {"Alt", 8}}, gone, sent, sent, gone, false},
        {"name read",
         [](fake::World& w, midi::Status s) {
             for (auto& e : w.endpoints) e.nameStatus = s;
         },
         {{"Synth", 7}, {"MIDI 2", 8}}, sent, gone, gone, sent, false},
        {"send",
         [](fake::World& w, midi::Status s) {
             for (auto& e : w.endpoints) e.sendStatus = s;
         },
         {{"Synth", 7}, {"Alt", 8}}, refused, refused, gone, gone, false},
    };
    const std::string dests[] = {"Synth", "Alt", "MIDI 1", "MIDI 2"};
    for (const auto& k : cases) {
        for (midi::Status status : statuses) {
            SCOPED_TRACE(k.call + " returning "s + std::to_string(status));
            Child c = startBridge([&] {
                auto& w = fake::world();
                fake::Endpoint alt;  // no display name: listed by its name
                alt.ref = 18;
                alt.uid = 8;
                alt.name = "Alt";
                w.endpoints = {fake::named(17, "Synth", 7), alt};
                k.inject(w, status);
            });
            std::string input = "{\"cmd\":\"ports\"}\n";
            for (int i = 0; i < 4; ++i) input += request(i + 1, dests[i]);
            c.write(input);
            EXPECT_EQ(c.line(), report(k.listed));
            EXPECT_EQ(c.line(), report(k.listed));
            Outcome outcomes[] = {k.synth, k.alt, k.midi1, k.midi2};
            for (int i = 0; i < 4; ++i) {
                std::string want = outcomes[i] == sent   ? ok(i + 1)
                                   : outcomes[i] == gone ? failed(i + 1, dests[i] + " is not connected")
                                                         : failed(i + 1, "send failed (" + std::to_string(status) + ")");
                EXPECT_EQ(c.line(), want) << dests[i];
            }
            c.closeInput();
            EXPECT_EQ(c.rest(), "");
            EXPECT_EQ(c.wait(), 0);
            // A port that was never made leaves every send on port 0.
            auto calls = c.calls();
            bool viaPort0 = std::any_of(calls.begin(), calls.end(), [](auto& l) { return l.rfind("send 0 ", 0) == 0; });
            EXPECT_EQ(viaPort0, k.viaPort0);
        }
    }
}

// The destination list changes between the count and the reads that follow
// it; each directory lists what its reads found, never an entry it did not
// read, and the requests built on it are answered accordingly.
TEST(Faults, DestinationsChangeBetweenCountAndReads) {
    struct Case {
        const char* change;
        void (*afterCount)(fake::World&);
        Ports listed;
        std::vector<std::string> reachable;  // of A, B and C
    } cases[] = {
        {"all removed", [](fake::World& w) { w.endpoints.clear(); }, {}, {}},
        {"first removed", [](fake::World& w) { w.endpoints.erase(w.endpoints.begin()); }, {{"B", 2}}, {"B"}},
        {"one added in front", [](fake::World& w) { w.endpoints.insert(w.endpoints.begin(), fake::named(3, "C", 3)); },
         {{"C", 3}, {"A", 1}}, {"C", "A"}},
        {"one added at the end", [](fake::World& w) { w.endpoints.push_back(fake::named(3, "C", 3)); },
         {{"A", 1}, {"B", 2}}, {"A", "B"}},
        {"first went offline", [](fake::World& w) { w.endpoints[0].offline = 1; }, {{"B", 2}}, {"B"}},
        {"first renamed", [](fake::World& w) { w.endpoints[0].displayName = "C"; }, {{"C", 1}, {"B", 2}}, {"C", "B"}},
        {"second lost its names", [](fake::World& w) { w.endpoints[1].displayName.reset(); },
         {{"A", 1}, {"MIDI 2", 2}}, {"A"}},
        {"second replaced under its reference",
         [](fake::World& w) { w.endpoints[1] = fake::named(2, "C", 30); }, {{"A", 1}, {"C", 30}}, {"A", "C"}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.change);
        auto reset = [&] {
            fake::reset();
            fake::world().endpoints = {fake::named(1, "A", 1), fake::named(2, "B", 2)};
            fake::world().afterCount = k.afterCount;
        };
        reset();
        EXPECT_EQ(capture([] { dispatch(accepted(R"({"cmd":"ports"})")); }), report(k.listed) + "\n");
        for (std::string dest : {"A", "B", "C"}) {
            reset();
            std::string reply = capture([&] { dispatch(accepted(request(1, dest))); });
            bool reachable = std::count(k.reachable.begin(), k.reachable.end(), dest) > 0;
            EXPECT_EQ(reply, (reachable ? ok(1) : failed(1, dest + " is not connected")) + "\n") << dest;
            EXPECT_EQ(fake::world().sent.size(), reachable ? 1u : 0u) << dest;
        }
    }
}

// Setup changes notified from several threads at once, while the destination
// list changes under them and requests stream in: every request is answered
// once and in order, every notification gets its report, every report is true
// to one state of the list, and the bridge still ends at once on end of input.
TEST(Faults, NotificationsFromManyThreadsWhileRequestsStream) {
    constexpr int notifiers = 4, notifications = 250, requests = 4000, commandEvery = 40;
    Child c = startBridge([] {
        fake::world().endpoints = {fake::named(17, "Synth", 7)};
        for (int t = 0; t < notifiers; ++t)
            std::thread([] {
                awaitHandler();
                for (int i = 0; i < notifications; ++i) {
                    fake::notify(1);
                    std::this_thread::sleep_for(100us);
                }
            }).detach();
        // Another destination comes and goes, unannounced.
        std::thread([] {
            awaitHandler();
            for (int i = 0; i < 2000; ++i) {
                {
                    std::lock_guard held(fake::worldLock());
                    auto& list = fake::world().endpoints;
                    if (list.size() == 1)
                        list.push_back(fake::named(18, "Extra", 8));
                    else
                        list.pop_back();
                }
                std::this_thread::sleep_for(50us);
            }
        }).detach();
    });
    std::string input;
    for (int id = 1; id <= requests; ++id)
        input += id % commandEvery == 0 ? "{\"cmd\":\"ports\"}\n" : request(id, id % 2 ? "Synth" : "Extra");
    std::optional<Feeder> feed;
    feed.emplace(c, input);
    const std::string without = report({{"Synth", 7}}), with = report({{"Synth", 7}, {"Extra", 8}});
    // Extra gone between the read of its reference and the reads of its
    // names (or its uid): those reads fail and write nothing, which lists it
    // as online, under its fallback name (with uid 0).
    const std::string ghosts[] = {report({{"Synth", 7}, {"MIDI 2", 8}}), report({{"Synth", 7}, {"MIDI 2", 0}})};
    int reports = 0, next = 1;
    for (;;) {
        while (next <= requests && next % commandEvery == 0) ++next;
        if (next > requests && reports == 1 + notifiers * notifications + requests / commandEvery) break;
        auto l = c.line();
        if (!l) break;
        if (*l == without || *l == with || *l == ghosts[0] || *l == ghosts[1]) {
            ++reports;
            continue;
        }
        ASSERT_LE(next, requests) << "an answer too many: " << *l;
        if (next % 2)
            ASSERT_EQ(*l, ok(next));
        else
            // Gone before the directory was built, or between it and the send.
            ASSERT_TRUE(*l == ok(next) || *l == failed(next, "Extra is not connected") ||
                        *l == failed(next, "send failed (-1)"))
                << *l;
        ++next;
    }
    EXPECT_EQ(next, requests + 1) << "requests left unanswered";
    EXPECT_EQ(reports, 1 + notifiers * notifications + requests / commandEvery);
    feed.reset();
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.rest(), "");
    EXPECT_EQ(c.errors(), "");
}

// What the host does to the bridge's standard streams, and how the bridge ends.
// The bridge installs no signal handling: a write to a closed pipe raises
// SIGPIPE, whose default action ends it; a host that starts it with SIGPIPE
// ignored instead has writes fail with EPIPE, and the bridge carries on
// without output until its input ends.
TEST(HostGoesAway, TheBridgeEndsPromptlyWhateverTheHostCloses) {
    struct Case {
        const char* what;
        bool sigpipeIgnored;
        void (*notifyOnClosedOutput)();  // runs in the bridge, or nullptr
        void (*host)(Child&);            // after the first report
        std::vector<int> statuses;       // how the bridge may end
        long sends;                      // sends made by then, -1 when it may vary
    } cases[] = {
        {"closes both, idle", false, nullptr,
         [](Child& c) {
             closeOutput(c);
             c.closeInput();
         },
         {0}, 0},
        {"closes its output, then sends", false, nullptr,
         [](Child& c) {
             closeOutput(c);
             c.write(request(1, "Synth"));
         },
         {128 + SIGPIPE}, 1},
        {"closes its output; a setup change follows", false,
         [] {
             pollfd out{STDOUT_FILENO, 0, 0};  // POLLERR: the reading end is gone
             while (::poll(&out, 1, -1) <= 0 || !(out.revents & POLLERR)) {}
             fake::notify(1);
         },
         [](Child& c) { closeOutput(c); }, {128 + SIGPIPE}, 0},
        {"sends, then goes away at once", false, nullptr,
         [](Child& c) {
             c.write(request(1, "Synth"));
             closeOutput(c);
             c.closeInput();
         },
         {0, 128 + SIGPIPE}, -1},
        // The main thread blocks on a full pipe while holding the output, and
        // the end of input waits for it; closing the output releases both.
        {"stops reading, closes its input, then its output", false, nullptr,
         [](Child& c) {
             std::string commands;
             for (int i = 0; i < 100; ++i) commands += "{\"cmd\":\"ports\"}\n";  // far more than a pipe holds
             c.write(commands);
             c.closeInput();
             closeOutput(c);
         },
         {0, 128 + SIGPIPE}, 0},
        {"ignores SIGPIPE, closes its output, sends, then closes its input", true, nullptr,
         [](Child& c) {
             closeOutput(c);
             c.write(request(1, "Synth") + "{\"cmd\":\"ports\"}\n" + request(2, "Synth"));
             // Both are carried out, answered into the void, and the bridge lives on.
             EXPECT_EQ(sendsSeen(c, 2), 2);
             c.closeInput();
         },
         {0}, -1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Child c = startBridge([&] {
            fake::world().endpoints = {fake::named(17, "Synth", 7), fake::named(18, std::string(3000, 'n'), 8)};
            if (k.sigpipeIgnored) ::signal(SIGPIPE, SIG_IGN);  // as if inherited from the host
            if (k.notifyOnClosedOutput)
                std::thread([f = k.notifyOnClosedOutput] {
                    awaitHandler();
                    f();
                }).detach();
        });
        ASSERT_TRUE(c.line());
        k.host(c);
        int status = c.wait();
        EXPECT_NE(status, -1) << "still running";
        EXPECT_TRUE(std::count(k.statuses.begin(), k.statuses.end(), status)) << "ended with " << status;
        EXPECT_EQ(c.errors(), "");
        if (k.sends >= 0) {
            EXPECT_EQ(sendsSeen(c, k.sends + 1), k.sends);
        }
    }
}

}  // namespace

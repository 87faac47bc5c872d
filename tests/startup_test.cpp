// Start-up, run for real in a child process over the fake MIDI world.

#include <gtest/gtest.h>

#include <thread>

#include "child.h"
#include "json.h"
#include "midi/fake.h"
#include "protocol/emit.h"

namespace {

TEST(Startup, RefusedClientWritesTheFailureLineAndExits1) {
    for (midi::Status status : {-2, -1, 5, INT32_MIN, INT32_MAX}) {
        Child c = startBridge([status] { fake::world().clientStatus = status; },
                              "{\"cmd\":\"ports\"}\n");
        EXPECT_EQ(c.rest(), "{\"error\":\"MIDI unavailable (" + std::to_string(status) + ")\"}\n");
        EXPECT_EQ(c.wait(), 1);
        EXPECT_EQ(c.errors(), "");
    }
}

TEST(Startup, RefusedClientCreatesNoPortAndReadsNoInput) {
    Child c = startBridge([] { fake::world().clientStatus = -2; }, "{\"cmd\":\"ports\"}\n");
    EXPECT_EQ(c.wait(), 1);
    EXPECT_EQ(c.calls(), std::vector<std::string>{"clientCreate Quorvane Monitor"});
    EXPECT_EQ(c.unreadInput(), "{\"cmd\":\"ports\"}\n");
}

TEST(Startup, CreatesClientThenPortThenReports) {
    Child c = startBridge([] {});
    EXPECT_EQ(c.line(), R"({"ports":[]})");
    EXPECT_EQ(c.calls(), (std::vector<std::string>{"clientCreate Quorvane Monitor",
                                                   "outputPortCreate 128 Quorvane Monitor out",
                                                   "count"}));
}

TEST(Startup, FirstLineIsThePortsReport) {
    Child c = startBridge([] {
        fake::world().endpoints = {fake::named(17, "Synth", 42), fake::named(18, "Drums", -3)};
    });
    EXPECT_EQ(c.line(), R"({"ports":[{"name":"Synth","uid":42},{"name":"Drums","uid":-3}]})");
    c.closeInput();
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.errors(), "");
}

TEST(Startup, ReportComesFirstEvenWithInputWaitingAndSetupChanging) {
    // Notifications fire from another thread as soon as the client exists,
    // and commands wait on standard input before the program starts.
    Child c = startBridge(
        [] {
            fake::world().endpoints = {fake::named(17, "Synth", 1)};
            fake::world().countDelay = 20ms;
            std::thread([] {
                for (int i = 0; i < 20; ++i) {
                    fake::notify(1);
                    std::this_thread::sleep_for(1ms);
                }
            }).detach();
        },
        "{\"cmd\":\"ports\"}\n{\"id\":3}\n");
    EXPECT_EQ(c.line(), R"({"ports":[{"name":"Synth","uid":1}]})");
    // The command's report and the reply follow in order, among the reports
    // of the setup changes.
    std::vector<std::string> after;
    while (auto l = c.line(2s)) {
        after.push_back(*l);
        if (l->find("\"id\"") != std::string::npos) break;
    }
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(parse(after.back()), parse(R"({"error":"bad request","id":3,"ok":false})"));
    after.pop_back();
    for (auto& l : after) EXPECT_EQ(l, R"({"ports":[{"name":"Synth","uid":1}]})");
}

TEST(Startup, FailedPortCreationStillStartsAndSendsWithPort0) {
    Child c = startBridge([] {
        auto& w = fake::world();
        w.portStatus = -50;
        w.endpoints = {fake::named(17, "Synth")};
        w.endpoints[0].sendStatus = -9;
    });
    EXPECT_EQ(c.line(), R"({"ports":[{"name":"Synth","uid":0}]})");
    c.write(R"({"id":1,"dest":"Synth","bytes":[144,60,100]})" "\n");
    auto reply = c.line();
    ASSERT_TRUE(reply);
    EXPECT_EQ(parse(*reply), parse(R"j({"error":"send failed (-9)","id":1,"ok":false})j"));
}

TEST(Startup, OutputReachesAPipeLineByLine) {
    Child c = startBridge([] { fake::world().endpoints = {fake::named(17, "Synth")}; });
    ASSERT_TRUE(c.line());
    // Each answer arrives while standard input stays open.
    for (int i = 0; i < 3; ++i) {
        c.write("{\"cmd\":\"ports\"}\n");
        EXPECT_EQ(c.line(2s), R"({"ports":[{"name":"Synth","uid":0}]})");
    }
}

TEST(Startup, NotificationsOtherThanSetupChangedWriteNothing) {
    Child c = startBridge([] {
        std::thread([] {
            std::this_thread::sleep_for(50ms);
            fake::notify(2);
            fake::notify(0);
            fake::notify(1);
        }).detach();
    });
    EXPECT_EQ(c.line(), R"({"ports":[]})");
    EXPECT_EQ(c.line(), R"({"ports":[]})");
    EXPECT_EQ(c.line(300ms), std::nullopt);
}

}  // namespace

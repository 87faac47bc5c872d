// The bridge starting on a real ALSA sequencer, and on a machine without one.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>
#include <nlohmann/json.hpp>

#include "bridge.h"
#include "peer.h"

namespace {

bool sequencerPresent() { return ::access("/dev/snd/seq", F_OK) == 0; }

bool isPortsReport(const std::optional<std::string>& line) {
    if (!line) return false;
    auto json = nlohmann::json::parse(*line, nullptr, false);
    return json.is_object() && json.contains("ports") && json["ports"].is_array();
}

// The guest runs this suite before it loads the sound modules.
TEST(WithoutSequencer, WritesMidiUnavailableAndExits1WhileInputIsOpen) {
    ASSERT_FALSE(sequencerPresent()) << "run this suite before the sound modules are loaded";
    Bridge bridge;
    EXPECT_EQ(bridge.line(), R"json({"error":"MIDI unavailable (-2)"})json");
    EXPECT_EQ(bridge.rest(), "");
    EXPECT_EQ(bridge.wait(), 1);
    EXPECT_EQ(bridge.errors(), "");
}

class OnSequencer : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sequencerPresent()) << "the sound modules are not loaded"; }
};

TEST_F(OnSequencer, RegistersItsClientAndOutputPort) {
    Bridge bridge;
    ASSERT_TRUE(isPortsReport(bridge.line()));

    auto ports = sequencerPorts();
    auto own = std::find_if(ports.begin(), ports.end(), [&](const SeqPort& p) { return p.pid == bridge.pid(); });
    ASSERT_NE(own, ports.end()) << "no sequencer client belongs to the bridge";
    EXPECT_EQ(own->clientName, "Quorvane Monitor");
    auto out = std::find_if(ports.begin(), ports.end(), [&](const SeqPort& p) {
        return p.client == own->client && p.portName == "Quorvane Monitor out";
    });
    ASSERT_NE(out, ports.end()) << "the bridge's client has no port \"Quorvane Monitor out\"";
    EXPECT_TRUE(out->caps & SND_SEQ_PORT_CAP_READ) << "an output port others can read from";

    bridge.closeInput();
    EXPECT_EQ(bridge.wait(), 0);
    EXPECT_EQ(bridge.errors(), "");
}

// What the host does with standard input while the bridge starts.
struct InputCase {
    const char* name;
    std::function<void(Bridge&)> beforeFirstLine;
    std::size_t reports;  // ports reports due before the input may end
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

class StartUp : public OnSequencer, public testing::WithParamInterface<InputCase> {};

// Standard output is a pipe, so the first report only arrives if it is flushed.
TEST_P(StartUp, WritesAPortsReportFirstAndExits0AtEndOfInput) {
    Bridge bridge;
    GetParam().beforeFirstLine(bridge);
    ASSERT_TRUE(isPortsReport(bridge.line())) << "the first line must be a ports report";
    // The end of input ends the bridge at once, so answers are awaited first.
    for (std::size_t i = 1; i < GetParam().reports; ++i) ASSERT_TRUE(isPortsReport(bridge.line()));

    bridge.closeInput();
    while (auto line = bridge.line()) EXPECT_TRUE(isPortsReport(line)) << *line;
    EXPECT_EQ(bridge.wait(), 0);
    EXPECT_EQ(bridge.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Input, StartUp,
    testing::Values(InputCase{"KeptOpen", [](Bridge&) {}, 1},
                    InputCase{"ClosedAtOnce", [](Bridge& b) { b.closeInput(); }, 1},
                    InputCase{"AskingForPorts", [](Bridge& b) { b.write("{\"cmd\":\"ports\"}\n"); }, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Where each of the process's descriptors leads.
std::vector<std::pair<int, std::string>> descriptors(pid_t pid) {
    std::vector<std::pair<int, std::string>> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; ++fd) {
        char target[256];
        ssize_t n = ::readlink((dir + std::to_string(fd)).c_str(), target, sizeof target);
        if (n > 0) out.emplace_back(fd, std::string(target, static_cast<std::size_t>(n)));
    }
    return out;
}

// Started without a standard stream, the bridge puts /dev/null in its place
// before it opens the sequencer, whose handle must never be read as input or
// written to as output.
TEST_F(OnSequencer, StandardStreamsItWasStartedWithoutAreNeverItsOwn) {
    for (int closed : {1, 2}) {
        SCOPED_TRACE("started without descriptor " + std::to_string(closed));
        Bridge bridge(GUEST_BRIDGE, {closed});
        if (closed != 1) {
            ASSERT_TRUE(isPortsReport(bridge.line()));
        } else {
            std::this_thread::sleep_for(300ms);  // its output goes nowhere
        }
        auto fds = descriptors(bridge.pid());
        ASSERT_FALSE(fds.empty());
        for (const auto& [fd, target] : fds) {
            if (fd == closed) {
                EXPECT_EQ(target, "/dev/null");
            }
            if (target.find("/dev/snd/") == 0) {
                EXPECT_GT(fd, 2) << target;
            }
        }
        bridge.closeInput();
        EXPECT_EQ(bridge.wait(), 0);
    }
    // Without standard input there is nothing to read: it ends as at the end of input.
    Bridge bridge(GUEST_BRIDGE, {0});
    ASSERT_TRUE(isPortsReport(bridge.line()));
    EXPECT_EQ(bridge.wait(2s), 0);
}

}  // namespace

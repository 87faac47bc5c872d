// The real program on this machine's own MIDI system.

#include <gtest/gtest.h>
#include <unistd.h>

#include "child.h"

namespace {

const std::string failureLine = "{\"error\":\"MIDI unavailable (-2)\"}\n";

bool sequencerHere() { return ::access("/dev/snd/seq", F_OK) == 0; }

TEST(Program, WithoutASequencerWritesTheFailureLineOnly) {
    if (sequencerHere()) GTEST_SKIP() << "this machine has a sequencer";
    Child c = spawnProgram(PROGRAM, "{\"cmd\":\"ports\"}\n");
    EXPECT_EQ(c.rest(), failureLine);
    EXPECT_EQ(c.wait(), 1);
    EXPECT_EQ(c.errors(), "");
    EXPECT_EQ(c.unreadInput(), "{\"cmd\":\"ports\"}\n");
}

// A lone --help or --version is answered without the sequencer, so even
// here; every other argument list starts the bridge as no arguments do.
TEST(Program, TakesOnlyALoneHelpOrVersion) {
    if (sequencerHere()) GTEST_SKIP() << "this machine has a sequencer";
    struct Case {
        std::vector<std::string> args;
        std::string startOfOutput;
        int status;
    } cases[] = {
        {{"--help"}, "Usage: quorvane-monitor\n", 0},
        {{"--version"}, "quorvane-monitor " VERSION "\n", 0},
        {{"--help", "--version"}, failureLine, 1},
        {{"--version", "x"}, failureLine, 1},
        {{"-h"}, failureLine, 1},
        {{"--Help"}, failureLine, 1},
        {{"--version=1"}, failureLine, 1},
        {{""}, failureLine, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Child p = spawnProgram(PROGRAM, "{\"cmd\":\"ports\"}\n", c.args);
        std::string out = p.rest();
        EXPECT_EQ(out.substr(0, c.startOfOutput.size()), c.startOfOutput);
        EXPECT_EQ(p.wait(), c.status);
        EXPECT_EQ(p.errors(), "");
        EXPECT_EQ(p.unreadInput(), "{\"cmd\":\"ports\"}\n");
    }
    Child version = spawnProgram(PROGRAM, {}, {"--version"});
    EXPECT_EQ(version.rest(), "quorvane-monitor " VERSION "\n");
}

}  // namespace

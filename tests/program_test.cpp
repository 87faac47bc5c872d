// The real program on this machine's own MIDI system.

#include <gtest/gtest.h>
#include <unistd.h>

#include "child.h"

namespace {

TEST(Program, WithoutASequencerWritesTheFailureLineOnly) {
    if (::access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has a sequencer";
    Child c = spawnProgram(PROGRAM, "{\"cmd\":\"ports\"}\n");
    EXPECT_EQ(c.rest(), "{\"error\":\"MIDI unavailable (-2)\"}\n");
    EXPECT_EQ(c.wait(), 1);
    EXPECT_EQ(c.errors(), "");
    EXPECT_EQ(c.unreadInput(), "{\"cmd\":\"ports\"}\n");
}

}  // namespace

#include "tests/support/TelnetAbuse.h"

#include <gtest/gtest.h>

namespace {

// Garbage, overlong lines, option bytes, abrupt disconnects and clients that never read: the
// command server stays up, turns the sixth connection away, and a well-behaved client gets
// every row of the run in order. (bench_telnet_abuse gives the window's longest stall.)
TEST(TelnetAbuseTest, ServerStaysUpAndAWellBehavedClientGetsEveryRow) {
    TTelnetAbuseRun run(100000);
    const TTelnetAbuseResult result = run.Run();
    EXPECT_EQ(result.Sequences, 100000);
    EXPECT_GT(result.OverlongLines, 0);
    EXPECT_GT(result.Connections, 200) << "connections dropped and made again";
    EXPECT_EQ(result.NeverReadingAccepted, 4);
    EXPECT_TRUE(result.SixthTurnedAway);
    EXPECT_TRUE(result.StillRunning);
    EXPECT_GT(result.RowsLogged, 10);
    EXPECT_TRUE(result.RowsInOrder)
        << result.RowsReceived << " rows received of " << result.RowsLogged << " logged";
    EXPECT_TRUE(result.ServerUp);
    RecordProperty("LongestWindowStallMs", int(result.LongestStallMs + 0.5));
}

} // namespace

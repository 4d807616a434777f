// The real window (offscreen) in a timer-mode run with two virtual meters while its command
// server is abused on loopback: 100,000 random byte sequences from two clients that drop their
// connections abruptly, option negotiation bytes, lines over the limit, then five clients that
// never read (one of them the sixth connection), and one well-behaved client throughout.
// - telnet_abuse_sequences: random byte sequences sent
// - telnet_abuse_window_stall_max_ms: the longest time the window's thread did not get to a
//   2 ms timer, beyond that interval
// - telnet_abuse_rows: rows the run logged
// - telnet_abuse_rows_lost: rows of the log that the well-behaved client did not get in order
#include "tests/support/TelnetAbuse.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TTelnetAbuseRun run(100000);
    const TTelnetAbuseResult result = run.Run();
    std::printf("telnet_abuse_sequences = %ld\n", result.Sequences);
    std::printf("telnet_abuse_window_stall_max_ms = %.1f\n", result.LongestStallMs);
    std::printf("telnet_abuse_rows = %d\n", result.RowsLogged);
    std::printf("telnet_abuse_rows_lost = %d\n",
                result.RowsInOrder ? 0 : std::abs(result.RowsLogged - result.RowsReceived));
    if (!result.ServerUp || !result.RowsInOrder) {
        std::fprintf(stderr, "server up: %d, rows received %d of %d\n", int(result.ServerUp),
                     result.RowsReceived, result.RowsLogged);
        return 1;
    }
    return 0;
}

#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class TMainWindow;
class TProgram;
class TVirtualHidBus;
class TScriptedPrompts;

// The real window's command server under abuse on loopback, during a timer-mode run with two
// virtual meters. Every client is a plain socket on a thread of its own, so that the window's
// thread does nothing but serve:
// 1. one well-behaved client reads everything from the start to the end;
// 2. two clients send random byte sequences (1 to 64 bytes; never a command letter, so that
//    chance does not steer the run) with telnet option negotiation between them, drop their
//    connection abruptly every few hundred sequences (mid-line, with a reset), and now and then
//    send a line longer than the limit;
// 3. then five clients connect that never read (the sixth connection of the server: one of them
//    is turned away), while the rows go on.
// Meanwhile a timer on the window's thread notes the longest gap between its ticks.
struct TTelnetAbuseResult {
    long Sequences = 0;    // random byte sequences sent
    long BytesSent = 0;    // by the abusive clients
    int Connections = 0;   // made by the abusive clients, those turned away included
    int OverlongLines = 0; // lines over the limit sent
    int NeverReadingAccepted = 0;
    bool SixthTurnedAway = false;
    double LongestStallMs = 0; // of the window's thread, beyond its timer's own interval
    int RowsLogged = 0;
    int RowsReceived = 0;      // by the well-behaved client
    bool RowsInOrder = false;  // the client got exactly the log's rows, in order
    bool ServerUp = false;     // a new client gets the greeting afterwards
    bool StillRunning = false; // the run went on to the end
};

class TTelnetAbuseRun {
public:
    explicit TTelnetAbuseRun(long sequences = 100000);
    ~TTelnetAbuseRun();
    TTelnetAbuseRun(const TTelnetAbuseRun&) = delete;
    TTelnetAbuseRun& operator=(const TTelnetAbuseRun&) = delete;

    TTelnetAbuseResult Run();

private:
    long FSequences;
    QTemporaryDir FDir;
    std::unique_ptr<TScriptedPrompts> FPrompts;
    std::unique_ptr<TVirtualHidBus> FBus;
    std::unique_ptr<TProgram> FProgram;
};

#pragma once

#include "remote/TelnetProtocol.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <utility>
#include <vector>

class QTcpServer;
class QTimer;

// What the command server asks of the program: the run's Start, Stop and status, and whether
// a modal question is open. Every call comes on the server's thread, the program's main one.
class TTelnetHost {
public:
    // The Start and Stop actions, as the buttons run them, but raising their errors.
    virtual void TelnetStart() = 0;
    virtual void TelnetStop() = 0;
    // The status report, a line each, without line ends.
    virtual QStringList TelnetStatus() = 0;
    // True while the window shows a modal dialog or question. Start and Stop then wait, in
    // the order they came, until it has closed; status requests are answered at once.
    virtual bool ShowsModalDialog() = 0;

protected:
    ~TTelnetHost() = default;
};

// The line-based command server. It runs on the window's thread without blocking it: sockets
// are non-blocking, and a client that reads slowly keeps a bounded backlog of its own whose
// oldest lines are dropped. Every connected client gets every measured-value line; lines queued
// while no client is connected wait, the newest MaxQueuedLines of them, for the next. A client that
// closes or half-closes its side is served until everything it sent has been handled and answered.
// Start and Stop never run inside a modal dialog: they wait, in the order they came, until it
// has closed. Clients outside the allowed subnets are closed at once, before their greeting.
class TTelnetServer : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 5;
    static constexpr int GreetingDelayMs = 100;
    // What a slow client may have waiting beyond its socket's buffer, in lines.
    static constexpr std::size_t MaxBacklogLines = 500;
    // Lines kept for the next client while none is connected.
    static constexpr qsizetype MaxQueuedLines = 500;
    // How often commands that wait for a modal dialog look whether it has closed.
    static constexpr int WaitingCommandPollMs = 25;

    // An address and its prefix length, as QHostAddress::parseSubnet gives them.
    using TSubnet = std::pair<QHostAddress, int>;

    explicit TTelnetServer(TTelnetHost& host, QObject* parent = nullptr);
    // Closes every connection.
    ~TTelnetServer() override;

    // Listens on address, every local IPv4 address unless given; port 0 takes a free one.
    // Raises with a message that says which port, why it could not be opened and what to do in
    // settingsFile.
    void Listen(quint16 port, const QString& settingsFile = {},
                const QHostAddress& address = QHostAddress(QHostAddress::AnyIPv4));
    quint16 Port() const;
    bool IsListening() const;
    // Only clients in one of these subnets may connect from now on; none: every client. An IPv4
    // client of a socket that listens on IPv6 too matches the subnets of its IPv4 address.
    void SetAllowedClients(QList<TSubnet> subnets);
    // Connections open, greeted or not.
    int ConnectionCount() const;
    // Clients closed since the start because they were not allowed.
    int RefusedCount() const { return FRefusedCount; }
    // A measured-value line for the clients: sent at once to every greeted one, or kept for
    // the next while none is connected.
    void QueueLine(const QString& line);
    // The lines kept for the next client.
    const QStringList& QueuedLines() const { return FQueuedLines; }
    // Stops listening and closes every connection, without calling the host.
    void Close();

signals:
    // A client connected, from clientAddress; a connection ended.
    void ClientConnected(const QString& clientAddress);
    void ClientDisconnected();
    // A client that is not allowed was closed before its greeting; RefusedCount counts it.
    void ClientRefused(const QString& clientAddress);

private:
    struct TConnection;
    // A Start or Stop that waits for a modal dialog to close, or for the commands before it.
    struct TWaitingCommand {
        ETelnetCommand Command;
        quint64 ConnectionId;
    };

    // Sends the queued lines to every greeted client, if there is one.
    void DeliverMessages();
    void Accept(qintptr descriptor);
    bool IsAllowed(const QHostAddress& client) const;
    void Greet(quint64 connectionId);
    void ReadFrom(TConnection& connection);
    // Handles the complete lines of every greeted client, one line of each a pass.
    void HandleLines();
    void HandleCommand(TConnection& connection, ETelnetCommand command);
    void RunCommand(ETelnetCommand command, quint64 connectionId);
    // Runs the commands that waited, once no dialog shows and no command runs.
    void RunWaitingCommands();
    void Queue(TConnection& connection, const QByteArray& bytes);
    void Send(TConnection& connection, const QByteArray& bytes);
    // Hands queued output to the socket as far as it takes it.
    void Pump(TConnection& connection);
    // Reads again once its unhandled input has shrunk; closes it once it is done.
    void Settle(TConnection& connection);
    // Ends the connection after its output: the peer sees its end of input, not a reset.
    void Finish(TConnection& connection);
    // Ends the connection at once, dropping its output; lines already read are still handled
    // unless discardInput.
    void End(TConnection& connection, bool discardInput);
    // Frees the connections that have ended, later, once nothing holds them.
    void ScheduleReap();
    void Reap();
    TConnection* Find(quint64 connectionId);

    TTelnetHost& FHost;
    QTcpServer* FServer;
    std::vector<std::unique_ptr<TConnection>> FConnections;
    quint64 FLastConnectionId = 0;
    std::deque<TWaitingCommand> FWaiting;
    QTimer* FWaitingTimer;
    // A Start or Stop runs; it may show a dialog whose event loop brings further input meanwhile.
    bool FCommandRuns = false;
    bool FReapScheduled = false;
    QStringList FQueuedLines;
    QList<TSubnet> FAllowed;
    int FRefusedCount = 0;
};

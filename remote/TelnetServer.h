#pragma once

#include "TelnetProtocol.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;

// What the command server asks of the window. Every call comes on the window's thread, so
// nothing here needs a lock of its own.
class TTelnetHost {
public:
    // A client connected or disconnected; clientAddress is its address.
    virtual void TelnetServerConnect(const QString& clientAddress) = 0;
    virtual void TelnetServerDisconnect() = 0;
    // The Start and Stop actions, as the buttons run them, but raising their errors.
    virtual void TelnetStart() = 0;
    virtual void TelnetStop() = 0;
    // The status report, a line each, without line ends.
    virtual QStringList TelnetStatus() = 0;
    // Takes every line waiting for the clients out of the window's queue.
    virtual QStringList TakeTelnetMessages() = 0;

protected:
    ~TTelnetHost() = default;
};

// The line-based command server. It runs on the window's thread without blocking it: sockets
// are written through their buffers, and a client that reads slowly keeps a bounded backlog
// of its own whose oldest lines are dropped. Every connected client gets every measured-value
// line; lines queued while no client is connected wait in the window's queue for the next.
class TTelnetServer : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 5;
    static constexpr int GreetingDelayMs = 100;
    // What a slow client may have waiting beyond its socket's buffer, in lines.
    static constexpr std::size_t MaxBacklogLines = 500;

    explicit TTelnetServer(TTelnetHost& host, QObject* parent = nullptr);
    // Closes every connection.
    ~TTelnetServer() override;

    // Listens on every local IPv4 address; port 0 takes a free one. Raises with a message that
    // says which port, why it could not be opened and what to do.
    void Listen(quint16 port);
    quint16 Port() const;
    bool IsListening() const;
    // Connections open, greeted or not.
    int ConnectionCount() const;
    // Sends the lines waiting in the window's queue to every greeted client; the window calls
    // it whenever it queues lines.
    void DeliverMessages();
    // Stops listening and closes every connection, without calling the host.
    void Close();

    // Where the server's settings file key is documented for the user.
    static QString ListenErrorText(quint16 port, const QString& reason, bool privileged);

private:
    struct TConnection {
        QPointer<QTcpSocket> Socket;
        TTelnetLineReader Reader;
        bool Greeted = false;
        bool Closed = false;
        std::deque<QByteArray> Backlog;
    };

    void Accept();
    void Greet(TConnection* connection);
    void ReadFrom(TConnection* connection);
    // Handles the complete lines of every greeted client while no command runs.
    void HandleLines();
    void HandleCommand(TConnection& connection, ETelnetCommand command);
    void Send(TConnection& connection, const QByteArray& bytes);
    void Pump(TConnection& connection);
    void Drop(TConnection* connection);
    // Frees the connections that have ended, once no command runs that may still use them.
    void Reap();
    TConnection* Find(const QTcpSocket* socket);

    TTelnetHost& FHost;
    QTcpServer* FServer;
    std::vector<std::unique_ptr<TConnection>> FConnections;
    // A command runs; it may show a dialog whose event loop brings further input meanwhile.
    bool FBusy = false;
};

#include "TelnetServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <stdexcept>

namespace {

// Bytes a socket may buffer for a client before further lines wait in its backlog.
constexpr qint64 SocketBufferLimit = 64 * 1024;

QString ClientAddress(const QTcpSocket& socket) {
    const QHostAddress address = socket.peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

TTelnetServer::TTelnetServer(TTelnetHost& host, QObject* parent)
    : QObject(parent)
    , FHost(host)
    , FServer(new QTcpServer(this)) {
    connect(FServer, &QTcpServer::newConnection, this, &TTelnetServer::Accept);
}

TTelnetServer::~TTelnetServer() {
    Close();
}

QString TTelnetServer::ListenErrorText(quint16 port, const QString& reason, bool privileged) {
    QString text =
        QStringLiteral("The telnet server cannot listen on TCP port %1: %2.").arg(port).arg(reason);
    if (privileged)
        text += QStringLiteral(
            " On Linux only privileged programs may open ports below 1024. Choose a port from "
            "1024 up with the key Port in the section [Telnet] of the settings file, or grant "
            "the program the privilege (setcap cap_net_bind_service=+ep on the program file).");
    else
        text += QStringLiteral(
            " Another program may be using it. Choose another port with the key Port in the "
            "section [Telnet] of the settings file.");
    return text + QStringLiteral(" The program runs on without remote access.");
}

void TTelnetServer::Listen(quint16 port) {
    if (FServer->listen(QHostAddress::AnyIPv4, port))
        return;
    const bool privileged = FServer->serverError() == QAbstractSocket::SocketAccessError;
    const QString reason = FServer->errorString();
    throw std::runtime_error(ListenErrorText(port, reason, privileged).toStdString());
}

quint16 TTelnetServer::Port() const {
    return FServer->serverPort();
}

bool TTelnetServer::IsListening() const {
    return FServer->isListening();
}

int TTelnetServer::ConnectionCount() const {
    int count = 0;
    for (const auto& connection : FConnections)
        count += connection->Closed ? 0 : 1;
    return count;
}

void TTelnetServer::Close() {
    FServer->close();
    for (auto& connection : FConnections) {
        connection->Closed = true;
        if (QTcpSocket* socket = connection->Socket) {
            socket->disconnect(this);
            socket->abort();
            delete socket;
        }
    }
    FConnections.clear();
}

TTelnetServer::TConnection* TTelnetServer::Find(const QTcpSocket* socket) {
    for (auto& connection : FConnections)
        if (connection->Socket == socket && !connection->Closed)
            return connection.get();
    return nullptr;
}

void TTelnetServer::Accept() {
    while (QTcpSocket* socket = FServer->nextPendingConnection()) {
        if (ConnectionCount() >= MaxConnections) {
            // One too many: closed without a word.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto owned = std::make_unique<TConnection>();
        TConnection* connection = owned.get();
        connection->Socket = socket;
        FConnections.push_back(std::move(owned));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (TConnection* c = Find(socket))
                ReadFrom(c);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (TConnection* c = Find(socket))
                Pump(*c);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(Find(socket)); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { Drop(Find(socket)); });
        FHost.TelnetServerConnect(ClientAddress(*socket));
        QTimer::singleShot(GreetingDelayMs, this, [this, socket = QPointer<QTcpSocket>(socket)] {
            if (TConnection* c = socket ? Find(socket) : nullptr)
                Greet(c);
        });
    }
}

void TTelnetServer::Greet(TConnection* connection) {
    Send(*connection, TelnetLines({QStringLiteral("Dielo Meter 5.1 Telnet Server"), QString()}));
    connection->Greeted = true;
    // Lines queued while no one listened go to the first client.
    DeliverMessages();
    HandleLines();
}

void TTelnetServer::ReadFrom(TConnection* connection) {
    try {
        connection->Reader.Feed(connection->Socket->readAll());
    } catch (const ETelnetLineTooLong&) {
        Drop(connection);
        return;
    }
    HandleLines();
}

void TTelnetServer::HandleLines() {
    // A command may show a dialog; input that arrives meanwhile waits for it to end.
    if (FBusy)
        return;
    FBusy = true;
    bool handled = true;
    while (handled) {
        handled = false;
        // By index: a dialog's event loop may accept further connections meanwhile.
        for (std::size_t i = 0; i < FConnections.size(); ++i) {
            TConnection& connection = *FConnections[i];
            if (connection.Closed || !connection.Greeted)
                continue;
            if (const auto line = connection.Reader.NextLine()) {
                HandleCommand(connection, ParseTelnetCommand(*line));
                handled = true;
            }
        }
    }
    FBusy = false;
    Reap();
}

void TTelnetServer::HandleCommand(TConnection& connection, ETelnetCommand command) {
    try {
        switch (command) {
        case ETelnetCommand::Status:
            Send(connection, TelnetLines(FHost.TelnetStatus()));
            break;
        case ETelnetCommand::Start:
            FHost.TelnetStart();
            break;
        case ETelnetCommand::Stop:
            FHost.TelnetStop();
            break;
        case ETelnetCommand::None:
            break;
        }
    } catch (...) {
        // The client that asked loses its connection; nothing shows on the computer.
        Drop(&connection);
    }
}

void TTelnetServer::DeliverMessages() {
    bool anyone = false;
    for (const auto& connection : FConnections)
        anyone = anyone || (connection->Greeted && !connection->Closed);
    if (!anyone)
        return;
    const QStringList lines = FHost.TakeTelnetMessages();
    for (const QString& line : lines) {
        const QByteArray bytes = TelnetLine(line);
        for (const auto& connection : FConnections)
            if (connection->Greeted && !connection->Closed)
                Send(*connection, bytes);
    }
}

void TTelnetServer::Send(TConnection& connection, const QByteArray& bytes) {
    connection.Backlog.push_back(bytes);
    if (connection.Backlog.size() > MaxBacklogLines)
        connection.Backlog.pop_front(); // a stalled client loses its oldest lines
    Pump(connection);
}

void TTelnetServer::Pump(TConnection& connection) {
    QTcpSocket* socket = connection.Socket;
    if (!socket || connection.Closed)
        return;
    while (!connection.Backlog.empty() && socket->bytesToWrite() < SocketBufferLimit) {
        if (socket->write(connection.Backlog.front()) < 0) {
            Drop(&connection);
            return;
        }
        connection.Backlog.pop_front();
    }
}

void TTelnetServer::Drop(TConnection* connection) {
    if (!connection || connection->Closed)
        return;
    connection->Closed = true;
    connection->Backlog.clear();
    if (QTcpSocket* socket = connection->Socket) {
        socket->disconnect(this);
        socket->abort();
    }
    FHost.TelnetServerDisconnect();
    Reap();
}

void TTelnetServer::Reap() {
    if (FBusy)
        return;
    std::erase_if(FConnections, [](const std::unique_ptr<TConnection>& connection) {
        if (!connection->Closed)
            return false;
        if (connection->Socket)
            connection->Socket->deleteLater();
        return true;
    });
}

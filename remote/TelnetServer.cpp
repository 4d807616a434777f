#include "remote/TelnetServer.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// Bytes handed to a client's socket at a time; further lines wait in its backlog.
constexpr qsizetype SocketBufferLimit = 64 * 1024;
// Unhandled input a connection may hold before the server stops reading from it, and what one
// pass reads at most, so that a flood neither fills the memory nor holds up the window.
constexpr qsizetype InputLimit = 64 * 1024;
constexpr qsizetype ReadPerPass = 256 * 1024;
// Start and Stop commands of one client that may wait for a dialog; its further lines wait
// unread until they have run.
constexpr int MaxWaitingCommands = 64;

// Accepts on the listening socket's behalf: the server keeps the descriptor to itself, since
// QTcpSocket closes entirely on the peer's end of input.
class TListener final : public QTcpServer {
public:
    explicit TListener(std::function<void(qintptr)> accept, QObject* parent)
        : QTcpServer(parent)
        , FAccept(std::move(accept)) {}

protected:
    void incomingConnection(qintptr descriptor) override { FAccept(descriptor); }

private:
    std::function<void(qintptr)> FAccept;
};

// The connected client's address; a null address when the client has already gone.
QHostAddress PeerAddress(int descriptor) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

// An IPv4 client of a socket that listens on IPv6 too comes as ::ffff:a.b.c.d; users know it
// by its IPv4 address, and list it so.
QHostAddress WithoutIPv4Mapping(const QHostAddress& address) {
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return address.protocol() == QAbstractSocket::IPv6Protocol && mapped ? QHostAddress(ipv4)
                                                                         : address;
}

// Why listening failed, and which key of settingsFile to change.
QString ListenErrorText(quint16 port, const QHostAddress& address,
                        QAbstractSocket::SocketError error, const QString& reason,
                        const QString& settingsFile) {
    const QString file = settingsFile.isEmpty()
                             ? QStringLiteral("the settings file")
                             : QStringLiteral("the settings file ") + settingsFile;
    const bool anyIPv4 = address == QHostAddress::AnyIPv4;
    QString text = anyIPv4
                       ? QStringLiteral("The telnet server cannot listen on TCP port %1: %2.")
                             .arg(port)
                             .arg(reason)
                       : QStringLiteral("The telnet server cannot listen on TCP port %1 of %2: %3.")
                             .arg(port)
                             .arg(address.toString(), reason);
    if (error == QAbstractSocket::SocketAccessError)
        text += QStringLiteral(
                    " On Linux only privileged programs may open ports below 1024. Choose a port "
                    "from 1024 up with the key Port in the section [Telnet] of %1, or grant the "
                    "program the privilege (setcap cap_net_bind_service=+ep on the program file).")
                    .arg(file);
    else if (error == QAbstractSocket::SocketAddressNotAvailableError && !anyIPv4)
        text += QStringLiteral(" The address is none of this computer's. Set one of its addresses "
                               "with the key Bind in the section [Telnet] of %1, or leave the key "
                               "empty to listen on every IPv4 address.")
                    .arg(file);
    else
        text += QStringLiteral(" Another program may be using it. Choose another port with the "
                               "key Port in the section [Telnet] of %1.")
                    .arg(file);
    return text + QStringLiteral(" The program runs on without remote access.");
}

enum class EIo { Done, WouldBlock, EndOfInput, Failed };

// A non-blocking TCP connection over an accepted descriptor. It goes on writing after the
// peer's end of input, so a client that half-closes still gets its answers.
class TClientSocket {
public:
    TClientSocket(int descriptor, QObject* context, const std::function<void()>& readable,
                  const std::function<void()>& writable)
        : FDescriptor(descriptor)
        , FRead(descriptor, QSocketNotifier::Read)
        , FWrite(descriptor, QSocketNotifier::Write) {
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
        // Lines go out as they are queued; there is no later write to merge them with.
        const int on = 1;
        ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        QObject::connect(&FRead, &QSocketNotifier::activated, context, readable);
        QObject::connect(&FWrite, &QSocketNotifier::activated, context, writable);
        FWrite.setEnabled(false);
    }
    ~TClientSocket() { Close(); }
    TClientSocket(const TClientSocket&) = delete;
    TClientSocket& operator=(const TClientSocket&) = delete;

    void WatchReadable(bool on) {
        if (FDescriptor >= 0 && FRead.isEnabled() != on)
            FRead.setEnabled(on);
    }
    void WatchWritable(bool on) {
        if (FDescriptor >= 0 && FWrite.isEnabled() != on)
            FWrite.setEnabled(on);
    }
    EIo Receive(char* data, qsizetype size, qsizetype& got) {
        for (;;) {
            const ssize_t n = ::recv(FDescriptor, data, std::size_t(size), 0);
            got = n > 0 ? qsizetype(n) : 0;
            if (n > 0)
                return EIo::Done;
            if (n == 0)
                return EIo::EndOfInput;
            if (errno != EINTR)
                return errno == EAGAIN || errno == EWOULDBLOCK ? EIo::WouldBlock : EIo::Failed;
        }
    }
    EIo Send(QByteArrayView bytes, qsizetype& sent) {
        for (;;) {
            const ssize_t n =
                ::send(FDescriptor, bytes.data(), std::size_t(bytes.size()), MSG_NOSIGNAL);
            sent = n > 0 ? qsizetype(n) : 0;
            if (n >= 0)
                return EIo::Done;
            if (errno != EINTR)
                return errno == EAGAIN || errno == EWOULDBLOCK ? EIo::WouldBlock : EIo::Failed;
        }
    }
    // May run inside a notifier's own signal: the notifiers are switched off, not freed.
    void Close() {
        if (FDescriptor < 0)
            return;
        FRead.setEnabled(false);
        FWrite.setEnabled(false);
        ::close(FDescriptor);
        FDescriptor = -1;
    }

private:
    int FDescriptor;
    QSocketNotifier FRead;
    QSocketNotifier FWrite;
};

} // namespace

struct TTelnetServer::TConnection {
    quint64 Id = 0;
    std::unique_ptr<TClientSocket> Socket;
    TTelnetLineReader Reader;
    QByteArray Output; // bytes being handed to the socket; never dropped, so no line is torn
    qsizetype OutputSent = 0;
    std::deque<QByteArray> Backlog; // lines behind Output, the oldest dropped
    int WaitingCommands = 0;
    bool Greeted = false;    // its greeting time has come: its lines are handled from now on
    bool InputEnded = false; // the peer's end of input has been read
    bool Closing = false;    // all it sent is handled: it closes once its output is out
    bool Ended = false;      // closed and the host told; it waits to be freed
    bool Discarding = false; // its lines are no longer handled

    bool OutputPending() const { return OutputSent < Output.size() || !Backlog.empty(); }
};

TTelnetServer::TTelnetServer(TTelnetHost& host, QObject* parent)
    : QObject(parent)
    , FHost(host)
    , FServer(new TListener([this](qintptr descriptor) { Accept(descriptor); }, this))
    , FWaitingTimer(new QTimer(this)) {
    // Nothing tells the server that a dialog has closed; it looks while commands wait.
    FWaitingTimer->setInterval(WaitingCommandPollMs);
    connect(FWaitingTimer, &QTimer::timeout, this, &TTelnetServer::RunWaitingCommands);
}

TTelnetServer::~TTelnetServer() {
    Close();
}

void TTelnetServer::Listen(quint16 port, const QString& settingsFile, const QHostAddress& address) {
    if (FServer->listen(address, port))
        return;
    throw std::runtime_error(
        ListenErrorText(port, address, FServer->serverError(), FServer->errorString(), settingsFile)
            .toStdString());
}

quint16 TTelnetServer::Port() const {
    return FServer->serverPort();
}

bool TTelnetServer::IsListening() const {
    return FServer->isListening();
}

void TTelnetServer::SetAllowedClients(QList<TSubnet> subnets) {
    FAllowed = std::move(subnets);
}

bool TTelnetServer::IsAllowed(const QHostAddress& client) const {
    if (FAllowed.isEmpty())
        return true;
    const QHostAddress unmapped = WithoutIPv4Mapping(client);
    return std::any_of(FAllowed.begin(), FAllowed.end(), [&](const TSubnet& subnet) {
        return client.isInSubnet(subnet) || unmapped.isInSubnet(subnet);
    });
}

int TTelnetServer::ConnectionCount() const {
    int count = 0;
    for (const auto& connection : FConnections)
        count += connection->Ended ? 0 : 1;
    return count;
}

void TTelnetServer::Close() {
    FServer->close();
    FWaitingTimer->stop();
    FWaiting.clear();
    FConnections.clear();
}

TTelnetServer::TConnection* TTelnetServer::Find(quint64 connectionId) {
    for (auto& connection : FConnections)
        if (connection->Id == connectionId)
            return connection.get();
    return nullptr;
}

void TTelnetServer::Accept(qintptr descriptor) {
    const QHostAddress client = PeerAddress(int(descriptor));
    const QString address = WithoutIPv4Mapping(client).toString();
    if (!IsAllowed(client)) {
        // Closed before a byte is read or sent, and counted, so that the window can say so.
        ::close(int(descriptor));
        ++FRefusedCount;
        emit ClientRefused(address);
        return;
    }
    if (ConnectionCount() >= MaxConnections) {
        // One too many: closed without a word.
        ::close(int(descriptor));
        return;
    }
    auto connection = std::make_unique<TConnection>();
    const quint64 id = connection->Id = ++FLastConnectionId;
    connection->Socket = std::make_unique<TClientSocket>(
        int(descriptor), this,
        [this, id] {
            if (TConnection* c = Find(id))
                ReadFrom(*c);
        },
        [this, id] {
            if (TConnection* c = Find(id))
                Pump(*c);
        });
    FConnections.push_back(std::move(connection));
    emit ClientConnected(address);
    QTimer::singleShot(GreetingDelayMs, this, [this, id] { Greet(id); });
}

void TTelnetServer::Greet(quint64 connectionId) {
    TConnection* connection = Find(connectionId);
    if (!connection)
        return;
    // A connection reset before now is not greeted, but what it sent is still carried out.
    connection->Greeted = true;
    if (!connection->Ended)
        Send(*connection,
             TelnetLines({QStringLiteral("Dielo Meter 5.1 Telnet Server"), QString()}));
    // Lines queued while no one listened go to the first client.
    DeliverMessages();
    HandleLines();
}

void TTelnetServer::ReadFrom(TConnection& connection) {
    std::array<char, 16384> buffer;
    qsizetype read = 0;
    while (!connection.Ended && !connection.InputEnded &&
           connection.Reader.BufferedBytes() < InputLimit && read < ReadPerPass) {
        qsizetype got = 0;
        const EIo result = connection.Socket->Receive(buffer.data(), buffer.size(), got);
        if (result == EIo::WouldBlock)
            break;
        if (result == EIo::EndOfInput) {
            connection.InputEnded = true;
        } else if (result == EIo::Failed) {
            End(connection, false); // a reset: what it sent before is still carried out
        } else {
            connection.Reader.Feed(QByteArrayView(buffer.data(), got));
            read += got;
        }
    }
    HandleLines();
}

void TTelnetServer::HandleLines() {
    bool handled = true;
    while (handled) {
        handled = false;
        // By index: a dialog's event loop may accept further connections meanwhile, and
        // nothing is freed before the command that showed it has ended.
        for (std::size_t i = 0; i < FConnections.size(); ++i) {
            TConnection& connection = *FConnections[i];
            if (!connection.Greeted || connection.Discarding ||
                connection.WaitingCommands >= MaxWaitingCommands)
                continue;
            if (const auto line = connection.Reader.NextLine()) {
                HandleCommand(connection, ParseTelnetCommand(*line));
                handled = true;
            }
        }
    }
    bool anyEnded = false;
    for (std::size_t i = 0; i < FConnections.size(); ++i) {
        Settle(*FConnections[i]);
        anyEnded = anyEnded || FConnections[i]->Ended;
    }
    // Ended connections whose last lines have now been carried out can go.
    if (anyEnded)
        ScheduleReap();
}

void TTelnetServer::HandleCommand(TConnection& connection, ETelnetCommand command) {
    switch (command) {
    case ETelnetCommand::Status:
        // Answered at once, dialog or not; a connection that has ended has nowhere to take it.
        if (connection.Ended)
            return;
        try {
            Send(connection, TelnetLines(FHost.TelnetStatus()));
        } catch (...) {
            End(connection, true);
        }
        return;
    case ETelnetCommand::Start:
    case ETelnetCommand::Stop:
        if (FCommandRuns || !FWaiting.empty() || FHost.ShowsModalDialog()) {
            FWaiting.push_back({command, connection.Id});
            ++connection.WaitingCommands;
            FWaitingTimer->start();
            return;
        }
        RunCommand(command, connection.Id);
        return;
    case ETelnetCommand::None:
        return;
    }
}

void TTelnetServer::RunCommand(ETelnetCommand command, quint64 connectionId) {
    // A dialog that the command shows runs an event loop: input arriving meanwhile is read and
    // status requests answered, but further commands wait, and no connection is freed.
    FCommandRuns = true;
    try {
        if (command == ETelnetCommand::Start)
            FHost.TelnetStart();
        else
            FHost.TelnetStop();
    } catch (...) {
        // The client that asked loses its connection; nothing shows on the computer.
        if (TConnection* connection = Find(connectionId); connection && !connection->Ended)
            End(*connection, true);
    }
    FCommandRuns = false;
    ScheduleReap();
}

void TTelnetServer::RunWaitingCommands() {
    if (FCommandRuns)
        return;
    bool ran = false;
    while (!FWaiting.empty() && !FHost.ShowsModalDialog()) {
        const TWaitingCommand waiting = FWaiting.front();
        FWaiting.pop_front();
        if (TConnection* connection = Find(waiting.ConnectionId))
            --connection->WaitingCommands;
        // Carried out even when its connection has closed since.
        RunCommand(waiting.Command, waiting.ConnectionId);
        ran = true;
    }
    if (FWaiting.empty())
        FWaitingTimer->stop();
    // Clients that had too many commands waiting are read again.
    if (ran)
        HandleLines();
}

void TTelnetServer::QueueLine(const QString& line) {
    FQueuedLines.append(line);
    if (FQueuedLines.size() > MaxQueuedLines)
        FQueuedLines.remove(0, FQueuedLines.size() - MaxQueuedLines);
    DeliverMessages();
}

void TTelnetServer::DeliverMessages() {
    const auto listening = [](const TConnection& connection) {
        return connection.Greeted && !connection.Closing && !connection.Ended;
    };
    bool anyone = false;
    for (const auto& connection : FConnections)
        anyone = anyone || listening(*connection);
    if (!anyone)
        return;
    const QStringList lines = std::exchange(FQueuedLines, {});
    if (lines.isEmpty())
        return;
    // Every line is queued before any is written, so that they leave in as few sends as
    // possible; a connection that fails meanwhile only ends, it is not freed.
    for (const QString& line : lines) {
        const QByteArray bytes = TelnetLine(line);
        for (const auto& connection : FConnections)
            if (listening(*connection))
                Queue(*connection, bytes);
    }
    for (std::size_t i = 0; i < FConnections.size(); ++i)
        Pump(*FConnections[i]);
}

void TTelnetServer::Queue(TConnection& connection, const QByteArray& bytes) {
    if (connection.Ended)
        return;
    connection.Backlog.push_back(bytes);
    if (connection.Backlog.size() > MaxBacklogLines)
        connection.Backlog.pop_front(); // a stalled client loses its oldest lines
}

void TTelnetServer::Send(TConnection& connection, const QByteArray& bytes) {
    Queue(connection, bytes);
    Pump(connection);
}

void TTelnetServer::Pump(TConnection& connection) {
    if (connection.Ended)
        return;
    for (;;) {
        if (connection.OutputSent > 0) {
            connection.Output.remove(0, connection.OutputSent);
            connection.OutputSent = 0;
        }
        while (connection.Output.size() < SocketBufferLimit && !connection.Backlog.empty()) {
            connection.Output += connection.Backlog.front();
            connection.Backlog.pop_front();
        }
        if (connection.Output.isEmpty())
            break;
        qsizetype sent = 0;
        const EIo result = connection.Socket->Send(connection.Output, sent);
        if (result == EIo::WouldBlock) {
            connection.Socket->WatchWritable(true);
            return;
        }
        if (result == EIo::Failed) {
            End(connection, false);
            return;
        }
        connection.OutputSent = sent;
    }
    connection.Socket->WatchWritable(false);
    if (connection.Closing)
        Finish(connection);
}

void TTelnetServer::Settle(TConnection& connection) {
    if (connection.Ended)
        return;
    TTelnetLineReader& reader = connection.Reader;
    connection.Socket->WatchReadable(!connection.InputEnded && reader.BufferedBytes() < InputLimit);
    // Done once everything it sent before its end of input, or before a line over the limit,
    // has been handled. A partial line at its end of input is never carried out.
    if (connection.Greeted && !reader.HasCompleteLine() &&
        (connection.InputEnded || reader.AtOverlongLine()))
        connection.Closing = true;
    if (connection.Closing && !connection.OutputPending())
        Finish(connection);
}

void TTelnetServer::Finish(TConnection& connection) {
    // Input still unread at the close would make the system reset the connection, which may
    // destroy the answers on their way: what has arrived is read and dropped first.
    std::array<char, 16384> buffer;
    for (qsizetype read = 0; !connection.InputEnded && read < ReadPerPass;) {
        qsizetype got = 0;
        const EIo result = connection.Socket->Receive(buffer.data(), buffer.size(), got);
        if (result != EIo::Done)
            break;
        read += got;
    }
    End(connection, false);
}

void TTelnetServer::End(TConnection& connection, bool discardInput) {
    connection.Discarding = connection.Discarding || discardInput;
    if (connection.Ended)
        return;
    connection.Ended = true;
    connection.Socket->Close();
    connection.Output.clear();
    connection.OutputSent = 0;
    connection.Backlog.clear();
    emit ClientDisconnected();
    ScheduleReap();
}

void TTelnetServer::ScheduleReap() {
    if (FReapScheduled)
        return;
    FReapScheduled = true;
    // From the event loop, so that no caller still holds a connection it frees.
    QTimer::singleShot(0, this, &TTelnetServer::Reap);
}

void TTelnetServer::Reap() {
    FReapScheduled = false;
    // A command's dialog runs this from its event loop; RunCommand schedules it again.
    if (FCommandRuns)
        return;
    std::erase_if(FConnections, [](const std::unique_ptr<TConnection>& connection) {
        // An ended connection's lines are still carried out: those read before a reset wait
        // for its greeting time.
        return connection->Ended &&
               (connection->Discarding || !connection->Reader.HasCompleteLine());
    });
}

#include "remote/TelnetServer.h"

#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The window as the server sees it: counts what it is asked to do.
class TFakeHost final : public TTelnetHost {
public:
    int Starts = 0;
    int Stops = 0;
    int Connects = 0;
    int Disconnects = 0;
    QString Commands; // "S" and "X" in the order they ran
    bool StartFails = false;
    bool Modal = false;
    std::function<void()> DuringStart; // what the window does meanwhile, show a dialog say

    void TelnetStart() override {
        ++Starts;
        Commands += u'S';
        if (DuringStart)
            DuringStart();
        if (StartFails)
            throw std::runtime_error("log file cannot be created");
    }
    void TelnetStop() override {
        ++Stops;
        Commands += u'X';
    }
    QStringList TelnetStatus() override { return {"Status", "CAP1.M1\t"}; }
    bool ShowsModalDialog() override { return Modal; }
};

const QByteArray Greeting = "Dielo Meter 5.1 Telnet Server\r\n\r\n";
const QByteArray Status = "Status\r\nCAP1.M1\t\r\n";

// A client on a plain socket, as scripts have: it may half-close or reset, which QTcpSocket
// cannot.
class TPlainClient {
public:
    explicit TPlainClient(quint16 port)
        : FFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~TPlainClient() { Close(); }
    TPlainClient(const TPlainClient&) = delete;
    TPlainClient& operator=(const TPlainClient&) = delete;

    void Send(const QByteArray& bytes) {
        for (qsizetype sent = 0; sent < bytes.size();) {
            const ssize_t n =
                ::send(FFd, bytes.data() + sent, std::size_t(bytes.size() - sent), MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            sent += n;
        }
    }
    void HalfClose() { ::shutdown(FFd, SHUT_WR); }
    void Close() {
        if (FFd >= 0)
            ::close(std::exchange(FFd, -1));
    }
    // Closes with a reset, as a crashed client or a pulled cable.
    void Reset() {
        const linger reset{1, 0};
        ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        Close();
    }
    // Reads while the server's event loop runs, until the server closes; true when it closed
    // in order (end of input, not a reset).
    bool ReadToEnd(QByteArray& received) {
        bool inOrder = false;
        (void)QTest::qWaitFor(
            [&] {
                char buffer[4096];
                for (;;) {
                    const ssize_t n = ::recv(FFd, buffer, sizeof buffer, MSG_DONTWAIT);
                    if (n > 0) {
                        received.append(buffer, n);
                        continue;
                    }
                    inOrder = n == 0;
                    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                }
            },
            5000);
        return inOrder;
    }

private:
    int FFd;
};

class TelnetServerTest : public testing::Test {
protected:
    TFakeHost Host;
    TTelnetServer Server{Host};
    std::vector<std::unique_ptr<QTcpSocket>> Clients;

    void SetUp() override {
        QObject::connect(&Server, &TTelnetServer::ClientConnected, [this] { ++Host.Connects; });
        QObject::connect(&Server, &TTelnetServer::ClientDisconnected,
                         [this] { ++Host.Disconnects; });
        Server.Listen(0);
    }

    QTcpSocket& Connect() {
        Clients.push_back(std::make_unique<QTcpSocket>());
        Clients.back()->connectToHost(QHostAddress::LocalHost, Server.Port());
        return *Clients.back();
    }
    // Connects and waits for the greeting.
    QTcpSocket& Greeted() {
        QTcpSocket& client = Connect();
        EXPECT_TRUE(Received(client, Greeting));
        return client;
    }
    // Waits until the client has received expected, and takes it.
    static bool Received(QTcpSocket& client, const QByteArray& expected) {
        QByteArray got;
        const bool ok = QTest::qWaitFor(
            [&] {
                got += client.readAll();
                return got.size() >= expected.size();
            },
            5000);
        EXPECT_EQ(got, expected);
        return ok && got == expected;
    }
    static QByteArray Quiet(QTcpSocket& client, int ms = 150) {
        QTest::qWait(ms);
        return client.readAll();
    }
    void Queue(const QString& line) { Server.QueueLine(line); }
};

TEST_F(TelnetServerTest, LinesWithoutAClientKeepTheNewest500) {
    for (int i = 0; i < 600; ++i)
        Server.QueueLine(QString::number(i));
    const QStringList& queued = Server.QueuedLines();
    ASSERT_EQ(queued.size(), 500);
    EXPECT_EQ(queued.first(), QStringLiteral("100"));
    EXPECT_EQ(queued.last(), QStringLiteral("599"));
}

TEST_F(TelnetServerTest, GreetingAloneIsAllAnIdleClientGets) {
    QTcpSocket& client = Connect();
    ASSERT_TRUE(Received(client, Greeting));
    EXPECT_TRUE(Quiet(client).isEmpty());
    client.disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Host.Disconnects == 1; }, 5000));
    EXPECT_EQ(Server.ConnectionCount(), 0);
}

TEST_F(TelnetServerTest, CommandsAsTheButtonsDo) {
    QTcpSocket& client = Greeted();
    const struct {
        QByteArray Sent;
        QByteArray Answer;
        int Starts, Stops;
    } cases[] = {
        {"?\n", "Status\r\nCAP1.M1\t\r\n", 0, 0},
        {" ?\r\n", "Status\r\nCAP1.M1\t\r\n", 0, 0},
        {"s\nx\n\n", "", 0, 0},
        {"Stop\n", "", 1, 0},
        {"X\n", "", 1, 1},
        {"\xFF\xFD\x18\n", "Status\r\nCAP1.M1\t\r\n", 1, 1}, // option bytes read as "?"
    };
    for (const auto& c : cases) {
        client.write(c.Sent);
        if (c.Answer.isEmpty())
            EXPECT_TRUE(Quiet(client).isEmpty()) << c.Sent.toStdString();
        else
            EXPECT_TRUE(Received(client, c.Answer)) << c.Sent.toStdString();
        EXPECT_EQ(Host.Starts, c.Starts) << c.Sent.toStdString();
        EXPECT_EQ(Host.Stops, c.Stops) << c.Sent.toStdString();
    }
}

TEST_F(TelnetServerTest, EveryClientGetsEveryLineAndTheQueueWaitsForTheFirst) {
    Queue(QStringLiteral("1"));
    Queue(QStringLiteral("2"));
    QTcpSocket& first = Connect();
    ASSERT_TRUE(Received(first, Greeting + "1\r\n2\r\n"));
    QTcpSocket& second = Greeted();
    // A command without its line end waits for it; lines go on meanwhile, to both.
    second.write("?");
    Queue(QStringLiteral("3"));
    EXPECT_TRUE(Received(first, "3\r\n"));
    EXPECT_TRUE(Received(second, "3\r\n"));
    second.write("\n");
    EXPECT_TRUE(Received(second, "Status\r\nCAP1.M1\t\r\n"));
    EXPECT_TRUE(Quiet(first).isEmpty()) << "the report goes to the client that asked";
}

TEST_F(TelnetServerTest, SixthConnectionIsClosedAndBadClientsLoseOnlyTheirOwn) {
    for (int i = 0; i < 5; ++i)
        Greeted();
    QTcpSocket& sixth = Connect();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return sixth.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_TRUE(sixth.readAll().isEmpty());

    // A failing Start and an overlong line end those connections, silently.
    Host.StartFails = true;
    Clients[0]->write("S\n");
    Clients[1]->write(QByteArray(TTelnetLineReader::MaxLineLength + 1, 'a'));
    for (int i : {0, 1})
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Clients[i]->state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_TRUE(Clients[0]->readAll().isEmpty());
    EXPECT_EQ(Server.ConnectionCount(), 3);
    Queue(QStringLiteral("still here"));
    for (int i : {2, 3, 4})
        EXPECT_TRUE(Received(*Clients[i], "still here\r\n"));
    // There is room again.
    Greeted();
}

TEST_F(TelnetServerTest, StalledClientNeitherBlocksNorStarvesTheOthers) {
    QTcpSocket& stalled = Greeted();
    stalled.setReadBufferSize(1); // takes nothing more from the network
    QTcpSocket& reader = Greeted();
    const QString line(200, u'x');
    QByteArray expected;
    // Ten lines per event-loop pass, far faster than a run's ticks.
    for (int i = 0; i < 20000; ++i) {
        Queue(line + QString::number(i));
        expected += TelnetLine(line + QString::number(i));
        if (i % 10 == 9)
            QCoreApplication::processEvents();
    }
    QByteArray got;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            got += reader.readAll();
            return got.size() >= expected.size();
        },
        20000));
    EXPECT_TRUE(got == expected) << "the reading client got every line, in order";
    EXPECT_EQ(stalled.state(), QAbstractSocket::ConnectedState);
}

// Scripted clients through the real server: whatever a client sent before its end of input,
// or before a line over the limit, is carried out and answered before the server closes.
enum class EClientEnd { Close, HalfClose, StaysOpen, Reset, NetcatPipe };

struct TClientScript {
    const char* Name;
    QByteArray Sent;
    EClientEnd Then;
    QByteArray Received; // until the server closed; nothing for a client that went first
    int Starts;
};

void PrintTo(const TClientScript& script, std::ostream* out) {
    *out << script.Name;
}

class TelnetClientScriptTest : public TelnetServerTest,
                               public testing::WithParamInterface<TClientScript> {};

// Whether nc can half-close on the end of its input (-N), as the README's one-liners need.
bool NetcatHalfCloses() {
    if (QStandardPaths::findExecutable(QStringLiteral("nc")).isEmpty())
        return false;
    QProcess help;
    help.setProcessChannelMode(QProcess::MergedChannels);
    help.start(QStringLiteral("nc"), {QStringLiteral("-h")});
    return help.waitForFinished(5000) && help.readAll().contains("-N");
}

TEST_P(TelnetClientScriptTest, IsServedUntilAllItSentIsHandled) {
    const TClientScript& script = GetParam();
    QByteArray received;
    bool closedInOrder = false;
    if (script.Then == EClientEnd::NetcatPipe) {
        if (!NetcatHalfCloses())
            GTEST_SKIP() << "no nc with -N (netcat-openbsd) here";
        // As the README shows it.
        QProcess netcat;
        netcat.start(QStringLiteral("sh"),
                     {QStringLiteral("-c"),
                      QStringLiteral("printf '%1' | nc -N localhost %2")
                          .arg(QString::fromLatin1(script.Sent)
                                   .replace(QStringLiteral("\n"), QStringLiteral("\\n")))
                          .arg(Server.Port())});
        ASSERT_TRUE(QTest::qWaitFor([&] { return netcat.state() == QProcess::NotRunning; }, 10000));
        received = netcat.readAllStandardOutput();
        closedInOrder = netcat.exitCode() == 0;
    } else {
        TPlainClient client(Server.Port());
        client.Send(script.Sent);
        switch (script.Then) {
        case EClientEnd::Close:
            client.Close();
            break;
        case EClientEnd::HalfClose:
            client.HalfClose();
            break;
        case EClientEnd::Reset:
            QTest::qWait(30); // the server reads the line first
            client.Reset();
            break;
        case EClientEnd::StaysOpen:
        case EClientEnd::NetcatPipe:
            break;
        }
        if (script.Then == EClientEnd::HalfClose || script.Then == EClientEnd::StaysOpen)
            closedInOrder = client.ReadToEnd(received);
        else
            closedInOrder = true;
    }
    // Lines read before a reset are carried out at the greeting's time all the same.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Host.Disconnects > 0 && Host.Starts >= script.Starts; }, 5000));
    QTest::qWait(50); // nothing further comes
    EXPECT_EQ(received, script.Received);
    EXPECT_TRUE(closedInOrder) << "the server closes after its answers, without a reset";
    EXPECT_EQ(Host.Starts, script.Starts);
    EXPECT_EQ(Host.Connects, 1);
    EXPECT_EQ(Host.Disconnects, 1);
    EXPECT_EQ(Server.ConnectionCount(), 0);
}

const TClientScript ClientScripts[] = {
    {"StartThenClose", "S\n", EClientEnd::Close, "", 1},
    {"StatusThenHalfClose", "?\n", EClientEnd::HalfClose, Greeting + Status, 0},
    {"HalfCloseAtOnce", "", EClientEnd::HalfClose, Greeting, 0},
    {"StatusAndAnOverlongLineInOneWrite", "?\n" + QByteArray(17000, 'a') + "\n",
     EClientEnd::StaysOpen, Greeting + Status, 0},
    {"ResetAfterStart", "S\n", EClientEnd::Reset, "", 1},
    {"StartThroughNetcat", "S\n", EClientEnd::NetcatPipe, Greeting, 1},
};

INSTANTIATE_TEST_SUITE_P(Clients, TelnetClientScriptTest, testing::ValuesIn(ClientScripts),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(TelnetServerTest, StartAndStopWaitInOrderForADialogWhileStatusIsAnsweredAtOnce) {
    QTcpSocket& first = Greeted();
    QTcpSocket& second = Greeted();
    Host.Modal = true;
    // Each status answer shows that the server has taken the command before it.
    first.write("S\n?\n");
    ASSERT_TRUE(Received(first, Status));
    second.write("X\n?\n");
    ASSERT_TRUE(Received(second, Status));
    first.write("S\n?\n");
    ASSERT_TRUE(Received(first, Status));
    // A waiting command of a client that has gone still runs.
    second.disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Host.Disconnects == 1; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(Host.Commands, QString());

    Host.Modal = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Host.Commands.size() == 3; }, 5000));
    EXPECT_EQ(Host.Commands, QStringLiteral("SXS"));
    // Nothing waits now: commands run as they come.
    first.write("X\n?\n");
    ASSERT_TRUE(Received(first, Status));
    EXPECT_EQ(Host.Commands, QStringLiteral("SXSX"));
}

TEST_F(TelnetServerTest, CommandsThatComeWhileAStartShowsADialogWaitForIt) {
    QTcpSocket& first = Greeted();
    QTcpSocket& second = Greeted();
    // The window asks whether to replace the log file, while the clients go on.
    Host.DuringStart = [&] {
        if (Host.Starts > 1)
            return;
        Host.Modal = true;
        second.write("X\n?\n");
        first.disconnectFromHost();
        EXPECT_TRUE(Received(second, Status)) << "status answered while the dialog shows";
        EXPECT_TRUE(QTest::qWaitFor([&] { return Host.Disconnects == 1; }, 5000));
        QTest::qWait(100);
        EXPECT_EQ(Host.Commands, QStringLiteral("S")) << "the stop waits for the dialog";
        Host.Modal = false;
        Host.StartFails = true; // the connection that asked has gone: nothing to end
    };
    first.write("S\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Host.Commands.size() == 2; }, 5000));
    EXPECT_EQ(Host.Commands, QStringLiteral("SX"));
    EXPECT_EQ(Server.ConnectionCount(), 1);
    Queue(QStringLiteral("still here"));
    EXPECT_TRUE(Received(second, "still here\r\n"));
}

TEST_F(TelnetServerTest, AClientResetWhileLinesGoOutLosesOnlyItsOwn) {
    QTcpSocket& reader = Greeted();
    TPlainClient gone(Server.Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Host.Connects == 2; }, 5000));
    QTest::qWait(TTelnetServer::GreetingDelayMs + 50);
    gone.Reset();
    // No event loop pass between: the sending finds out about the reset.
    for (int i = 0; i < 3; ++i)
        Queue(QString::number(i));
    EXPECT_TRUE(Received(reader, "0\r\n1\r\n2\r\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Host.Disconnects == 1; }, 5000));
    EXPECT_EQ(Server.ConnectionCount(), 1);
}

} // namespace

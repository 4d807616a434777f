#include "TelnetServer.h"

#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

// The window as the server sees it: counts what it is asked to do.
class TFakeHost final : public TTelnetHost {
public:
    QStringList Queue;
    int Starts = 0;
    int Stops = 0;
    int Connects = 0;
    int Disconnects = 0;
    bool StartFails = false;

    void TelnetServerConnect(const QString&) override { ++Connects; }
    void TelnetServerDisconnect() override { ++Disconnects; }
    void TelnetStart() override {
        ++Starts;
        if (StartFails)
            throw std::runtime_error("log file cannot be created");
    }
    void TelnetStop() override { ++Stops; }
    QStringList TelnetStatus() override { return {"Status", "CAP1.M1\t"}; }
    QStringList TakeTelnetMessages() override { return std::exchange(Queue, {}); }
};

const QByteArray Greeting = "Dielo Meter 5.1 Telnet Server\r\n\r\n";

class TelnetServerTest : public testing::Test {
protected:
    TFakeHost Host;
    TTelnetServer Server{Host};
    std::vector<std::unique_ptr<QTcpSocket>> Clients;

    void SetUp() override { Server.Listen(0); }

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
    void Queue(const QString& line) {
        Host.Queue << line;
        Server.DeliverMessages();
    }
};

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

} // namespace

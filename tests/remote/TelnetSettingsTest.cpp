#include "remote/TelnetSettings.h"

#include "model/IniFile.h"
#include "remote/TelnetServer.h"

#include <QFile>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <ostream>

namespace {

// The window as the server sees it: any call at all is counted.
class TCountingHost final : public TTelnetHost {
public:
    int Calls = 0;

    void TelnetStart() override { ++Calls; }
    void TelnetStop() override { ++Calls; }
    QStringList TelnetStatus() override {
        ++Calls;
        return {};
    }
    bool ShowsModalDialog() override {
        ++Calls;
        return false;
    }
};

const QByteArray Greeting = "Dielo Meter 5.1 Telnet Server\r\n\r\n";

enum class EAccess { Greeted, Refused, NothingListens, StartFails };

struct TAccessCase {
    const char* Name;
    // The [Telnet] section; Port=0 takes a free port.
    const char* Keys;
    const char* From; // the client's own address
    const char* To;   // the address it connects to
    EAccess Expected;
    // StartFails: the entry and the key that the message names, with the settings file.
    const char* Entry = nullptr;
    const char* Key = nullptr;
};

void PrintTo(const TAccessCase& access, std::ostream* out) {
    *out << access.Name;
}

// A server and a settings file to read its keys from.
class TelnetSettingsTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    TCountingHost Host;
    TTelnetServer Server{Host};

    TTelnetSettings Read(const QByteArray& iniText) {
        QFile file(IniName);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(iniText);
        file.close();
        return ReadTelnetSettings(TIniFile(IniName));
    }
};

class TelnetAccessTest : public TelnetSettingsTest,
                         public testing::WithParamInterface<TAccessCase> {};

TEST_P(TelnetAccessTest, ServesOnlyWhereAndWhomTheSettingsSay) {
    const TAccessCase& access = GetParam();
    const TTelnetSettings settings = Read("[Telnet]\n" + QByteArray(access.Keys));
    QSignalSpy connected(&Server, &TTelnetServer::ClientConnected);
    QSignalSpy refused(&Server, &TTelnetServer::ClientRefused);

    if (access.Expected == EAccess::StartFails) {
        try {
            StartTelnetServer(Server, settings);
            FAIL() << "started";
        } catch (const ETelnetStartError& error) {
            const QString message = QString::fromUtf8(error.what());
            for (const QString& named :
                 {QString::fromLatin1(access.Entry),
                  QStringLiteral("key %1 in the section [Telnet]").arg(access.Key), IniName})
                EXPECT_TRUE(message.contains(named))
                    << named.toStdString() << " in " << error.what();
            EXPECT_FALSE(error.DefaultPortRefused()) << "an error box, also on the default port";
        }
        EXPECT_FALSE(Server.IsListening());
        return;
    }

    ASSERT_NO_THROW(StartTelnetServer(Server, settings));
    QTcpSocket client;
    // Binding first would ask the system's proxy settings, on a thread of their own.
    client.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(client.bind(QHostAddress(access.From)));
    client.connectToHost(QHostAddress(access.To), Server.Port());
    QByteArray received;
    const auto closed = [&] {
        received += client.readAll();
        return client.state() == QAbstractSocket::UnconnectedState;
    };
    switch (access.Expected) {
    case EAccess::Greeted:
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return (received += client.readAll()).size() >= Greeting.size(); }, 5000));
        EXPECT_EQ(received, Greeting);
        EXPECT_EQ(connected.size(), 1);
        EXPECT_EQ(Server.RefusedCount(), 0);
        break;
    case EAccess::Refused:
        ASSERT_TRUE(client.waitForConnected(5000)) << "the system accepts before the server";
        // Commands sent before the server has taken the connection are never read.
        client.write("S\n?\n");
        client.flush();
        ASSERT_TRUE(QTest::qWaitFor(closed, 5000));
        QTest::qWait(TTelnetServer::GreetingDelayMs + 50); // nothing comes later either
        EXPECT_TRUE(received.isEmpty()) << "no greeting";
        EXPECT_EQ(Host.Calls, 0) << "the host is never called";
        EXPECT_EQ(connected.size(), 0);
        EXPECT_EQ(Server.ConnectionCount(), 0);
        EXPECT_EQ(Server.RefusedCount(), 1);
        ASSERT_EQ(refused.size(), 1);
        EXPECT_EQ(refused[0][0].toString(), QString::fromLatin1(access.From))
            << "an IPv4 client is named by its IPv4 address";
        break;
    case EAccess::NothingListens:
        ASSERT_TRUE(QTest::qWaitFor(closed, 5000));
        EXPECT_EQ(client.error(), QAbstractSocket::ConnectionRefusedError);
        EXPECT_EQ(connected.size() + refused.size(), 0);
        break;
    case EAccess::StartFails:
        break;
    }
}

// Loopback only: 127.0.0.0/8 gives the clients addresses of their own.
const TAccessCase AccessCases[] = {
    {"WithoutKeysEveryClient", "Port=0", "127.0.0.2", "127.0.0.1", EAccess::Greeted},
    {"LoopbackBind", "Port=0\nBind=127.0.0.1", "127.0.0.2", "127.0.0.1", EAccess::Greeted},
    {"LoopbackBindListensNowhereElse", "Port=0\nBind=127.0.0.1", "127.0.0.1", "127.0.0.3",
     EAccess::NothingListens},
    {"ClientInAnAllowedSubnet", "Port=0\nallow =  10.1.2.3 ,127.0.0.0/30", "127.0.0.2", "127.0.0.1",
     EAccess::Greeted},
    {"ClientOutsideAllowIsRefused", "Port=0\nAllow=127.0.0.2, 10.0.0.0/8", "127.0.0.3", "127.0.0.1",
     EAccess::Refused},
    // "::" listens on IPv6 and IPv4: IPv4 clients come as ::ffff:a.b.c.d.
    {"MappedClientMatchesItsIPv4Entry", "Port=0\nBind=::\nAllow=127.0.0.2", "127.0.0.2",
     "127.0.0.1", EAccess::Greeted},
    {"MappedClientOutsideAllowIsRefused", "Port=0\nBind=::\nAllow=127.0.0.2, ::1", "127.0.0.3",
     "127.0.0.1", EAccess::Refused},
    {"IPv6Loopback", "Port=0\nBind=::1\nAllow=::1", "::1", "::1", EAccess::Greeted},
    // Without Port: a key the user set is worth an error box even on the default port.
    {"MalformedBind", "Bind=127.0.0.300", "", "", EAccess::StartFails, "\"127.0.0.300\"", "Bind"},
    {"BindNotOnThisComputer", "Bind=192.0.2.1", "", "", EAccess::StartFails, "192.0.2.1", "Bind"},
    {"MalformedAllowEntry", "Allow=10.0.0.0/8, 10.0.0.0/33", "", "", EAccess::StartFails,
     "\"10.0.0.0/33\"", "Allow"},
    {"AllowOfCommasAlone", "Allow=, ,", "", "", EAccess::StartFails, "\", ,\"", "Allow"},
    {"NoSuchPort", "Port=70000", "", "", EAccess::StartFails, "70000", "Port"},
};

INSTANTIATE_TEST_SUITE_P(Settings, TelnetAccessTest, testing::ValuesIn(AccessCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(TelnetSettingsTest, KeysAreReadWithoutRegardToCaseAndDefaultToTodaysServer) {
    const TTelnetSettings none = Read("[Window]\nWidth=600\n");
    EXPECT_EQ(none.Port, 23);
    EXPECT_FALSE(none.PortChosen);
    EXPECT_TRUE(none.Bind.isEmpty() && none.Allow.isEmpty());
    EXPECT_EQ(none.SettingsFile, IniName);

    const TTelnetSettings chosen =
        Read("[telnet]\nPORT=2323\nbind = 127.0.0.1 \nALLOW= 10.0.0.0/8 , 127.0.0.1\n");
    EXPECT_EQ(chosen.Port, 2323);
    EXPECT_TRUE(chosen.PortChosen);
    EXPECT_EQ(chosen.Bind, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(chosen.Allow, QStringLiteral("10.0.0.0/8 , 127.0.0.1"));
}

} // namespace

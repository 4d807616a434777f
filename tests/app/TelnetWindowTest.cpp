#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ScriptedPrompts.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QNetworkProxy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>

namespace {

// The real window with its command server on a free port and one virtual meter.
class TelnetWindowTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    std::unique_ptr<TProgram> Program;
    TMainWindow* Form = nullptr;
    QTcpSocket Client;

    // port: the settings file's [Telnet] Port, or none for the default port 23.
    void Start(std::optional<int> port = 0) {
        {
            TIniFile ini(IniName);
            if (port)
                ini.WriteInteger(QStringLiteral("Telnet"), QStringLiteral("Port"), *port);
            ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("CAP1Mode"), 1);
            ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("Reg7"), 0x80);
        }
        Bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("M1")));
        Program = std::make_unique<TProgram>(Bus, IniName);
        Form = &Program->Window();
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 1; }, 5000));
        Form->StartRemoteAccess();
    }
    // Connects and reads the greeting.
    void Connect() {
        Client.connectToHost(QHostAddress::LocalHost, Form->TelnetServer->Port());
        ASSERT_EQ(ReadLines(2), QStringList({"Dielo Meter 5.1 Telnet Server", ""}));
    }
    QStringList ReadLines(int count) {
        QStringList lines;
        (void)QTest::qWaitFor(
            [&] {
                while (Client.canReadLine())
                    lines << QString::fromLatin1(Client.readLine()).chopped(2);
                return lines.size() >= count;
            },
            5000);
        return lines;
    }
};

TEST_F(TelnetWindowTest, CaptionShowsTheClientAndTheStatusIsTheLogHeader) {
    Start();
    Connect();
    const QString caption = Form->windowTitle();
    EXPECT_TRUE(caption.startsWith(QStringLiteral("Dielo Meter 5.2 Telnet Server ")))
        << caption.toStdString();
    EXPECT_TRUE(
        caption.endsWith(QStringLiteral(":%1 ClientIP: 127.0.0.1").arg(Form->TelnetServer->Port())))
        << caption.toStdString();
    EXPECT_EQ(Form->TelnetClientIP, QStringLiteral("127.0.0.1"));

    Client.write("?\n");
    const QStringList report = ReadLines(12);
    ASSERT_EQ(report.size(), 12);
    EXPECT_EQ(report[0], QStringLiteral("DieloMeter5.1 Vantel"));
    EXPECT_EQ(report[4], QStringLiteral("Settings of M1")) << "no empty line before a meter";
    EXPECT_TRUE(report[10].startsWith(QStringLiteral("SMode:\t")));
    EXPECT_EQ(report[11], QStringLiteral("CAP1.M1\t")) << "the column row follows at once";

    Client.disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->TelnetClientIP.isEmpty(); }, 5000));
    EXPECT_TRUE(Form->windowTitle().endsWith(QStringLiteral(" ClientIP: ")));
}

// A remote Start asks nobody at the computer: without a log file name it writes a file named
// by the date and time, and the caption shows the file used.
TEST_F(TelnetWindowTest, StartAndStopRunAsTheButtonsAndTheClientGetsTheRows) {
    Start();
    Form->Settings->IntervalSE->setValue(100);
    Form->Run().SetLogFileName(QString());
    Form->Run().SetUnattendedFolder(Dir.path());
    Connect();
    Client.write("S\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Run().Running(); }, 5000));
    const QString used = QFileInfo(Form->Run().RunLogFileName()).fileName();
    EXPECT_TRUE(used.startsWith(QStringLiteral("dielometer-"))) << used.toStdString();
    EXPECT_TRUE(Form->windowTitle().endsWith(used)) << Form->windowTitle().toStdString();
    const QStringList rows = ReadLines(3);
    ASSERT_GE(rows.size(), 3);
    Client.write("X\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->Run().Running(); }, 5000));
    EXPECT_TRUE(Prompts.DialogTitles.isEmpty());
    EXPECT_TRUE(Prompts.Questions.isEmpty());
    EXPECT_TRUE(Prompts.Errors.isEmpty());
}

// A remote Start that arrives while the window shows a modal question or file dialog waits
// until it has closed: it never starts a run from inside the dialog, nor asks a second question
// on top of the first.
TEST_F(TelnetWindowTest, RemoteStartWaitsUntilAModalDialogHasClosed) {
    Start();
    Connect();
    const QString logName = Dir.filePath(QStringLiteral("run.txt"));
    bool ranDuringDialog = false;
    int dialogs = 0;
    qsizetype questionsBefore = 0;
    // While the first dialog is open, the client sends S and the window's event loop runs on.
    Prompts.WhileShown = [&] {
        if (++dialogs > 1)
            return;
        questionsBefore = Prompts.Questions.size();
        Client.write("S\n");
        QTest::qWait(300);
        ranDuringDialog = Form->Run().Running() || Prompts.Questions.size() > questionsBefore;
    };
    const auto expectStartAfterTheDialog = [&] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Run().Running(); }, 5000));
        EXPECT_FALSE(ranDuringDialog);
        Form->StopBtnClick();
    };
    {
        SCOPED_TRACE("the replace question of a Start at the computer");
        QFile(logName).open(QIODevice::WriteOnly);
        Form->Run().SetLogFileName(logName);
        Prompts.Answers = {false}; // No at the computer; the remote Start asks nothing
        Form->StartBtnClick();
        expectStartAfterTheDialog();
        EXPECT_EQ(Prompts.Questions.size(), 1);
        EXPECT_EQ(Form->Run().RunLogFileName(), Dir.filePath(QStringLiteral("run-2.txt")));
    }
    {
        SCOPED_TRACE("the file dialog of Load...");
        dialogs = 0;
        Form->Run().SetLogFileName(Dir.filePath(QStringLiteral("second.txt")));
        Form->LoadSettingsClick(); // the dialog is cancelled
        expectStartAfterTheDialog();
        EXPECT_EQ(Prompts.DialogTitles, QStringList({"Open Settings"}));
    }
}

TEST_F(TelnetWindowTest, LinesQueuedWithoutAClientWaitForTheNextUpTo500) {
    Start();
    for (int tick = 1; tick <= 600; ++tick)
        Form->TelnetServer->QueueLine(QString::number(tick));
    Client.connectToHost(QHostAddress::LocalHost, Form->TelnetServer->Port());
    QStringList lines = ReadLines(502);
    ASSERT_EQ(lines.size(), 502);
    EXPECT_EQ(lines.mid(0, 2), QStringList({"Dielo Meter 5.1 Telnet Server", ""}));
    lines = lines.mid(2);
    EXPECT_EQ(lines.front(), QStringLiteral("101"));
    EXPECT_EQ(lines.back(), QStringLiteral("600"));
    // Two clients: both get every line.
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, Form->TelnetServer->Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.bytesAvailable() >= 33; }, 5000));
    second.readAll();
    Form->TelnetServer->QueueLine(QStringLiteral("both"));
    EXPECT_EQ(ReadLines(1), QStringList({"both"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.canReadLine(); }, 5000));
    EXPECT_EQ(second.readLine(), "both\r\n");
}

TEST_F(TelnetWindowTest, FailingStartEndsTheConnectionSilently) {
    Start();
    Form->Run().SetLogFileName(Dir.filePath(QStringLiteral("missing/run.txt")));
    Connect();
    Client.write("S\n");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Client.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_FALSE(Form->Run().Running());
    EXPECT_TRUE(Prompts.Errors.isEmpty()) << "nothing shows on the computer";
    // The window closes with a client connected: the server goes first.
    Connect();
    Form = nullptr;
    Program.reset();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Client.state() == QAbstractSocket::UnconnectedState; }, 5000));
}

// A client outside [Telnet] Allow is closed at once; the status bar says so and counts them.
TEST_F(TelnetWindowTest, RefusedClientsShowInTheStatusBar) {
    TIniFile(IniName).WriteString(QStringLiteral("Telnet"), QStringLiteral("Allow"),
                                  QStringLiteral("127.0.0.2"));
    Start();
    for (int refused = 1; refused <= 2; ++refused) {
        QTcpSocket outsider;
        outsider.connectToHost(QHostAddress::LocalHost, Form->TelnetServer->Port());
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return Form->TelnetServer->RefusedCount() == refused; }, 5000));
    }
    EXPECT_EQ(Form->statusBar()->currentMessage(),
              QStringLiteral("Refused a telnet connection from 127.0.0.1 (not in [Telnet] "
                             "Allow); 2 refused so far"));
    Client.setProxy(QNetworkProxy::NoProxy); // binding would ask the system's proxy settings
    ASSERT_TRUE(Client.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
    Connect();
}

TEST_F(TelnetWindowTest, PortInUseSaysWhichAndWhatToDo) {
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, 0));
    EXPECT_ANY_THROW(Start(other.serverPort())) << "a port the user chose is worth a box";
    Form->AddressWatchStatusChanged();
    EXPECT_EQ(Form->windowTitle(),
              QStringLiteral("Dielo Meter 5.2 - no telnet server (port %1 could not be opened)")
                  .arg(other.serverPort()));
    EXPECT_TRUE(Form->statusBar()->currentMessage().contains(IniName))
        << Form->statusBar()->currentMessage().toStdString();
    try {
        Form->StartRemoteAccess();
        FAIL();
    } catch (const std::exception& error) {
        const QString message = QString::fromUtf8(error.what());
        EXPECT_TRUE(message.contains(QString::number(other.serverPort()))) << error.what();
        EXPECT_TRUE(message.contains(QStringLiteral("[Telnet]"))) << error.what();
    }
}

// The default port needs privileges on Linux: when it cannot be opened, the status bar says so
// and the caption shows that no server runs, without a box at every start.
TEST_F(TelnetWindowTest, DefaultPortThatCannotBeOpenedShowsNoBox) {
    QTcpServer holder; // port 23 taken, where this process may open it at all
    (void)holder.listen(QHostAddress::AnyIPv4, 23);
    EXPECT_NO_THROW(Start(std::nullopt));
    EXPECT_FALSE(Form->TelnetServer->IsListening());
    EXPECT_EQ(Form->windowTitle(),
              QStringLiteral("Dielo Meter 5.2 - no telnet server (port 23 could not be opened)"));
    const QString message = Form->statusBar()->currentMessage();
    EXPECT_TRUE(message.contains(QStringLiteral("port 23")) && message.contains(IniName))
        << message.toStdString();
}

} // namespace

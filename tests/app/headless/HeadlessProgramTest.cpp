// The headless demo program as a process, as a lab computer or a service runs it: no display,
// virtual meters, the command server on a free port.
#include "tests/support/RunLog.h"
#include "tests/support/TextFiles.h"

#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// What the settings file holds besides the keys the program writes: it must keep both.
const QByteArray KeptLines = "; written by hand\r\n[Custom]\r\nKept=yes\r\n";

class THeadlessProcess {
public:
    QProcess Process;
    QByteArray Errors; // standard error so far

    // Starts the demo program with --headless, --settings and arguments, in folder, without a
    // display.
    void Start(const QString& folder, const QString& settingsFile, const QStringList& arguments) {
        StartProgram(folder, QStringList{QStringLiteral("--headless"), QStringLiteral("--settings"),
                                         settingsFile} +
                                 arguments);
    }
    // Starts the demo program with arguments alone, in folder, without a display.
    void StartProgram(const QString& folder, const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        Process.setProcessEnvironment(environment);
        Process.setWorkingDirectory(folder);
        Process.start(QStringLiteral(DIELO_SIM_PROGRAM), arguments);
        ASSERT_TRUE(Process.waitForStarted(10000));
    }
    // Waits for a line on standard error that matches pattern; its first capture, or the
    // whole match.
    QString WaitForLine(const QString& pattern, int timeoutMs = 20000) {
        const QRegularExpression expression(pattern);
        QString found;
        const bool matched = QTest::qWaitFor(
            [&] {
                Errors += Process.readAllStandardError();
                const QRegularExpressionMatch match =
                    expression.match(QString::fromLocal8Bit(Errors));
                if (match.hasMatch())
                    found = match.lastCapturedIndex() > 0 ? match.captured(1) : match.captured();
                return match.hasMatch();
            },
            timeoutMs);
        EXPECT_TRUE(matched) << "no line " << pattern.toStdString() << " in:\n"
                             << Errors.toStdString();
        return found;
    }
    // Waits for the end; the exit code, or -1 when it crashed or did not end.
    int Finish(int timeoutMs = 30000) {
        const bool ended = Process.waitForFinished(timeoutMs);
        Errors += Process.readAllStandardError();
        if (!ended || Process.exitStatus() != QProcess::NormalExit)
            return -1;
        return Process.exitCode();
    }
    // The rows that "Run stopped: N rows written" reported.
    int RowsReported() const {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("Run stopped: (\\d+) rows written"))
                .match(QString::fromLocal8Bit(Errors));
        return match.hasMatch() ? match.captured(1).toInt() : -1;
    }
};

class HeadlessProgramTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));

    void WriteSettings(const QByteArray& keys) {
        WriteAll(IniName, KeptLines + keys + "[Telnet]\r\nPort=0\r\n");
    }
    // The log is whole: every line ends, the rows hold every column, and there are as many as
    // the program reported.
    void ExpectCompleteLog(const QString& logName, int rowsReported, bool fastMode) {
        const QByteArray text = ReadAll(logName);
        ASSERT_TRUE(text.endsWith("\r\n")) << "the last line is cut off";
        // Fast mode logs CAP1 only.
        const TRunLog log = TRunLog::Read(
            logName, fastMode ? "CAP1.SIM00001\tCAP1.SIM00002\t"
                              : "CAP1.SIM00001\tTemp.SIM00001\tCAP1.SIM00002\tTemp.SIM00002\t");
        EXPECT_GT(log.Rows.size(), 5u);
        EXPECT_EQ(int(log.Rows.size()), rowsReported);
        if (fastMode) {
            EXPECT_EQ(log.Counted, rowsReported) << "every block ends with its count";
        }
    }
};

TEST_F(HeadlessProgramTest, ARunOfAGivenDurationWritesItsLogAndTheSettings) {
    WriteSettings("[Measurement]\r\nInterval=100\r\n");
    THeadlessProcess program;
    program.Start(Dir.path(), IniName,
                  {QStringLiteral("--start"), QStringLiteral("--duration"), QStringLiteral("3"),
                   QStringLiteral("--log"), LogName});
    EXPECT_EQ(program.Finish(), 0) << program.Errors.toStdString();
    for (const char* line : {"Meter SIM00001 found", "Meter SIM00002 found", "Run started",
                             "Command server listening on port"})
        EXPECT_TRUE(program.Errors.contains(line)) << line << " in\n"
                                                   << program.Errors.toStdString();
    ExpectCompleteLog(LogName, program.RowsReported(), false);

    // As the window's close writes it: what was there stays, the keys and meter sections come.
    const QByteArray settings = ReadAll(IniName);
    EXPECT_TRUE(settings.startsWith(KeptLines)) << settings.toStdString();
    for (const char* written : {"Interval=100", "FastMode=0", "[SIM00001]", "[SIM00002]", "Reg9="})
        EXPECT_TRUE(settings.contains(written)) << written;
    EXPECT_FALSE(settings.contains(LogName.toUtf8())) << "--log is for this run only";

    // The log as CSV beside it, without a display; a file that is no log is refused.
    THeadlessProcess exporter;
    exporter.StartProgram(Dir.path(), {QStringLiteral("--export-csv"), LogName});
    EXPECT_EQ(exporter.Finish(), 0) << exporter.Errors.toStdString();
    const QList<QByteArray> csv = ReadAll(Dir.filePath(QStringLiteral("run.csv"))).split('\n');
    ASSERT_GT(csv.size(), 2);
    EXPECT_EQ(csv[0], "time_s,CAP1.SIM00001 [pF],Temp.SIM00001 [\xC2\xB0"
                      "C],CAP1.SIM00002 [pF],Temp.SIM00002 [\xC2\xB0"
                      "C]\r");
    EXPECT_EQ(int(csv.size()) - 2, program.RowsReported()) << "a line a row, and the last ends";
    EXPECT_TRUE(exporter.Errors.contains(
        QStringLiteral("Wrote %1 rows to").arg(program.RowsReported()).toUtf8()));
    THeadlessProcess refused;
    refused.StartProgram(Dir.path(), {QStringLiteral("--export-csv"), IniName});
    EXPECT_EQ(refused.Finish(), 1);
    EXPECT_TRUE(refused.Errors.contains("is no log of this program"))
        << refused.Errors.toStdString();
}

TEST_F(HeadlessProgramTest, SigtermEndsAFastModeRunWithACompleteLogAndLoadsNoWidgets) {
    WriteSettings("[Measurement]\r\nFastMode=1\r\n");
    THeadlessProcess program;
    program.Start(Dir.path(), IniName,
                  {QStringLiteral("--start"), QStringLiteral("--log"), LogName});
    program.WaitForLine(QStringLiteral("Run started"));
    // A few blocks, then the signal in the middle of the run.
    QTest::qWait(1500);
    const QByteArray maps =
        ReadAll(QStringLiteral("/proc/%1/maps").arg(program.Process.processId()));
    ASSERT_FALSE(maps.isEmpty());
    EXPECT_FALSE(maps.contains("libQt6Widgets")) << "a run without a window loads no widgets";
    EXPECT_FALSE(maps.contains("libQt6Gui"));
    ::kill(pid_t(program.Process.processId()), SIGTERM);
    EXPECT_EQ(program.Finish(), 0) << program.Errors.toStdString();
    ExpectCompleteLog(LogName, program.RowsReported(), true);
    EXPECT_TRUE(ReadAll(IniName).contains("FastMode=1"));
}

TEST_F(HeadlessProgramTest, RemoteStartsNeverAskAndWriteTheNextFreeName) {
    WriteSettings("[Measurement]\r\nInterval=100\r\nLogfile=" + LogName.toUtf8() + "\r\n");
    WriteAll(LogName, "an earlier run\r\n");
    THeadlessProcess program;
    program.Start(Dir.path(), IniName, {});
    const int port = program.WaitForLine(QStringLiteral("listening on port (\\d+)")).toInt();
    ASSERT_GT(port, 0);
    QTcpSocket client;
    client.setProxy(QNetworkProxy::NoProxy);
    client.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    ASSERT_TRUE(client.waitForConnected(5000));
    for (int cycle = 2; cycle <= 3; ++cycle) {
        client.write("S\r\n");
        const QString started = program.WaitForLine(
            QStringLiteral("Run started, timer mode, writing (\\S*run-%1\\.txt)").arg(cycle));
        QTest::qWait(500);
        client.write("X\r\n");
        program.WaitForLine(
            QStringLiteral("(?s)run-%1\\.txt.*Run stopped.*run-%1\\.txt").arg(cycle));
        EXPECT_TRUE(QFileInfo::exists(started)) << started.toStdString();
    }
    EXPECT_EQ(ReadAll(LogName), "an earlier run\r\n");
    ::kill(pid_t(program.Process.processId()), SIGTERM);
    EXPECT_EQ(program.Finish(), 0);
    EXPECT_TRUE(ReadAll(IniName).contains("Logfile=" + LogName.toUtf8()))
        << "the configured name stays";
}

// Whether a client from the local address from gets the greeting.
bool Greeted(const QString& from, int port) {
    QTcpSocket client;
    client.setProxy(QNetworkProxy::NoProxy);
    if (!client.bind(QHostAddress(from)))
        return false;
    client.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!client.waitForConnected(5000))
        return false;
    QByteArray received;
    // A refused client is closed before the greeting, an allowed one greeted.
    (void)QTest::qWaitFor(
        [&] {
            received += client.readAll();
            return received.contains("Telnet Server") ||
                   client.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    return received.contains("Telnet Server");
}

TEST_F(HeadlessProgramTest, BindAndAllowDecideWhoIsServed) {
    struct TCase {
        QByteArray Keys;
        bool Served1, Served2; // clients from 127.0.0.1 and from 127.0.0.2
        const char* Told;      // on standard error
    };
    const TCase cases[] = {
        {"Bind=127.0.0.1\r\n", true, true, "listening on port"},
        {"Allow=127.0.0.2/32, 10.1.2.3\r\n", false, true,
         "Refused a telnet connection from 127.0.0.1"},
        {"Allow=127.0.0.0/30\r\n", true, true, "listening on port"},
        {"Allow=127.0.0.2, 10.1.2.300\r\n", false, false, "\"10.1.2.300\" is no IP address"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Keys.toStdString());
        WriteAll(IniName, "[Telnet]\r\nPort=0\r\n" + c.Keys);
        THeadlessProcess program;
        program.Start(Dir.path(), IniName, {});
        program.WaitForLine(QStringLiteral("Meter SIM00002 found"));
        const QString port = QRegularExpression(QStringLiteral("listening on port (\\d+)"))
                                 .match(QString::fromLocal8Bit(program.Errors))
                                 .captured(1);
        EXPECT_EQ(!port.isEmpty() && Greeted(QStringLiteral("127.0.0.1"), port.toInt()), c.Served1);
        EXPECT_EQ(!port.isEmpty() && Greeted(QStringLiteral("127.0.0.2"), port.toInt()), c.Served2);
        program.WaitForLine(QRegularExpression::escape(QString::fromLatin1(c.Told)));
        ::kill(pid_t(program.Process.processId()), SIGTERM);
        EXPECT_EQ(program.Finish(), 0) << "a server that cannot start does not end the program";
    }
}

TEST_F(HeadlessProgramTest, ARunThatCannotStartEndsWithCode1) {
    WriteSettings({});
    THeadlessProcess program;
    program.Start(Dir.path(), IniName,
                  {QStringLiteral("--start"), QStringLiteral("--log"),
                   Dir.filePath(QStringLiteral("no such folder/run.txt"))});
    EXPECT_EQ(program.Finish(), 1);
    EXPECT_TRUE(program.Errors.contains("The run could not start: Cannot create"))
        << program.Errors.toStdString();
}

TEST_F(HeadlessProgramTest, BadArgumentsEndWithCode2AndTheUsage) {
    WriteSettings({});
    struct TCase {
        QStringList Arguments;
        const char* Reason;
    };
    const TCase cases[] = {
        {{QStringLiteral("--frobnicate")}, "Unknown option 'frobnicate'"},
        {{QStringLiteral("--start"), QStringLiteral("--duration"), QStringLiteral("ten")},
         "--duration takes a number of seconds"},
        {{QStringLiteral("--settings"), Dir.filePath(QStringLiteral("missing.ini"))},
         "missing.ini does not exist"},
        {{QStringLiteral("--view"), QStringLiteral("run.txt")}, "--view shows a window"},
    };
    for (const TCase& c : cases) {
        THeadlessProcess program;
        program.Start(Dir.path(), IniName, c.Arguments);
        EXPECT_EQ(program.Finish(), 2) << c.Reason;
        EXPECT_TRUE(program.Errors.contains(c.Reason)) << program.Errors.toStdString();
        EXPECT_TRUE(program.Errors.contains("Usage: dielometer-sim [options]"));
    }
    EXPECT_FALSE(ReadAll(IniName).contains("[SIM00001]")) << "nothing ran";
}

} // namespace

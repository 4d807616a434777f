#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "sim/VirtualMeter.h"
#include "tests/support/PullOutRun.h"
#include "tests/support/ScriptedPrompts.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <sched.h>
#include <sys/mount.h>

namespace {

using namespace std::chrono_literals;

// Meters pulled out and plugged back in again and again during runs: the program neither
// crashes nor hangs nor leaks, every log row keeps its columns, and the meters that stay in
// go on.
TEST(FaultTest, HundredPullOutsDuringRunsWithThreeMeters) {
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast mode" : "timer mode");
        TPullOutRun run;
        TScriptedPrompts prompts;
        TVirtualHidBus bus;
        const auto meters = TPullOutRun::PlugMeters(bus);
        {
            TProgram program(bus, run.IniName);
            TMainWindow& form = program.Window();
            run.Run(
                form, fast, 100, [&](int i) { bus.Unplug(meters[std::size_t(i)]); },
                [&](int i) { bus.Plug(meters[std::size_t(i)]); });
            EXPECT_TRUE(prompts.Errors.isEmpty()) << prompts.Errors.join(u'\n').toStdString();
        }
        run.CheckLog();
        // Every meter's worker ended with its meter (a joined thread leaves the process's list
        // a moment after the join returns).
        EXPECT_TRUE(QTest::qWaitFor([] { return ThreadsNamed("Measurement") == 0; }, 2000))
            << ThreadsNamed("Measurement") << " workers left";
    }
}

// A meter that misbehaves during a run: its error shows in its line within the bridge's
// time-outs (1 s for an answer, 2 s for a conversion), its fields stay empty while it fails
// rather than repeat an old value, the other meters go on, and once the fault is gone it
// measures again (in fast mode its continuous conversion starts again by itself). Its input
// changes as the fault goes, so that a late answer taken for a later one would show as the old
// value after the new one.
class DeviceFaultTest : public testing::TestWithParam<bool> {};

TEST_P(DeviceFaultTest, ShowsAndPassesWithoutAWrongValue) {
    const bool fast = GetParam();
    struct TFault {
        const char* Name;
        std::function<void(TVirtualMeter&, bool on)> Set;
        bool Reported;
    };
    const TFault faults[] = {
        {"busy bit stuck", [](TVirtualMeter& m, bool on) { m.SetBusyStuck(on); }, true},
        {"responses lost",
         [](TVirtualMeter& m, bool on) { m.LoseResponses(on ? TVirtualMeter::AllResponses : 0); },
         true},
        {"responses late",
         [](TVirtualMeter& m, bool on) {
             m.SetResponseDelay(on ? TVirtualMeter::TDuration(1500ms) : TVirtualMeter::TDuration());
         },
         true},
        {"foreign report first", [](TVirtualMeter& m, bool on) { m.SetForeignReportFirst(on); },
         false},
        {"every transfer failing", [](TVirtualMeter& m, bool on) { m.SetTransfersFailing(on); },
         true},
    };
    for (const TFault& fault : faults) {
        SCOPED_TRACE(fault.Name);
        TPullOutRun run;
        TScriptedPrompts prompts;
        TVirtualHidBus bus;
        const auto meters = TPullOutRun::PlugMeters(bus);
        TVirtualMeter& faulty = *meters[0];
        qsizetype failingFrom = -1, failingTo = -1; // log lines while the error showed
        {
            TProgram program(bus, run.IniName);
            TMainWindow& form = program.Window();
            ASSERT_TRUE(
                QTest::qWaitFor([&] { return form.MeterSet().Meters().size() == 3; }, 5000));
            form.Settings->IntervalSE->setValue(100);
            form.Settings->FastModeCB->setChecked(fast);
            form.Settings->FastModeIntervalCB->setCurrentIndex(2); // 20.0 ms
            form.StartBtnClick();
            const auto lineText = [&] { return form.Settings->MeterList->item(0)->text(); };
            const auto logLines = [&] { return ReadAll(run.LogName).count('\n'); };
            QTest::qWait(400);
            fault.Set(faulty, true);
            if (fault.Reported) {
                EXPECT_TRUE(QTest::qWaitFor([&] { return lineText() == "M1 (error)"; }, 4000));
                QTest::qWait(150); // the tick in progress may still write the old value
                failingFrom = logLines();
                QTest::qWait(300);
                failingTo = logLines();
            } else {
                QTest::qWait(1000);
                EXPECT_EQ(lineText(), QStringLiteral("M1"));
            }
            faulty.SetInputCapacitance(1, 1.75);
            fault.Set(faulty, false);
            EXPECT_TRUE(QTest::qWaitFor([&] { return lineText() == "M1"; }, 4000))
                << "measuring again";
            QTest::qWait(500);
            form.StopBtnClick();
        }
        EXPECT_TRUE(prompts.Errors.isEmpty()) << prompts.Errors.join(u'\n').toStdString();
        const TPullOutRun::TLogRows log = TPullOutRun::ReadLogRows(run.LogName);
        int others[3] = {}, old = 0, renewed = 0;
        for (const auto& [at, fields] : log.Rows) {
            if (fields.size() != 3)
                continue; // reported by the reader
            for (int i = 1; i < 3; ++i) {
                // In fast mode a meter with one result less in a block leaves a field empty.
                EXPECT_TRUE(fields[i].isEmpty() || fields[i] == TPullOutRun::ValueText(i))
                    << "line " << at;
                others[i] += !fields[i].isEmpty();
            }
            if (fields[0] == "1.250000") {
                EXPECT_EQ(renewed, 0) << "an old value after a new one, line " << at;
                ++old;
            } else if (fields[0] == "1.750000") {
                ++renewed;
            } else {
                EXPECT_TRUE(fields[0].isEmpty()) << "line " << at;
            }
            if (at > failingFrom && at < failingTo) {
                EXPECT_TRUE(fields[0].isEmpty()) << "while failing, line " << at;
            }
        }
        EXPECT_GT(old, 0);
        EXPECT_GT(renewed, 0);
        for (int i = 1; i < 3; ++i)
            EXPECT_GE(others[i], int(log.Rows.size()) * 9 / 10) << "meter " << i + 1 << " went on";
    }
}

// A small disk of its own for the log: a tmpfs in a mount namespace of the calling thread
// alone, so that nothing outside the test sees it, and a crash leaves nothing mounted. Needs
// the privilege to mount; Mounted() tells.
class TSmallDisk {
public:
    TSmallDisk(const QString& folder, int kib)
        : FFolder(folder.toLocal8Bit()) {
        const QByteArray options = "size=" + QByteArray::number(kib) + "k";
        FMounted = ::unshare(CLONE_NEWNS) == 0 &&
                   ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount("tmpfs", FFolder.constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~TSmallDisk() {
        if (FMounted)
            ::umount2(FFolder.constData(), MNT_DETACH);
    }
    TSmallDisk(const TSmallDisk&) = delete;
    TSmallDisk& operator=(const TSmallDisk&) = delete;
    bool Mounted() const { return FMounted; }

private:
    QByteArray FFolder;
    bool FMounted = false;
};

// The disk with the log fills up during a run and has room again later: the error shows once
// (not a box per tick), the run goes on, the rows written before stay, and the rows of the
// full time follow once there is room, so that no row is lost.
TEST_P(DeviceFaultTest, LogOnAFullDiskShowsOnceAndLosesNoRow) {
    const bool fast = GetParam();
    TPullOutRun run;
    const QString folder = run.Dir.filePath(QStringLiteral("disk"));
    ASSERT_TRUE(QDir().mkpath(folder));
    TSmallDisk disk(folder, 256);
    TScriptedPrompts prompts;
    TVirtualHidBus bus;
    TPullOutRun::PlugMeters(bus);
    // Without the privilege to mount, a device that is always full: nothing to start on.
    const QString logName =
        disk.Mounted() ? folder + QStringLiteral("/run.txt") : QStringLiteral("/dev/full");
    TIniFile(run.IniName)
        .WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"), logName);
    TProgram program(bus, run.IniName);
    TMainWindow& form = program.Window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.MeterSet().Meters().size() == 3; }, 5000));
    form.Settings->IntervalSE->setValue(50);
    form.Settings->FastModeCB->setChecked(fast);
    form.Settings->FastModeIntervalCB->setCurrentIndex(2); // 20.0 ms
    prompts.Answers = {true};                              // /dev/full exists: replace it
    form.StartBtnClick();
    if (!disk.Mounted()) {
        EXPECT_FALSE(form.Run().Running());
        ASSERT_EQ(prompts.Errors.size(), 1);
        EXPECT_TRUE(prompts.Errors[0].contains(logName));
        GTEST_SKIP() << "no tmpfs could be mounted here; /dev/full tried instead";
    }
    ASSERT_TRUE(form.Run().Running());
    const int firstTick = form.Run().ActPoint();
    QTest::qWait(300);
    // Fill the disk to the last byte.
    QFile filler(folder + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray chunk(1024, 'x');
    while (filler.write(chunk) == chunk.size()) {
    }
    while (filler.write(chunk.constData(), 1) == 1) {
    }
    // The log's last page still takes a few seconds of rows.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !prompts.Errors.isEmpty(); }, 15000));
    EXPECT_TRUE(prompts.Errors[0].contains(logName)) << prompts.Errors[0].toStdString();
    const qint64 sizeWhileFull = QFileInfo(logName).size();
    QTest::qWait(500);
    EXPECT_TRUE(form.Run().Running());
    EXPECT_EQ(prompts.Errors.size(), 1) << "shown once while the disk stays full";
    EXPECT_TRUE(form.statusBar()->currentMessage().contains(logName));
    EXPECT_EQ(QFileInfo(logName).size(), sizeWhileFull) << "no torn row";
    const QStringList whileFull = QString::fromUtf8(ReadAll(logName)).split(QStringLiteral("\r\n"));
    EXPECT_GT(whileFull.size(), 10) << "the rows written before are on disk";
    filler.remove();
    QTest::qWait(300);
    form.StopBtnClick();
    EXPECT_EQ(prompts.Errors.size(), 1) << prompts.Errors.join(u'\n').toStdString();

    const TPullOutRun::TLogRows log = TPullOutRun::ReadLogRows(logName);
    const int rows = int(log.Rows.size());
    int values = 0;
    for (const auto& [at, fields] : log.Rows)
        for (int i = 0; i < 3 && i < fields.size(); ++i) {
            EXPECT_TRUE(fields[i].isEmpty() || fields[i] == TPullOutRun::ValueText(i))
                << "line " << at;
            values += !fields[i].isEmpty();
        }
    // The command server's clients got every value once (no client: the lines are queued).
    // Their rows may pair the meters' values differently: a retried block's rows are built
    // anew, and the values sent before are not in them.
    qsizetype sent = 0;
    for (const QString& message : form.TelnetServer->QueuedLines())
        for (const QStringView field : QStringView(message).split(u'\t'))
            sent += !field.trimmed().isEmpty();
    EXPECT_EQ(sent, values);
    if (fast)
        EXPECT_EQ(rows, log.Counted) << "every block complete";
    else
        EXPECT_EQ(rows, form.Run().ActPoint() - firstTick) << "a row for every tick";
}

INSTANTIATE_TEST_SUITE_P(Modes, DeviceFaultTest, testing::Values(false, true),
                         [](const auto& mode) { return mode.param ? "FastMode" : "TimerMode"; });

} // namespace

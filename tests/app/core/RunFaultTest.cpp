// Runs under faults, without a window: meters pulled out again and again, meters that
// misbehave, and a log that cannot be written.
#include "app/core/MeterSet.h"
#include "app/core/RunController.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"
#include "tests/support/CoreRun.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/PullOuts.h"
#include "tests/support/TextFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <tuple>

namespace {

using namespace std::chrono_literals;

std::string ModeName(bool fast) {
    return fast ? "FastMode" : "TimerMode";
}

// Runs of the three meters in timer or fast mode (20.0 ms conversions).
class ThreeMeterRunTest : public TCoreRunTest {
protected:
    void StartThreeMeters(bool fast) {
        Start(PullOuts::MeterCount);
        Run->SetFastMode(fast);
        Run->SetFastModeInterval(2, QStringLiteral("20.0"));
    }
};

// Meters pulled out and plugged back in again and again while the run goes on by its timers:
// nothing crashes, hangs or leaks, every log row keeps its columns, and the meters that stay in
// go on. This is about timing, so it runs in real time.
class PullOutTest : public ThreeMeterRunTest, public testing::WithParamInterface<bool> {};

TEST_P(PullOutTest, HundredPullOutsDuringARunWithThreeMeters) {
    StartThreeMeters(GetParam());
    // Errors nobody could take: of the run's timers, and of discovery.
    QStringList errors;
    QObject::connect(Run.get(), &TRunController::ErrorOccurred,
                     [&](const QString& message) { errors << message; });
    Run->SetInterval(50);
    Run->Start();
    ASSERT_TRUE(Run->Running());
    PullOuts::Cycle(
        *Meters, 100, [&](int i) { Bus.Unplug(Devices[std::size_t(i)]); },
        [&](int i) { Bus.Plug(Devices[std::size_t(i)]); });
    EXPECT_NO_THROW(Run->Stop());
    errors << DiscoveryFailures;
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    FreeSet();
    PullOuts::CheckLog(LogName);
    // Every meter's worker ended with its meter (a joined thread leaves the process's list a
    // moment after the join returns).
    EXPECT_TRUE(QTest::qWaitFor([] { return ThreadsNamed("Measurement") == 0; }, 2000))
        << ThreadsNamed("Measurement") << " workers left";
}

INSTANTIATE_TEST_SUITE_P(Modes, PullOutTest, testing::Bool(),
                         [](const auto& mode) { return ModeName(mode.param); });

// A way for the meter M1 to misbehave, and whether its worker signals it.
struct TFault {
    const char* Name;
    void (*Set)(TVirtualMeter& meter, bool on);
    bool Signalled;
};

const TFault Faults[] = {
    {"BusyBitStuck", [](TVirtualMeter& m, bool on) { m.SetBusyStuck(on); }, true},
    {"ResponsesLost",
     [](TVirtualMeter& m, bool on) { m.LoseResponses(on ? TVirtualMeter::AllResponses : 0); },
     true},
    {"ResponsesLate",
     [](TVirtualMeter& m, bool on) {
         m.SetResponseDelay(on ? TVirtualMeter::TDuration(1500ms) : TVirtualMeter::TDuration());
     },
     true},
    {"ForeignReportFirst", [](TVirtualMeter& m, bool on) { m.SetForeignReportFirst(on); }, false},
    {"EveryTransferFailing", [](TVirtualMeter& m, bool on) { m.SetTransfersFailing(on); }, true},
};

// A meter that misbehaves during a run: its error is signalled within the bridge's time-outs
// (1 s for an answer, 2 s for a conversion), its fields stay empty while it fails rather than
// repeat an old value, the other meters go on, and once the fault is gone it measures again (in
// fast mode its continuous conversion starts again by itself). Its input changes as the fault
// goes, so that a late answer taken for a later one would show as the old value after the new
// one.
class DeviceFaultTest : public ThreeMeterRunTest,
                        public testing::WithParamInterface<std::tuple<TFault, bool>> {};

TEST_P(DeviceFaultTest, IsSignalledAndPassesWithoutAWrongValue) {
    const auto& [fault, fast] = GetParam();
    StartThreeMeters(fast);
    int measuresAgain = 0;
    QObject::connect(Run.get(), &TRunController::MeterMeasuresAgain,
                     [&](std::size_t meter) { measuresAgain += SerialOf(meter) == "M1"; });
    const QStringList all = {"M1", "M2", "M3"}, others = {"M2", "M3"};
    // Ticks after the other meters' results until done holds.
    const auto tickUntil = [&](const std::function<bool()>& done) {
        const QDeadlineTimer deadline(5s);
        while (!done())
            if (deadline.hasExpired() || !TickAfterResults(others))
                return false;
        return true;
    };
    const auto logLines = [&] { return ReadLines(LogName).size(); };

    StartRun();
    for (int tick = 0; tick < 3; ++tick)
        ASSERT_TRUE(TickAfterResults(all));
    TVirtualMeter& faulty = *Devices[0];
    fault.Set(faulty, true);
    qsizetype failingFrom = -1, failingTo = -1; // log lines while it failed
    if (fault.Signalled) {
        ASSERT_TRUE(tickUntil([&] { return Failures.count(QStringLiteral("M1")) > 0; }));
        ASSERT_TRUE(TickAfterResults(others)); // what it measured before it failed
        failingFrom = logLines();
        for (int tick = 0; tick < 3; ++tick)
            ASSERT_TRUE(TickAfterResults(others));
        failingTo = logLines();
    } else {
        for (int tick = 0; tick < 5; ++tick)
            ASSERT_TRUE(TickAfterResults(all));
    }
    faulty.SetInputCapacitance(1, 1.75);
    measuresAgain = 0; // the run's first result of each meter counts as one too
    fault.Set(faulty, false);
    if (fault.Signalled) {
        ASSERT_TRUE(tickUntil([&] { return measuresAgain > 0; })) << "measuring again";
    }
    for (int tick = 0; tick < 3; ++tick)
        ASSERT_TRUE(TickAfterResults(all));
    Run->Stop();

    EXPECT_TRUE(DiscoveryFailures.isEmpty()) << DiscoveryFailures.join(u'\n').toStdString();
    EXPECT_EQ(Failures.size(), fault.Signalled ? 1u : 0u) << "only M1 failed";
    const TRunLog log = Log("CAP1.M1\tCAP1.M2\tCAP1.M3\t");
    int logged[3] = {}, old = 0, renewed = 0;
    for (const auto& [at, fields] : log.Rows) {
        if (fields.size() != 3)
            continue; // reported by the reader
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(fields[i].isEmpty() || fields[i] == ValueText(i) ||
                        (i == 0 && fields[i] == "1.750000"))
                << "line " << at;
            logged[i] += !fields[i].isEmpty();
        }
        if (fields[0] == "1.250000") {
            EXPECT_EQ(renewed, 0) << "an old value after a new one, line " << at;
            ++old;
        } else if (fields[0] == "1.750000") {
            ++renewed;
        }
        if (at >= failingFrom && at < failingTo) {
            EXPECT_TRUE(fields[0].isEmpty()) << "while failing, line " << at;
        }
    }
    EXPECT_GT(old, 0);
    EXPECT_GT(renewed, 0);
    // The others went on: each of their results is in the log, in timer mode one a row.
    for (int i = 1; i < 3; ++i) {
        const int expected = fast ? RunResults[Serial(i)] : int(log.Rows.size());
        EXPECT_EQ(logged[i], expected) << "meter " << i + 1;
    }
    if (fast) {
        EXPECT_EQ(logged[0], RunResults["M1"]);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceFaultTest,
                         testing::Combine(testing::ValuesIn(Faults), testing::Bool()),
                         [](const auto& param) {
                             return std::get<0>(param.param).Name +
                                    ("_" + ModeName(std::get<1>(param.param)));
                         });

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

// Says yes to replacing a log file.
class TReplaceLogs final : public TRunQuestions {
public:
    std::optional<QString> ChooseLogFile() override { return std::nullopt; }
    bool MayReplace(const QString&) override { return true; }
};

// The disk with the log fills up during a run and has room again later: the error is raised
// once (not at every tick), the run goes on, the rows written before stay, and the rows of the
// full time follow once there is room, so that no row is lost; the remote clients get every
// value once.
class FullDiskTest : public ThreeMeterRunTest, public testing::WithParamInterface<bool> {};

TEST_P(FullDiskTest, LogIsReportedOnceAndLosesNoRow) {
    const bool fast = GetParam();
    const QString folder = Dir.filePath(QStringLiteral("disk"));
    ASSERT_TRUE(QDir().mkpath(folder));
    TSmallDisk disk(folder, 256);
    // Without the privilege to mount, a device that is always full: nothing to start on.
    LogName = disk.Mounted() ? folder + QStringLiteral("/run.txt") : QStringLiteral("/dev/full");
    StartThreeMeters(fast);
    TReplaceLogs replace; // /dev/full exists
    Run->SetQuestions(&replace);
    if (!disk.Mounted()) {
        try {
            Run->Start();
            ADD_FAILURE() << "no error";
        } catch (const ELogFileError& error) {
            EXPECT_TRUE(QString::fromUtf8(error.what()).contains(LogName)) << error.what();
        }
        EXPECT_FALSE(Run->Running());
        GTEST_SKIP() << "no tmpfs could be mounted here; /dev/full tried instead";
    }
    StartRun();
    QStringList sent, statuses;
    QObject::connect(Run.get(), &TRunController::Line, [&](const QString& line) { sent << line; });
    QObject::connect(Run.get(), &TRunController::Status,
                     [&](const QString& status) { statuses << status; });
    const QStringList all = {"M1", "M2", "M3"};
    int ticks = 0;
    QStringList raised;
    const auto tick = [&] {
        ++ticks;
        try {
            return TickAfterResults(all);
        } catch (const ELogFileError& error) {
            raised << QString::fromUtf8(error.what());
            return true;
        }
    };
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(tick());
    // Fill the disk to the last byte.
    QFile filler(folder + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray chunk(1024, 'x');
    while (filler.write(chunk) == chunk.size()) {
    }
    while (filler.write(chunk.constData(), 1) == 1) {
    }
    // The log's last page still takes rows.
    for (int i = 0; i < 1000 && raised.isEmpty(); ++i)
        ASSERT_TRUE(tick());
    ASSERT_EQ(raised.size(), 1);
    EXPECT_TRUE(raised[0].contains(LogName)) << raised[0].toStdString();
    const qint64 sizeWhileFull = QFileInfo(LogName).size();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(tick());
    EXPECT_EQ(raised.size(), 1) << "raised once while the disk stays full";
    EXPECT_TRUE(Run->Running());
    EXPECT_TRUE(statuses.last().contains(LogName)) << statuses.last().toStdString();
    EXPECT_EQ(QFileInfo(LogName).size(), sizeWhileFull) << "no torn row";
    EXPECT_GE(Log("CAP1.M1\tCAP1.M2\tCAP1.M3\t").Rows.size(), 10u)
        << "the rows written before are on disk";
    filler.remove();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(tick());
    EXPECT_EQ(statuses.last(), QStringLiteral("Log file written again"));
    EXPECT_NO_THROW(Run->Stop());
    EXPECT_EQ(raised.size(), 1) << raised.join(u'\n').toStdString();

    const TRunLog log = Log("CAP1.M1\tCAP1.M2\tCAP1.M3\t");
    int values = 0;
    for (const auto& [at, fields] : log.Rows)
        for (int i = 0; i < 3 && i < fields.size(); ++i) {
            EXPECT_TRUE(fields[i].isEmpty() || fields[i] == ValueText(i)) << "line " << at;
            values += !fields[i].isEmpty();
        }
    // The clients' rows may pair the meters' values differently: a retried block's rows are
    // built anew, and the values sent before are not in them.
    qsizetype valuesSent = 0;
    for (const QString& line : sent)
        for (const QStringView field : QStringView(line).split(u'\t'))
            valuesSent += !field.trimmed().isEmpty();
    EXPECT_EQ(valuesSent, values);
    // Fast mode: every block complete; timer mode: a row for every tick.
    EXPECT_EQ(int(log.Rows.size()), fast ? log.Counted : ticks);
}

INSTANTIATE_TEST_SUITE_P(Modes, FullDiskTest, testing::Bool(),
                         [](const auto& mode) { return ModeName(mode.param); });

// The same without a disk of its own: a log write past a file size limit fails, is raised
// once, and the rows wait in memory until the log takes them again.
class LogWriteTest : public TCoreRunTest {};

TEST_F(LogWriteTest, FailingWriteIsRaisedOnceAndTheRunGoesOn) {
    Start(1);
    QStringList statuses;
    QObject::connect(Run.get(), &TRunController::Status,
                     [&](const QString& status) { statuses << status; });
    StartRun();
    ASSERT_TRUE(TickAfterResults({"M1"}));
    ASSERT_TRUE(TickAfterResults({"M1"}));
    {
        // The disk is full: no further byte fits into the log.
        const TFileSizeLimit full(rlim_t(QFileInfo(LogName).size()));
        try {
            TickAfterResults({"M1"});
            ADD_FAILURE() << "no error";
        } catch (const ELogFileError& error) {
            EXPECT_TRUE(QString::fromUtf8(error.what()).contains(LogName)) << error.what();
        }
        const qint64 sizeWhileFull = QFileInfo(LogName).size();
        EXPECT_NO_THROW(TickAfterResults({"M1"})) << "raised once";
        EXPECT_TRUE(Run->Running());
        EXPECT_TRUE(statuses.last().contains(LogName)) << statuses.last().toStdString();
        EXPECT_EQ(QFileInfo(LogName).size(), sizeWhileFull) << "no torn row";
    }
    ASSERT_TRUE(TickAfterResults({"M1"}));
    EXPECT_EQ(statuses.last(), QStringLiteral("Log file written again"));
    EXPECT_NO_THROW(Run->Stop());
    const TRunLog log = Log("CAP1.M1\t");
    ASSERT_EQ(log.Rows.size(), 5u) << "a row for every tick";
    for (const TRunLog::TRow& row : log.Rows)
        EXPECT_EQ(row.Fields, QList<QByteArray>({"1.250000"})) << "line " << row.Line;
}

} // namespace

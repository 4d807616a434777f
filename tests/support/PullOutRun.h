#pragma once

#include "app/MainWindow.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"
#include "tests/support/MeterSettings.h"
#include "tests/support/TextFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <unistd.h>

// The names of the process's threads.
inline QStringList ThreadNames() {
    QStringList names;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::NoDotAndDotDot | QDir::Dirs)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly))
            names << QString::fromUtf8(comm.readAll().trimmed());
    }
    return names;
}

// The process's threads that carry name: the meters' workers are called "Measurement".
inline int ThreadsNamed(const QByteArray& name) {
    return int(ThreadNames().count(QString::fromUtf8(name)));
}

// The process's open files whose target contains part ("/dev/hidraw", "[eventfd]").
inline int OpenFilesTo(const char* part) {
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System)) {
        char target[4096];
        const ssize_t length =
            ::readlink(fds.filePath(fd).toLocal8Bit().constData(), target, sizeof target - 1);
        if (length > 0) {
            target[length] = 0;
            count += std::strstr(target, part) != nullptr;
        }
    }
    return count;
}

// A run of the real window with three meters M1 to M3 (channel 1 at 1.25, 2.25 and 3.25 pF,
// 20 ms conversions) in which meters are pulled out and plugged back in, on whatever bus.
class TPullOutRun {
public:
    static constexpr int MeterCount = 3;
    static double Capacitance(int meter) { return 1.25 + meter; }
    static QString Serial(int meter) { return QStringLiteral("M%1").arg(meter + 1); }
    // The meter's value as the log writes it.
    static QByteArray ValueText(int meter) {
        return QByteArray::number(Capacitance(meter), 'f', 6);
    }
    static std::shared_ptr<TVirtualMeter> NewMeter(int meter) {
        auto device = std::make_shared<TVirtualMeter>(Serial(meter));
        device->SetInputCapacitance(1, Capacitance(meter));
        return device;
    }
    // The three meters, plugged into bus.
    static std::vector<std::shared_ptr<TVirtualMeter>> PlugMeters(TVirtualHidBus& bus) {
        std::vector<std::shared_ptr<TVirtualMeter>> meters;
        for (int i = 0; i < MeterCount; ++i) {
            meters.push_back(NewMeter(i));
            bus.Plug(meters.back());
        }
        return meters;
    }

    TPullOutRun() {
        TIniFile ini(IniName);
        ini.WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"), LogName);
        for (int i = 0; i < MeterCount; ++i)
            WriteCap1MeterSettings(ini, Serial(i));
    }

    // Starts a run in timer or fast mode and pulls meter cycle % 3 out and back in, cycles
    // times, each time waiting until the window has seen it go and come back. Afterwards the
    // run has one worker per meter, and Stop leaves no error.
    void Run(TMainWindow& form, bool fast, int cycles, const std::function<void(int meter)>& unplug,
             const std::function<void(int meter)>& plug,
             const std::function<void()>& beforeStop = {}) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.MeterSet().Meters().size() == 3; }, 5000));
        form.Settings->IntervalSE->setValue(50);
        form.Settings->FastModeCB->setChecked(fast);
        form.Settings->FastModeIntervalCB->setCurrentIndex(2); // 20.0 ms
        form.StartBtnClick();
        ASSERT_TRUE(form.Run().Running());
        for (int cycle = 0; cycle < cycles; ++cycle) {
            unplug(cycle % MeterCount);
            ASSERT_TRUE(QTest::qWaitFor([&] { return form.MeterSet().Meters().size() == 2; }, 5000))
                << "cycle " << cycle;
            QTest::qWait(cycle % 4 * 10);
            plug(cycle % MeterCount);
            ASSERT_TRUE(QTest::qWaitFor([&] { return form.MeterSet().Meters().size() == 3; }, 5000))
                << "cycle " << cycle;
            QTest::qWait(cycle % 5 * 10);
        }
        QTest::qWait(500);
        EXPECT_EQ(ThreadsNamed("Measurement"), MeterCount) << "one worker per meter";
        if (beforeStop)
            beforeStop();
        form.StopBtnClick();
    }

    // The value rows of a log of the three meters, each with its line number in the file, and
    // the sum of fast mode's count lines.
    struct TLogRow {
        qsizetype Line;
        QList<QByteArray> Fields;
    };
    struct TLogRows {
        std::vector<TLogRow> Rows;
        int Counted = 0;
    };
    static TLogRows ReadLogRows(const QString& logName) {
        TLogRows log;
        const QList<QByteArray> lines = ReadAll(logName).split('\n');
        const qsizetype header = lines.indexOf("CAP1.M1\tCAP1.M2\tCAP1.M3\t\r");
        if (header < 0)
            ADD_FAILURE() << "no column header in " << logName.toStdString();
        for (qsizetype at = header < 0 ? lines.size() : header + 1; at < lines.size(); ++at) {
            const QByteArray& line = lines[at];
            if (line.isEmpty())
                continue; // after the last line end
            if (!line.endsWith("\t\r")) {
                log.Counted += line.chopped(1).toInt(); // a fast-mode block's count line
                continue;
            }
            log.Rows.push_back({at, line.chopped(2).split('\t')});
            if (log.Rows.back().Fields.size() != MeterCount)
                ADD_FAILURE() << "line " << at << ": " << line.toStdString();
        }
        return log;
    }

    // Every row of the log holds the three meters' fields, each empty or the meter's value,
    // and every meter measured again after its last pull-out.
    void CheckLog() const {
        const TLogRows log = ReadLogRows(LogName);
        int values[MeterCount] = {};
        for (const TLogRow& row : log.Rows)
            for (int i = 0; i < MeterCount && i < row.Fields.size(); ++i) {
                if (row.Fields[i].isEmpty())
                    continue;
                EXPECT_EQ(row.Fields[i], ValueText(i)) << "line " << row.Line;
                ++values[i];
            }
        EXPECT_GT(log.Rows.size(), 20u);
        // Each pull-out sets every meter up anew; the last half second is undisturbed.
        for (int i = 0; i < MeterCount; ++i)
            EXPECT_GE(values[i], 5) << "meter " << i + 1 << " went on measuring";
    }

    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));
};

#include "CapInterface.h"
#include "IniFile.h"
#include "Main.h"
#include "ScriptedPrompts.h"
#include "TextFiles.h"
#include "VirtualHidBus.h"
#include "VirtualMeter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The process's threads that carry name: the meters' workers are called "Measurement".
int ThreadsNamed(const QByteArray& name) {
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::NoDotAndDotDot | QDir::Dirs)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            ++count;
    }
    return count;
}

// Meters pulled out and plugged back in again and again during runs: the program neither
// crashes nor hangs nor leaks, every log row keeps its columns, and the meters that stay in
// go on.
TEST(FaultTest, HundredPullOutsDuringRunsWithThreeMeters) {
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast mode" : "timer mode");
        QTemporaryDir dir;
        const QString iniName = dir.filePath(QStringLiteral("Settings.ini"));
        const QString logName = dir.filePath(QStringLiteral("run.txt"));
        TScriptedPrompts prompts;
        TVirtualHidBus bus;
        std::vector<std::shared_ptr<TVirtualMeter>> meters;
        {
            TIniFile ini(iniName);
            ini.WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"), logName);
            for (int i = 0; i < 3; ++i) {
                const QString serial = QStringLiteral("M%1").arg(i + 1);
                ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
                ini.WriteInteger(serial, QStringLiteral("Reg7"), 0x80);
                ini.WriteInteger(serial, QStringLiteral("Reg9"), 0x28);  // excitation on
                ini.WriteInteger(serial, QStringLiteral("Reg10"), 0x10); // 20.0 ms
                meters.push_back(std::make_shared<TVirtualMeter>(serial));
                meters.back()->SetInputCapacitance(1, 1.25 + i);
                bus.Plug(meters.back());
            }
        }
        {
            TForm1 form(iniName, bus);
            ASSERT_TRUE(QTest::qWaitFor([&] { return form.CapInterfaces.size() == 3; }, 5000));
            form.IntervalSE->setValue(50);
            form.FastModeCB->setChecked(fast);
            form.FastModeIntervalCB->setCurrentIndex(2); // 20.0 ms
            form.StartBtnClick();
            ASSERT_TRUE(form.Running);
            for (int cycle = 0; cycle < 100; ++cycle) {
                const auto& meter = meters[std::size_t(cycle % 3)];
                bus.Unplug(meter);
                ASSERT_TRUE(QTest::qWaitFor([&] { return form.CapInterfaces.size() == 2; }, 5000))
                    << "cycle " << cycle;
                QTest::qWait(cycle % 4 * 10);
                bus.Plug(meter);
                ASSERT_TRUE(QTest::qWaitFor([&] { return form.CapInterfaces.size() == 3; }, 5000))
                    << "cycle " << cycle;
                QTest::qWait(cycle % 5 * 10);
            }
            QTest::qWait(500);
            EXPECT_EQ(ThreadsNamed("Measurement"), 3) << "one worker per meter, none left over";
            form.StopBtnClick();
            EXPECT_TRUE(prompts.Errors.isEmpty()) << prompts.Errors.join(u'\n').toStdString();
        }
        const QList<QByteArray> lines = ReadAll(logName).split('\n');
        const qsizetype columns = lines.indexOf("CAP1.M1\tCAP1.M2\tCAP1.M3\t\r");
        ASSERT_GT(columns, 0);
        int rows = 0;
        int values[3] = {};
        for (const QByteArray& line : lines.mid(columns + 1)) {
            if (!line.endsWith("\t\r"))
                continue; // fast mode's count lines and the end of the file
            const QList<QByteArray> fields = line.chopped(2).split('\t');
            ASSERT_EQ(fields.size(), 3) << line.toStdString();
            for (int i = 0; i < 3; ++i) {
                if (fields[i].isEmpty())
                    continue;
                EXPECT_EQ(fields[i], QByteArray::number(1.25 + i, 'f', 6)) << line.toStdString();
                ++values[i];
            }
            ++rows;
        }
        EXPECT_GT(rows, 20);
        // Each pull-out sets every meter up anew; the last half second is undisturbed.
        for (int i = 0; i < 3; ++i)
            EXPECT_GE(values[i], 5) << "meter " << i + 1 << " went on measuring";
        // Every meter's worker ended with its meter (a joined thread leaves the process's list
        // a moment after the join returns).
        EXPECT_TRUE(QTest::qWaitFor([] { return ThreadsNamed("Measurement") == 0; }, 2000))
            << ThreadsNamed("Measurement") << " workers left";
    }
}

} // namespace

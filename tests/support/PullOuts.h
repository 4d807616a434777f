#pragma once

#include "app/core/MeterSet.h"
#include "tests/support/CoreRun.h"

#include <QDir>
#include <QFile>
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

// Pull-outs during a run of the three meters M1 to M3 (see TRunMeters), on whatever bus.
namespace PullOuts {

constexpr int MeterCount = 3;

// Pulls meter cycle % 3 out and plugs it back in, cycles times, each time waiting until the
// meter set has seen it go and come back; then lets the run go on undisturbed for half a
// second, after which every meter has its one worker.
inline void Cycle(const TMeterSet& meters, int cycles, const std::function<void(int meter)>& unplug,
                  const std::function<void(int meter)>& plug) {
    const auto present = [&](std::size_t count) {
        return QTest::qWaitFor([&] { return meters.Meters().size() == count; }, 5000);
    };
    for (int cycle = 0; cycle < cycles; ++cycle) {
        unplug(cycle % MeterCount);
        ASSERT_TRUE(present(MeterCount - 1)) << "cycle " << cycle;
        QTest::qWait(cycle % 4 * 10);
        plug(cycle % MeterCount);
        ASSERT_TRUE(present(MeterCount)) << "cycle " << cycle;
        QTest::qWait(cycle % 5 * 10);
    }
    QTest::qWait(500);
    EXPECT_EQ(ThreadsNamed("Measurement"), MeterCount) << "one worker per meter";
}

// Every row of the run's log holds the three meters' fields, each empty or the meter's value,
// and every meter measured again after its last pull-out.
inline void CheckLog(const QString& logName) {
    const TRunLog log = TRunLog::Read(logName, "CAP1.M1\tCAP1.M2\tCAP1.M3\t");
    int values[MeterCount] = {};
    for (const TRunLog::TRow& row : log.Rows)
        for (int i = 0; i < MeterCount && i < row.Fields.size(); ++i) {
            if (row.Fields[i].isEmpty())
                continue;
            EXPECT_EQ(row.Fields[i], TRunMeters::ValueText(i)) << "line " << row.Line;
            ++values[i];
        }
    EXPECT_GT(log.Rows.size(), 20u);
    // Each pull-out sets every meter up anew; the last half second is undisturbed.
    for (int i = 0; i < MeterCount; ++i)
        EXPECT_GE(values[i], 5) << "meter " << i + 1 << " went on measuring";
}

} // namespace PullOuts

#include "remote/AddressWatcher.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(AddressWatcherTest, ReportsOnlineChangesAndKeepsTheLast25Addresses) {
    QString address;
    TAddressWatcher watcher([&] { return address; });
    QSignalSpy changes(&watcher, &TAddressWatcher::StatusChanged);

    const struct {
        const char* Address;
        int Changes; // reports so far
        bool Online;
    } steps[] = {
        {"", 0, false},          {"127.0.0.1", 0, false}, {"10.0.0.5", 1, true},
        {"10.0.0.6", 1, true}, // a new address while on line is no change
        {"127.0.0.1", 2, false}, {"10.0.0.6", 3, true},   {"", 4, false},
    };
    for (const auto& step : steps) {
        address = QLatin1String(step.Address);
        watcher.Check();
        EXPECT_EQ(changes.count(), step.Changes) << step.Address;
        EXPECT_EQ(watcher.Online(), step.Online) << step.Address;
    }
    // Going off line remembers the address it had, once when it repeats.
    EXPECT_EQ(watcher.History(), QStringList({"10.0.0.6"}));

    for (int i = 0; i < 30; ++i) {
        address = QStringLiteral("192.168.1.%1").arg(i);
        watcher.Check();
        address.clear();
        watcher.Check();
    }
    ASSERT_EQ(watcher.History().size(), 25);
    EXPECT_EQ(watcher.History().constFirst(), QStringLiteral("192.168.1.5"));

    address = QStringLiteral("172.16.0.1");
    watcher.Check();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("iphist.dat"));
    watcher.WriteHistory(file);
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), 26); // 25 addresses and the empty rest after the last line end
    EXPECT_EQ(lines[24], "172.16.0.1");
    EXPECT_THROW(watcher.WriteHistory(dir.filePath(QStringLiteral("missing/iphist.dat"))),
                 std::runtime_error);
}

} // namespace

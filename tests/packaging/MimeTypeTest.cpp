#include "tests/support/TextFiles.h"

#include <QDir>
#include <QFile>
#include <QMimeDatabase>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// File managers know the program's logs by their first line, not by a name, and open them as a
// kind of text where the program is not installed; other text stays plain text.
TEST(MimeTypeTest, LogsAreKnownByTheirFirstLine) {
    QTemporaryDir data;
    ASSERT_TRUE(QDir(data.path()).mkpath(QStringLiteral("mime/packages")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(DIELO_MIME_PACKAGE),
                            data.filePath(QStringLiteral("mime/packages/dielometer-log.xml"))));
    // The package before the system's database, which knows text; read at the database's first
    // use.
    qputenv("XDG_DATA_DIRS", (data.path() + QStringLiteral(":/usr/share")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", data.filePath(QStringLiteral("home")).toLocal8Bit());
    const QByteArray log = "DieloMeter5.1 Vantel\r\nCreated:\t11.12.2026 09:30:05\r\n";
    WriteAll(data.filePath(QStringLiteral("measurement.dat")), log);

    const QMimeDatabase mime;
    const QString logType = QStringLiteral("application/x-dielometer-log");
    EXPECT_EQ(mime.mimeTypeForData(log).name(), logType);
    EXPECT_EQ(mime.mimeTypeForFile(data.filePath(QStringLiteral("measurement.dat"))).name(),
              logType);
    EXPECT_EQ(mime.mimeTypeForData(QByteArray("Bring the calibration weights.\n")).name(),
              QStringLiteral("text/plain"));
    // A log named *.txt: its name says text/plain, its content a kind of it, which the shared
    // MIME rules then take. (Qt's own lookup stops at a name with one match.)
    EXPECT_TRUE(mime.mimeTypeForName(logType).inherits(QStringLiteral("text/plain")));
}

} // namespace

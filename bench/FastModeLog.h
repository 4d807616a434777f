#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The values a fast-mode log holds: its blocks' value rows after the column header, a field
// each; -1 when the log cannot be read.
inline long long FastModeLogValues(const QString& logName) {
    QFile log(logName);
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    long long values = 0;
    bool inBlocks = false;
    for (const QByteArray& line : log.readAll().split('\n')) {
        if (line.startsWith("CAP1.")) {
            inBlocks = true;
            continue;
        }
        // Value rows end with a TAB; a meter with fewer values leaves its field empty. The
        // blocks' count lines do not.
        if (inBlocks && line.endsWith("\t\r"))
            for (const QByteArray& field : line.chopped(1).split('\t'))
                values += field.isEmpty() ? 0 : 1;
    }
    return values;
}

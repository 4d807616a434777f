#pragma once

#include "tests/support/TextFiles.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <gtest/gtest.h>

#include <vector>

// A run's log read back: the value rows after the column header, each with its line number
// (from 0) and its fields, and the sum of fast mode's count lines. A row that does not hold the
// header's number of fields fails the test.
struct TRunLog {
    struct TRow {
        qsizetype Line = 0;
        QList<QByteArray> Fields;
    };
    std::vector<TRow> Rows;
    int Counted = 0;

    // header: the column header row without its line end, such as "CAP1.M1\tCAP1.M2\t".
    static TRunLog Read(const QString& fileName, const QByteArray& header) {
        TRunLog log;
        const QList<QByteArray> lines = ReadLines(fileName);
        const qsizetype at = lines.indexOf(header);
        if (at < 0) {
            ADD_FAILURE() << "no column header " << header.toStdString() << " in "
                          << fileName.toStdString();
            return log;
        }
        for (qsizetype i = at + 1; i < lines.size(); ++i) {
            const QByteArray& line = lines[i];
            if (!line.endsWith('\t')) {
                log.Counted += line.toInt(); // a fast-mode block's count line
                continue;
            }
            log.Rows.push_back({i, line.chopped(1).split('\t')});
            if (log.Rows.back().Fields.size() != header.count('\t'))
                ADD_FAILURE() << "line " << i << ": " << line.toStdString();
        }
        return log;
    }
};

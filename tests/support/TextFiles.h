#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <gtest/gtest.h>

// A file's bytes as they are; empty when it cannot be read.
inline QByteArray ReadAll(const QString& fileName) {
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces a file's bytes.
inline void WriteAll(const QString& fileName, const QByteArray& text) {
    QFile file(fileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

// A file's lines, each without its CR LF; nothing after the last line end.
inline QList<QByteArray> ReadLines(const QString& fileName) {
    QList<QByteArray> lines = ReadAll(fileName).split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    return lines;
}

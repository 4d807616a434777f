#include "app/core/CsvExport.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cmath>

namespace {

// A cell as RFC 4180 asks: in quotes, with its quotes doubled, when it holds a comma, a quote
// or a line end.
QByteArray CsvCell(const QString& text) {
    QByteArray cell = text.toUtf8();
    if (cell.contains(',') || cell.contains('"') || cell.contains('\n') || cell.contains('\r'))
        cell = '"' + cell.replace("\"", "\"\"") + '"';
    return cell;
}

} // namespace

QString CsvFileNameOf(const QString& logName) {
    const QFileInfo log(logName);
    return log.dir().filePath(log.completeBaseName() + QStringLiteral(".csv"));
}

TCsvExport ExportCsv(const QString& logName, const QString& csvName,
                     const std::function<void(qint64, qint64)>& progress) {
    TLogReader reader(logName);
    QSaveFile file(csvName);
    const auto fail = [&](const QString& reason) {
        throw ECsvExportError(QStringLiteral("The CSV file %1 could not be written: %2.")
                                  .arg(QDir::toNativeSeparators(csvName), reason)
                                  .toStdString());
    };
    if (!file.open(QIODevice::WriteOnly))
        fail(file.errorString());

    QByteArray text = "time_s";
    for (const TLogColumn& column : reader.Header().Columns)
        text += ',' +
                CsvCell(QStringLiteral("%1 [%2]").arg(column.Name, QuantityUnit(column.Quantity)));
    text += "\r\n";
    TCsvExport result;
    TLogRow row;
    while (reader.Next(row)) {
        text += QByteArray::number(double(row.ElapsedMs) / 1000.0, 'f', 3);
        for (const double value : row.Values) {
            text += ',';
            if (!std::isnan(value))
                text += QByteArray::number(value, 'f', 6);
        }
        text += "\r\n";
        ++result.Rows;
        // Written in pieces, so that a large log never sits in memory whole.
        if (text.size() > (1 << 20)) {
            if (file.write(text) != text.size())
                fail(file.errorString());
            text.clear();
            if (progress)
                progress(reader.BytesRead(), reader.Size());
        }
    }
    if (file.write(text) != text.size() || !file.commit())
        fail(file.errorString());
    if (progress)
        progress(reader.Size(), reader.Size());
    result.Problems = reader.Problems();
    result.ProblemCount = reader.ProblemCount();
    return result;
}

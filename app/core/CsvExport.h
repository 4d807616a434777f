#pragma once

#include "app/core/LogReader.h"

#include <QString>

#include <functional>
#include <stdexcept>
#include <vector>

// The CSV file could not be written. The message names the file and the system's reason.
class ECsvExportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The CSV file beside a log: the log's name with ".csv" in place of its extension.
QString CsvFileNameOf(const QString& logName);

// What an export wrote, and what of the log it could not take in full.
struct TCsvExport {
    qint64 Rows = 0;
    std::vector<TLogProblem> Problems;
    qint64 ProblemCount = 0;
};

// Writes a log's rows as a plain CSV file for spreadsheets and scripts: a header row of
// "time_s" and "<column> [<unit>]" for every column, then per value row the elapsed time in
// seconds and the values, with a dot as the decimal separator, empty cells for empty fields and
// no count lines. An existing file is replaced only once the new one is complete. progress, if
// given, hears the bytes of the log read so far and its size now and then. Raises
// ELogReadError for a log it cannot read and ECsvExportError when the file cannot be written.
TCsvExport ExportCsv(const QString& logName, const QString& csvName,
                     const std::function<void(qint64 read, qint64 size)>& progress = {});

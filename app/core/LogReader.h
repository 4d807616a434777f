#pragma once

#include "app/core/ChartQuantity.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A log could not be read: it cannot be opened or read, or it is no log of this program. The
// message names the file and says why.
class ELogReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One value column of a log's rows.
struct TLogColumn {
    QString Name;          // e.g. "CAP1.SIM00001"
    std::size_t Meter = 0; // its meter, by index into TLogHeader::Meters
    EChartQuantity Quantity = EChartQuantity::Cap1;
    bool operator==(const TLogColumn&) const = default;
};

// One meter's block of the settings header.
struct TLogMeterHeader {
    QString Serial;
    // The block's lines after "Settings of ...": "CAP1:\t...", ..., "SMode:\t1".
    QStringList Lines;
};

// What a log's settings header and column header row say.
struct TLogHeader {
    QString Program; // the first line, e.g. "DieloMeter5.1 Vantel"
    QString CreatedText;
    // When the run started; invalid when the text is in no form the reader knows.
    QDateTime Created;
    bool FastMode = false;
    QString IntervalText; // as written: "1000" in timer mode, "11.0" in fast mode
    int IntervalMs = 0;   // timer mode's time between two rows
    std::vector<TLogMeterHeader> Meters;
    // The settings header and the column header row as written, without line ends.
    QStringList Lines;
    // The columns of the rows: in fast mode each meter's CAP1, also in logs of earlier versions
    // whose column header row named more.
    std::vector<TLogColumn> Columns;
};

// A line that the reader could not take in full: its number (from 1) and why.
struct TLogProblem {
    qint64 Line = 0;
    QString Reason;
};

// One value row of a log.
struct TLogRow {
    qint64 Line = 0; // in the file, from 1
    // Since Start. Timer mode: the row's values were measured from the tick before it, which
    // came an interval after the one before that (the first row, written at Start, holds
    // nothing new). Fast mode: a block written at a 250 ms tick holds what the meters converted
    // since the tick before; its rows are spread evenly over that time.
    std::int64_t ElapsedMs = 0;
    // Per column: the value, or NaN for an empty field.
    std::vector<double> Values;
    // Per column: the point number that the charts drew the value at: the row's number in
    // timer mode, the count of the column's values so far in fast mode.
    std::vector<std::int64_t> Points;
};

// Reads a log that this program wrote, in timer or fast mode, with any number of meters, in
// any locale's decimal separator (told by the values themselves: six decimals after it), also
// logs of earlier versions. It streams the file in chunks and never holds it whole. A damaged
// line is noted with its number and the reason, and reading goes on with what it holds.
class TLogReader {
public:
    // Fast mode writes a block every 250 ms.
    static constexpr int BlockIntervalMs = 250;

    // Opens the log and reads its headers. Raises ELogReadError when the file cannot be read
    // or is no log of this program, saying why.
    explicit TLogReader(const QString& fileName);

    const TLogHeader& Header() const { return FHeader; }
    // The next value row; false at the end of the file. Raises ELogReadError when the file
    // cannot be read on.
    bool Next(TLogRow& row);
    // What could not be taken in full so far; at most MaxProblems, then only counted.
    static constexpr std::size_t MaxProblems = 1000;
    const std::vector<TLogProblem>& Problems() const { return FProblems; }
    qint64 ProblemCount() const { return FProblemCount; }
    // The lines with a problem; one line may have several.
    qint64 DamagedLines() const { return FDamagedLines; }
    // How far reading has come, in bytes of Size(), for a progress bar.
    qint64 BytesRead() const { return FConsumed; }
    qint64 Size() const { return FSize; }
    // The values' decimal separator, once a value has shown it.
    QString DecimalSeparator() const { return QString::fromUtf8(FSeparator); }

private:
    // The next line without its line end; false at the end. Valid until the next call.
    bool ReadLine(std::string_view& line);
    // Reads the settings header and the column header row.
    void ReadHeader();
    QString HeaderLine(const char* what);
    // The fields of a row line into values; notes what does not fit.
    void ParseRow(std::string_view line, std::vector<double>& values);
    // A value field: NaN when empty; false when it is no value.
    bool ParseValue(std::string_view field, double& value);
    void Note(qint64 line, const QString& reason);
    // Fast mode: reads the rows up to the next count line into the block.
    bool ReadBlock();

    QString FFileName;
    QFile FFile;
    qint64 FSize = 0;
    QByteArray FBuffer;
    qsizetype FPos = 0;
    bool FAtEnd = false;
    qint64 FConsumed = 0;
    qint64 FLineNumber = 0;
    bool FLineEnded = true; // the last line read ended with a line end

    TLogHeader FHeader;
    std::string FSeparator;
    std::vector<TLogProblem> FProblems;
    qint64 FProblemCount = 0;
    qint64 FDamagedLines = 0;
    qint64 FLastProblemLine = 0;
    qint64 FRows = 0;

    // Fast mode: the block being handed out, row by row.
    std::vector<double> FBlockValues;
    std::vector<qint64> FBlockLines;
    std::size_t FBlockNext = 0;
    qint64 FBlocks = 0; // count lines read
    std::vector<std::int64_t> FColumnPoints;
};

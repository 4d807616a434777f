#include "app/core/LogReader.h"

#include "app/core/LogFile.h"

#include <QDir>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr qint64 Chunk = 1 << 20;
constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr int Decimals = 6;

bool StartsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

bool Digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QString Quoted(std::string_view text) {
    constexpr std::size_t Longest = 40;
    QString shown = QString::fromUtf8(text.data(), qsizetype(std::min(text.size(), Longest)));
    if (text.size() > Longest)
        shown += QStringLiteral("...");
    return u'"' + shown + u'"';
}

// The quantity of a column name's prefix, e.g. "Temp" of "Temp.M1".
bool QuantityOfPrefix(const QString& prefix, EChartQuantity& quantity) {
    const std::pair<const char*, EChartQuantity> prefixes[] = {
        {"CAP1", EChartQuantity::Cap1},
        {"CAP2", EChartQuantity::Cap2},
        {"Temp", EChartQuantity::Temperature},
        {"Res", EChartQuantity::Resistance}};
    for (const auto& [name, which] : prefixes) {
        if (prefix == QLatin1String(name)) {
            quantity = which;
            return true;
        }
    }
    return false;
}

} // namespace

TLogReader::TLogReader(const QString& fileName)
    : FFileName(fileName)
    , FFile(fileName) {
    if (!FFile.open(QIODevice::ReadOnly))
        throw ELogReadError(QStringLiteral("The log %1 could not be opened: %2.")
                                .arg(QDir::toNativeSeparators(fileName), FFile.errorString())
                                .toStdString());
    FSize = FFile.size();
    ReadHeader();
}

bool TLogReader::ReadLine(std::string_view& line) {
    while (true) {
        const char* begin = FBuffer.constData() + FPos;
        const auto remaining = std::size_t(FBuffer.size() - FPos);
        if (const auto* end = static_cast<const char*>(std::memchr(begin, '\n', remaining))) {
            const auto length = std::size_t(end - begin);
            FPos += qsizetype(length) + 1;
            FConsumed += qint64(length) + 1;
            line = std::string_view(begin, length);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            ++FLineNumber;
            FLineEnded = true;
            return true;
        }
        if (FAtEnd) {
            if (remaining == 0)
                return false;
            // The last line, without its line end.
            FPos = FBuffer.size();
            FConsumed += qint64(remaining);
            line = std::string_view(begin, remaining);
            ++FLineNumber;
            FLineEnded = false;
            return true;
        }
        FBuffer.remove(0, FPos);
        FPos = 0;
        const qsizetype kept = FBuffer.size();
        FBuffer.resize(kept + Chunk);
        const qint64 read = FFile.read(FBuffer.data() + kept, Chunk);
        if (read < 0)
            throw ELogReadError(QStringLiteral("The log %1 could not be read on after line %2: %3.")
                                    .arg(QDir::toNativeSeparators(FFileName))
                                    .arg(FLineNumber)
                                    .arg(FFile.errorString())
                                    .toStdString());
        FBuffer.resize(kept + qsizetype(read));
        FAtEnd = read == 0;
    }
}

QString TLogReader::HeaderLine(const char* what) {
    std::string_view line;
    if (!ReadLine(line))
        throw ELogReadError(QStringLiteral("%1 is no complete log of this program: it ends at "
                                           "line %2, before %3.")
                                .arg(QDir::toNativeSeparators(FFileName))
                                .arg(FLineNumber)
                                .arg(QLatin1String(what))
                                .toStdString());
    const QString text = QString::fromUtf8(line.data(), qsizetype(line.size()));
    FHeader.Lines << text;
    return text;
}

void TLogReader::ReadHeader() {
    const QString name = QDir::toNativeSeparators(FFileName);
    const auto refuse = [&](const QString& why) {
        throw ELogReadError(
            QStringLiteral("%1 is no log of this program: %2.").arg(name, why).toStdString());
    };
    std::string_view first;
    if (!ReadLine(first))
        refuse(QStringLiteral("the file is empty"));
    // A text file of another program, or no text at all.
    if (!StartsWith(first, "DieloMeter") || first.find('\0') != std::string_view::npos)
        refuse(QStringLiteral("its first line is %1, not the program's name \"DieloMeter...\"")
                   .arg(Quoted(first)));
    FHeader.Program = QString::fromUtf8(first.data(), qsizetype(first.size()));
    FHeader.Lines << FHeader.Program;

    // Each of lines 2 to 4 starts with its name.
    const auto field = [&](const char* start, const char* what) {
        const QString line = HeaderLine(what);
        if (!line.startsWith(QLatin1String(start)))
            refuse(QStringLiteral("line %1 should start with \"%2\" but reads \"%3\"")
                       .arg(FLineNumber)
                       .arg(QString::fromLatin1(start).trimmed(), line.left(40)));
        return line.mid(qsizetype(std::strlen(start)));
    };
    FHeader.CreatedText = field("Created:\t", "the date of the run");
    FHeader.Created = ReadCreatedText(FHeader.CreatedText);
    const QString mode = field("Auto Mode:\t", "the mode of the run");
    if (mode != QLatin1String("On") && mode != QLatin1String("Off"))
        refuse(QStringLiteral("line 3 gives the mode as \"%1\", not \"On\" or \"Off\"").arg(mode));
    FHeader.FastMode = mode == QLatin1String("On");
    FHeader.IntervalText = field("Interval [ms]\t", "the interval");
    if (!FHeader.FastMode) {
        bool number = false;
        FHeader.IntervalMs = FHeader.IntervalText.toInt(&number);
        if (!number || FHeader.IntervalMs <= 0)
            refuse(QStringLiteral("line 4 gives the interval as \"%1\", not as milliseconds")
                       .arg(FHeader.IntervalText));
    }

    // Each meter's block starts with an empty line and "Settings of"; after the last one an
    // empty line, then the column header row.
    QString line = HeaderLine("the meters' settings");
    if (!line.isEmpty())
        refuse(
            QStringLiteral("line %1 should be empty before the meters' settings").arg(FLineNumber));
    line = HeaderLine("the column header row");
    while (line.startsWith(QLatin1String("Settings of "))) {
        TLogMeterHeader meter;
        meter.Serial = line.mid(12);
        while (!(line = HeaderLine("the end of a meter's settings")).isEmpty())
            meter.Lines << line;
        FHeader.Meters.push_back(meter);
        line = HeaderLine("the column header row");
    }

    if (FHeader.FastMode) {
        // The rows hold each meter's CAP1 alone, whatever the header row of earlier versions
        // named besides.
        for (std::size_t m = 0; m < FHeader.Meters.size(); ++m)
            FHeader.Columns.push_back(
                {QStringLiteral("CAP1.") + FHeader.Meters[m].Serial, m, EChartQuantity::Cap1});
    } else {
        // The columns come meter by meter, in the order of the meters' blocks.
        std::size_t meter = 0;
        const QStringList names = line.split(u'\t', Qt::SkipEmptyParts);
        for (const QString& column : names) {
            const qsizetype dot = column.indexOf(u'.');
            EChartQuantity quantity = EChartQuantity::Cap1;
            if (dot < 0 || !QuantityOfPrefix(column.left(dot), quantity))
                refuse(QStringLiteral("its column header row (line %1) names a column \"%2\", "
                                      "which is no quantity of a meter")
                           .arg(FLineNumber)
                           .arg(column));
            const QString serial = column.mid(dot + 1);
            while (meter < FHeader.Meters.size() && FHeader.Meters[meter].Serial != serial)
                ++meter;
            if (meter == FHeader.Meters.size())
                refuse(QStringLiteral("its column header row (line %1) names a column \"%2\" of "
                                      "a meter whose settings it does not list")
                           .arg(FLineNumber)
                           .arg(column));
            FHeader.Columns.push_back({column, meter, quantity});
        }
    }
    FColumnPoints.assign(FHeader.Columns.size(), 0);
}

void TLogReader::Note(qint64 line, const QString& reason) {
    if (FProblemCount == 0 || line != FLastProblemLine)
        ++FDamagedLines;
    FLastProblemLine = line;
    ++FProblemCount;
    if (FProblems.size() < MaxProblems)
        FProblems.push_back({line, reason});
}

bool TLogReader::ParseValue(std::string_view field, double& value) {
    if (field.empty()) {
        value = Nan;
        return true;
    }
    // "#.000000": a sign, the integer digits if any, the separator, six decimals.
    std::size_t at = field[0] == '-' ? 1 : 0;
    const std::size_t integerStart = at;
    while (at < field.size() && field[at] >= '0' && field[at] <= '9')
        ++at;
    const std::size_t integerEnd = at;
    if (field.size() >= integerEnd + Decimals + 1 &&
        Digits(field.substr(field.size() - Decimals))) {
        const std::string_view separator =
            field.substr(integerEnd, field.size() - Decimals - integerEnd);
        if (FSeparator.empty() && separator.size() <= 4 && separator.find('-') == separator.npos)
            FSeparator = separator;
        if (separator == FSeparator) {
            const std::string_view integer = field.substr(integerStart, integerEnd - integerStart);
            const std::string_view fraction = field.substr(field.size() - Decimals);
            // Up to 15 digits a double holds exactly, and one division rounds as reading the
            // decimal text would.
            if (integer.size() <= 9) {
                std::int64_t units = 0;
                for (const char c : integer)
                    units = units * 10 + (c - '0');
                for (const char c : fraction)
                    units = units * 10 + (c - '0');
                value = double(units) / 1e6;
            } else {
                const std::string text = std::string(integer) + '.' + std::string(fraction);
                std::from_chars(text.data(), text.data() + text.size(), value);
            }
            if (integerStart == 1)
                value = -value;
            return true;
        }
    }
    // What the locale writes for values that are not finite.
    const QString text = QString::fromUtf8(field.data(), qsizetype(field.size())).toLower();
    if (text == QLatin1String("nan")) {
        value = Nan;
        return true;
    }
    if (text == QLatin1String("inf") || text == QLatin1String("-inf")) {
        value = text.startsWith(u'-') ? -std::numeric_limits<double>::infinity()
                                      : std::numeric_limits<double>::infinity();
        return true;
    }
    return false;
}

void TLogReader::ParseRow(std::string_view line, std::vector<double>& values) {
    const std::size_t columns = FHeader.Columns.size();
    values.assign(columns, Nan);
    std::size_t fields = 0;
    std::size_t begin = 0;
    while (begin < line.size()) {
        const std::size_t tab = line.find('\t', begin);
        const bool last = tab == std::string_view::npos;
        const std::string_view field = line.substr(begin, last ? line.npos : tab - begin);
        // Every field is followed by a TAB; text after the last one is a field cut short.
        if (last && !FLineEnded)
            Note(FLineNumber, QStringLiteral("the file ends in the middle of this line: the run "
                                             "was cut short, or still writes the file"));
        else if (last)
            Note(FLineNumber,
                 QStringLiteral("the last field %1 has no TAB after it").arg(Quoted(field)));
        if (fields < columns) {
            double value = Nan;
            if (!ParseValue(field, value))
                Note(FLineNumber, QStringLiteral("field %1 (%2) reads %3, which is no value")
                                      .arg(fields + 1)
                                      .arg(FHeader.Columns[fields].Name, Quoted(field)));
            values[fields] = value;
        }
        ++fields;
        if (last)
            break;
        begin = tab + 1;
    }
    if (fields > columns)
        Note(FLineNumber,
             QStringLiteral("the row has %1 fields, but the column header names %2: the fields "
                            "after column %2 are left out")
                 .arg(fields)
                 .arg(columns));
    else if (fields < columns && FLineEnded)
        Note(FLineNumber, QStringLiteral("the row has %1 of %2 fields: the others count as empty")
                              .arg(fields)
                              .arg(columns));
}

bool TLogReader::ReadBlock() {
    FBlockValues.clear();
    FBlockLines.clear();
    FBlockNext = 0;
    std::vector<double> values;
    std::string_view line;
    while (ReadLine(line)) {
        if (Digits(line)) {
            const std::size_t rows = FBlockLines.size();
            std::size_t count = 0;
            std::from_chars(line.data(), line.data() + line.size(), count);
            if (count != rows)
                Note(FLineNumber, QStringLiteral("the count line says %1 rows, but the block "
                                                 "above it has %2")
                                      .arg(count)
                                      .arg(rows));
            ++FBlocks;
            if (rows > 0)
                return true;
            continue;
        }
        ParseRow(line, values);
        FBlockValues.insert(FBlockValues.end(), values.begin(), values.end());
        FBlockLines.push_back(FLineNumber);
    }
    if (!FBlockLines.empty()) {
        Note(FLineNumber, QStringLiteral("the last block has no count line: the run was cut "
                                         "short, or still writes the file"));
        ++FBlocks;
    }
    return !FBlockLines.empty();
}

bool TLogReader::Next(TLogRow& row) {
    const std::size_t columns = FHeader.Columns.size();
    if (FHeader.FastMode) {
        if (FBlockNext == FBlockLines.size() && !ReadBlock())
            return false;
        const std::size_t q = FBlockNext++;
        const auto rows = std::int64_t(FBlockLines.size());
        // The block written at tick FBlocks - 1 holds the tick before it and this one.
        const std::int64_t blockStart = (FBlocks - 2) * BlockIntervalMs;
        row.Line = FBlockLines[q];
        row.ElapsedMs =
            std::max<std::int64_t>(0, blockStart + (std::int64_t(q) + 1) * BlockIntervalMs / rows);
        row.Values.assign(FBlockValues.begin() + std::ptrdiff_t(q * columns),
                          FBlockValues.begin() + std::ptrdiff_t((q + 1) * columns));
        row.Points.resize(columns);
        for (std::size_t c = 0; c < columns; ++c) {
            if (!std::isnan(row.Values[c]))
                ++FColumnPoints[c];
            row.Points[c] = FColumnPoints[c];
        }
        ++FRows;
        return true;
    }
    std::string_view line;
    if (!ReadLine(line))
        return false;
    ++FRows;
    row.Line = FLineNumber;
    // The first row, written at Start, and the second, written a tick later, both hold values
    // from Start on.
    row.ElapsedMs = std::max<std::int64_t>(0, FRows - 2) * FHeader.IntervalMs;
    if (Digits(line) && columns > 0)
        Note(FLineNumber, QStringLiteral("a count line of fast mode, %1, in a log of timer mode")
                              .arg(Quoted(line)));
    ParseRow(line, row.Values);
    row.Points.assign(columns, FRows);
    return true;
}

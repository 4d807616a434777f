#include "app/core/LogFile.h"

#include "model/SampleRecord.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace {

constexpr int Decimals = 6;

// The locale's long time format without its time-zone token: the log shows local time, and a
// zone name would only make the line differ between machines. Quoted text stays as it is.
QString TimeFormatWithoutZone(const QString& format) {
    QString result;
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format[i];
        if (c == u'\'') {
            qsizetype end = i + 1;
            while (end < format.size()) {
                if (format[end] == u'\'') {
                    if (end + 1 < format.size() && format[end + 1] == u'\'') {
                        end += 2;
                        continue;
                    }
                    break;
                }
                ++end;
            }
            result += format.mid(i, end + 1 - i);
            i = end + 1;
        } else if (c == u't') {
            while (i < format.size() && format[i] == u't')
                ++i;
            // A zone in brackets, "(t)", goes with its brackets.
            if (i < format.size() && !result.isEmpty() &&
                ((result.back() == u'(' && format[i] == u')') ||
                 (result.back() == u'[' && format[i] == u']'))) {
                result.chop(1);
                ++i;
            }
            bool blank = false;
            while (!result.isEmpty() && result.back().isSpace()) {
                result.chop(1);
                blank = true;
            }
            while (i < format.size() && format[i].isSpace()) {
                ++i;
                blank = true;
            }
            if (blank && !result.isEmpty() && i < format.size())
                result += u' ';
        } else {
            result += c;
            ++i;
        }
    }
    return result;
}

QString OnOff(bool on) {
    return on ? QStringLiteral("On") : QStringLiteral("Off");
}

QString RegistersLine(const TRegData& regData) {
    QString line = QStringLiteral("Registers:");
    for (std::uint8_t byte : regData)
        line += u'\t' + QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
    return line;
}

} // namespace

QString CreatedText(const QDateTime& created, const QLocale& locale) {
    const QDateTime local = created.toLocalTime();
    return locale.toString(local.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(local.time(),
                           TimeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

QDateTime ReadCreatedText(const QString& text) {
    // A log may come from a computer of another language.
    const QLocale locales[] = {QLocale(),
                               QLocale::c(),
                               QLocale(QLocale::English, QLocale::UnitedStates),
                               QLocale(QLocale::English, QLocale::UnitedKingdom),
                               QLocale(QLocale::German, QLocale::Germany),
                               QLocale(QLocale::French, QLocale::France)};
    const auto read = [&](const QLocale& locale) {
        const QString format = locale.dateFormat(QLocale::ShortFormat) + u' ' +
                               TimeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat));
        QDateTime created = locale.toDateTime(text, format);
        // A two-digit year is of this century.
        if (created.isValid() && created.date().year() < 1970)
            created = created.addYears(100);
        return created;
    };
    for (const QLocale& locale : locales)
        if (const QDateTime created = read(locale); created.isValid())
            return created;
    // Any other language, once per log.
    for (const QLocale& locale :
         QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory))
        if (const QDateTime created = read(locale); created.isValid())
            return created;
    return {};
}

QString FormatValue(double value, const QLocale& locale) {
    if (!std::isfinite(value))
        return locale.toString(value);

    // The shortest text that reads back as the value, rounded from there in decimal. The longest
    // such text, of the smallest subnormal, has some 330 characters.
    char buffer[400];
    const auto converted =
        std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::fixed);
    const std::string text(buffer, converted.ptr);
    const auto point = text.find('.');
    std::string digits = text.substr(0, point);
    std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
    const bool roundUp = fraction.size() > Decimals && fraction[Decimals] >= '5';
    fraction.resize(Decimals, '0');
    digits += fraction;
    if (roundUp) {
        auto digit = digits.rbegin();
        while (digit != digits.rend() && *digit == '9')
            *digit++ = '0';
        if (digit == digits.rend())
            digits.insert(digits.begin(), '1');
        else
            ++*digit;
    }

    const auto firstDigit = digits.find_first_not_of('0');
    const bool zero = firstDigit == std::string::npos;
    const auto integerEnd = digits.size() - Decimals;
    const std::string integer =
        firstDigit < integerEnd ? digits.substr(firstDigit, integerEnd - firstDigit) : "";
    QString result;
    if (value < 0 && !zero)
        result += u'-';
    result += QString::fromLatin1(integer.data(), qsizetype(integer.size()));
    result += locale.decimalPoint();
    result += QString::fromLatin1(digits.data() + integerEnd, Decimals);
    return result;
}

QString CapLine(int channel, int mode, int capdacMode, int capdacA, int capdacB) {
    QString line = QStringLiteral("CAP%1:\t").arg(channel);
    switch (mode) {
    case 0:
        line += QStringLiteral("Off\t");
        break;
    case 1:
        line += QStringLiteral("Single\t");
        if (capdacMode > 0)
            line += QString::number(capdacA) + u'\t';
        break;
    case 2:
        line += QStringLiteral("Differential\t");
        if (capdacMode > 0)
            line += QString::number(capdacA) + u'\t' + QString::number(capdacB) + u'\t';
        break;
    default:
        break;
    }
    return line;
}

QStringList SettingsHeaderLines(const TLogSettings& settings, const QLocale& locale,
                                EHeaderForm form) {
    const bool blankLines = form == EHeaderForm::LogFile;
    QStringList lines;
    lines << QStringLiteral("DieloMeter5.1 Vantel")
          << QStringLiteral("Created:\t") + CreatedText(settings.Created, locale)
          << QStringLiteral("Auto Mode:\t") + OnOff(settings.FastMode)
          << QStringLiteral("Interval [ms]\t") + settings.Interval;
    for (const TLogMeter& meter : settings.Meters) {
        if (blankLines)
            lines << QString();
        lines << QStringLiteral("Settings of ") + meter.Serial
              << CapLine(1, meter.CAP1Mode, meter.CAPDAC1Mode, meter.CAPDAC1A, meter.CAPDAC1B)
              << CapLine(2, meter.CAP2Mode, meter.CAPDAC2Mode, meter.CAPDAC2A, meter.CAPDAC2B)
              << QStringLiteral("Internal Temperature Sensor:\t") + OnOff(meter.InternalTempEnabled)
              << (meter.ExternalResistorEnabled
                      ? QStringLiteral("External Resistor:\tOn\tReference Resistor\t") +
                            QString::number(meter.ReferenceResistor)
                      : QStringLiteral("External Resistor:\tOff"))
              << RegistersLine(meter.RegData)
              << QStringLiteral("SMode:\t") + QString::number(meter.SMode);
    }
    if (blankLines)
        lines << QString();
    return lines;
}

QStringList StatusReportLines(const TLogSettings& settings, const QLocale& locale) {
    return SettingsHeaderLines(settings, locale, EHeaderForm::TelnetStatus)
           << ColumnHeaderLine(settings.Meters, settings.FastMode);
}

QString ColumnHeaderLine(const std::vector<TLogMeter>& meters, bool fastMode) {
    QString line;
    for (const TLogMeter& meter : meters) {
        // Fast-mode rows hold each meter's CAP1 alone, whatever else it measures.
        if (fastMode) {
            line += QStringLiteral("CAP1.") + meter.Serial + u'\t';
            continue;
        }
        // What the rows hold: the quantities the image measures, which the decoding reads.
        const TMeasuredQuantities measured = MeasuredQuantities(meter.RegData);
        if (measured.Cap1)
            line += QStringLiteral("CAP1.") + meter.Serial + u'\t';
        if (measured.Cap2)
            line += QStringLiteral("CAP2.") + meter.Serial + u'\t';
        if (measured.Temperature)
            line += QStringLiteral("Temp.") + meter.Serial + u'\t';
        if (measured.Resistance)
            line += QStringLiteral("Res.") + meter.Serial + u'\t';
    }
    return line;
}

QString ValueRow(const std::vector<std::vector<double>>& valuesPerMeter, const QLocale& locale,
                 std::span<const int> columns) {
    QString row;
    for (std::size_t meter = 0; meter < valuesPerMeter.size(); ++meter) {
        for (double value : valuesPerMeter[meter])
            row += FormatValue(value, locale) + u'\t';
        const qsizetype shown = qsizetype(valuesPerMeter[meter].size());
        if (meter < columns.size() && columns[meter] > shown)
            row += QString(columns[meter] - shown, u'\t');
    }
    return row;
}

QStringList FastModeBlock(const std::vector<std::vector<double>>& bufferedPerMeter,
                          const QLocale& locale) {
    std::size_t count = 0;
    for (const auto& buffered : bufferedPerMeter)
        count = std::max(count, buffered.size());
    QStringList lines;
    for (std::size_t q = 0; q < count; ++q) {
        QString row;
        for (const auto& buffered : bufferedPerMeter) {
            if (q < buffered.size())
                row += FormatValue(buffered[q], locale);
            row += u'\t';
        }
        lines << row;
    }
    lines << QString::number(count);
    return lines;
}

TLogFile::~TLogFile() {
    Close();
}

void TLogFile::Open(const QString& fileName, const TLogSettings& settings, const QLocale& locale) {
    Close();
    FRowsWritten = 0;
    FFile.setFileName(fileName);
    // Unbuffered: every write goes straight to the system, so a failure shows at the call that
    // caused it and nothing of a failed row lingers in a buffer to turn up later.
    if (!FFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        throw ELogFileError(QStringLiteral("Cannot create %1: %2")
                                .arg(fileName, FFile.errorString())
                                .toStdString());
    FLocale = locale;
    try {
        QStringList lines = SettingsHeaderLines(settings, locale);
        lines << ColumnHeaderLine(settings.Meters, settings.FastMode);
        WriteLines(lines);
    } catch (...) {
        FFile.close();
        throw;
    }
}

void TLogFile::WriteRowsText(const QStringList& rows) {
    WriteLines(rows);
    FRowsWritten += rows.size();
}

void TLogFile::WriteRow(const std::vector<std::vector<double>>& valuesPerMeter) {
    WriteLines({ValueRow(valuesPerMeter, FLocale)});
    ++FRowsWritten;
}

void TLogFile::WriteBlock(const std::vector<std::vector<double>>& bufferedPerMeter) {
    const QStringList block = FastModeBlock(bufferedPerMeter, FLocale);
    WriteLines(block);
    // The block ends with its count line.
    FRowsWritten += block.size() - 1;
}

void TLogFile::Close() {
    if (FFile.isOpen())
        FFile.close();
}

void TLogFile::WriteLines(const QStringList& lines) {
    if (!FFile.isOpen())
        throw ELogFileError("Cannot write to the log: no log file is open");
    QByteArray data;
    for (const QString& line : lines)
        data += line.toUtf8() + "\r\n";

    const qint64 start = FFile.pos();
    qint64 written = 0;
    bool ok = true;
    while (ok && written < data.size()) {
        // A short count comes without a reason; the next attempt then fails with one.
        const qint64 count = FFile.write(data.constData() + written, data.size() - written);
        ok = count > 0;
        if (ok)
            written += count;
    }
    ok = ok && FFile.flush();
    if (!ok) {
        const QString message =
            QStringLiteral("Cannot write to %1: %2").arg(FFile.fileName(), FFile.errorString());
        // Take back the part that was written, so the next write starts on a fresh line.
        if (written > 0)
            FFile.resize(start);
        throw ELogFileError(message.toStdString());
    }
}

QString FreeLogFileName(const QString& fileName) {
    if (!QFileInfo::exists(fileName))
        return fileName;
    const QFileInfo file(fileName);
    const QString suffix = file.suffix().isEmpty() ? QString() : u'.' + file.suffix();
    for (int n = 2;; ++n) {
        const QString next = file.dir().filePath(
            QStringLiteral("%1-%2%3").arg(file.completeBaseName()).arg(n).arg(suffix));
        if (!QFileInfo::exists(next))
            return next;
    }
}

QString UnattendedLogFileName(const QString& folder, const QDateTime& time) {
    const QDir dir(folder.isEmpty() ? QDir::currentPath() : folder);
    return FreeLogFileName(dir.filePath(
        QStringLiteral("dielometer-%1.txt").arg(time.toString(QStringLiteral("yyyyMMdd-HHmmss")))));
}

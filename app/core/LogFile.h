#pragma once

#include "link/Bridge.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <span>
#include <stdexcept>
#include <vector>

// What the log records of one meter, copied from its model when a run starts.
struct TLogMeter {
    QString Serial;
    int CAP1Mode = 0;
    int CAPDAC1Mode = 0;
    int CAPDAC1A = 0;
    int CAPDAC1B = 0;
    int CAP2Mode = 0;
    int CAPDAC2Mode = 0;
    int CAPDAC2A = 0;
    int CAPDAC2B = 0;
    bool InternalTempEnabled = false;
    bool ExternalResistorEnabled = false;
    int ReferenceResistor = 0;
    TRegData RegData{};
    int SMode = 1;
};

struct TLogSettings {
    bool FastMode = false;
    // As the window shows it: the selected fast-mode interval ("11.0") or the timer interval in
    // milliseconds ("1000").
    QString Interval;
    QDateTime Created;
    std::vector<TLogMeter> Meters;
};

// The log file could not be created or written. The message names the file and the system's
// reason.
class ELogFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text of the log. The telnet status report sends the same header, so these build lines
// without line ends and touch no file.

// A value as "#.000000": integer digits only when there are any, the locale's decimal separator
// and six decimals, no group separator, '-' for negatives. Halves round away from zero, judged
// on the shortest decimal form of the value, so 0.0000005 gives ".000001" although the nearest
// double lies a hair below. A value that rounds to zero has no sign.
QString FormatValue(double value, const QLocale& locale);

// "CAP1:\t" or "CAP2:\t" followed by the channel's mode fields, each ending with a TAB.
QString CapLine(int channel, int mode, int capdacMode, int capdacA, int capdacB);

// The run's start as the "Created:" line writes it: the locale's short date and long time.
QString CreatedText(const QDateTime& created, const QLocale& locale);
// The start of a run from that text, written in this locale or in one of a few common others;
// invalid when it fits none.
QDateTime ReadCreatedText(const QString& text);

// The settings header: program line, creation time, mode, interval, a block per meter, and the
// closing empty line. The telnet status report leaves out the empty lines before each meter's
// block and the closing one.
enum class EHeaderForm { LogFile, TelnetStatus };
QStringList SettingsHeaderLines(const TLogSettings& settings, const QLocale& locale,
                                EHeaderForm form = EHeaderForm::LogFile);

// The telnet status report: the settings header without its empty lines, then the column
// header row.
QStringList StatusReportLines(const TLogSettings& settings, const QLocale& locale);

// The names of every meter's value columns, each followed by a TAB: the quantities its
// register image measures, whatever its enable flags say. In fast mode, where the rows hold
// each meter's CAP1 alone, one "CAP1." column a meter.
QString ColumnHeaderLine(const std::vector<TLogMeter>& meters, bool fastMode = false);

// One timer-mode row: every meter's values in list order, each followed by a TAB. columns,
// when given, holds each meter's number of fields: a meter with fewer values (one that is out)
// leaves the rest of its fields empty, so the columns stay aligned.
QString ValueRow(const std::vector<std::vector<double>>& valuesPerMeter, const QLocale& locale,
                 std::span<const int> columns = {});

// One fast-mode block: as many rows as the longest buffer, meter by meter in each row, then the
// row count on a line of its own. A meter with fewer values leaves its field empty in the
// remaining rows; it still gets its TAB, so the columns stay aligned.
QStringList FastModeBlock(const std::vector<std::vector<double>>& bufferedPerMeter,
                          const QLocale& locale);

// The first of fileName, name-2.ext, name-3.ext, ... that does not exist yet.
QString FreeLogFileName(const QString& fileName);
// The free name for "dielometer-YYYYMMDD-HHMMSS.txt" of time in folder (empty: the working
// folder).
QString UnattendedLogFileName(const QString& folder, const QDateTime& time);

// The data log of one run. Every call reaches the file before it returns, so other programs
// reading the log meanwhile see whole rows. A failed write throws ELogFileError, leaves the
// file as it was before the call and open, so the caller can report it and write again.
class TLogFile {
public:
    TLogFile() = default;
    ~TLogFile();

    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Creates the file anew (an existing one is emptied) and writes the settings header and the
    // column header row. On failure the object stays closed.
    void Open(const QString& fileName, const TLogSettings& settings, const QLocale& locale);
    void WriteRow(const std::vector<std::vector<double>>& valuesPerMeter);
    // Rows already built by ValueRow (the same text goes to telnet), without their line ends;
    // all or none of them end up in the file.
    void WriteRowsText(const QStringList& rows);
    void WriteBlock(const std::vector<std::vector<double>>& bufferedPerMeter);
    void Close();

    bool IsOpen() const { return FFile.isOpen(); }
    QString FileName() const { return FFile.fileName(); }
    // The value rows written since Open: a row of timer mode, a line of a fast-mode block.
    qint64 RowsWritten() const { return FRowsWritten; }

private:
    void WriteLines(const QStringList& lines);

    QFile FFile;
    QLocale FLocale;
    qint64 FRowsWritten = 0;
};

#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

// The text protocol of the command server: ASCII lines, LF-terminated on reading (a CR before
// the LF is dropped), CR LF on sending, no option negotiation.

// A client sent a line longer than the server reads.
class ETelnetLineTooLong : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Splits what a client sends into lines. Bytes above 127 read as '?'.
class TTelnetLineReader {
public:
    static constexpr qsizetype MaxLineLength = 16384;

    // Takes bytes as they arrive. Raises ETelnetLineTooLong as soon as a line grows beyond
    // MaxLineLength characters before its LF; the reader is then of no further use.
    void Feed(QByteArrayView bytes);
    // The oldest complete line, without its line end; nothing while none is complete.
    std::optional<QString> NextLine();
    // Bytes of a line whose LF has not come yet.
    bool HasPartialLine() const;

private:
    QByteArray FBuffer;
    qsizetype FStart = 0;     // where the oldest line not yet taken begins
    qsizetype FOpenStart = 0; // where the line without its LF yet begins
};

enum class ETelnetCommand { None, Status, Start, Stop };

// A command line: trimmed of blanks and control characters at both ends; its first character
// counts, with case: "?" status, "S" start, "X" stop; anything else does nothing.
ETelnetCommand ParseTelnetCommand(const QString& line);

// A line as sent: ASCII (a character above 127 as '?') followed by CR LF.
QByteArray TelnetLine(const QString& text);
QByteArray TelnetLines(const QStringList& lines);

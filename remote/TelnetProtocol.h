#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>

// The text protocol of the command server: ASCII lines, LF-terminated on reading (a CR before
// the LF is dropped), CR LF on sending, no option negotiation.

// Splits what a client sends into lines. Bytes above 127 read as '?'.
class TTelnetLineReader {
public:
    static constexpr qsizetype MaxLineLength = 16384;

    // Takes bytes as they arrive. Once a line grows beyond MaxLineLength characters before its
    // LF, that line and everything after it are dropped and further bytes ignored, so a client
    // that sends no line end holds no more than a line's worth of memory.
    void Feed(QByteArrayView bytes);
    // The oldest complete line, without its line end; nothing while none is complete, and
    // nothing once the lines ahead of an over-long line have all been taken.
    std::optional<QString> NextLine();
    // A complete line waits for NextLine.
    bool HasCompleteLine() const;
    // Bytes of a line whose LF has not come yet.
    bool HasPartialLine() const;
    // NextLine has taken every line ahead of one longer than MaxLineLength: nothing more comes.
    bool AtOverlongLine() const;
    // Bytes held that NextLine has not taken yet.
    qsizetype BufferedBytes() const;

private:
    void DropOverlongLine();

    QByteArray FBuffer;
    qsizetype FStart = 0;     // where the oldest line not yet taken begins
    qsizetype FOpenStart = 0; // where the line without its LF yet begins
    bool FOverlong = false;   // the line at FOpenStart was over the limit and is dropped
};

enum class ETelnetCommand { None, Status, Start, Stop };

// A command line: trimmed of blanks and control characters at both ends; its first character
// counts, with case: "?" status, "S" start, "X" stop; anything else does nothing.
ETelnetCommand ParseTelnetCommand(const QString& line);

// A line as sent: ASCII (a character above 127 as '?') followed by CR LF.
QByteArray TelnetLine(const QString& text);
QByteArray TelnetLines(const QStringList& lines);

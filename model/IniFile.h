#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <stdexcept>

// Raised when a key cannot be written; the message is "Unable to write to <file name>".
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An INI file read and written key by key, with the properties the settings files rely on:
// - reads never fail: a missing file, section or key, or a value that is no valid integer,
//   yields the caller's default;
// - section and key names are matched without regard to case;
// - a write replaces the key's value in place, or adds the key at the end of its section, or
//   the section at the end of the file; every other line stays exactly as it was;
// - every write reaches the file at once, so a failing write leaves earlier keys in place and
//   raises EIniFileError.
class TIniFile {
public:
    explicit TIniFile(const QString& fileName);

    const QString& FileName() const { return FFileName; }

    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // Whether the file holds the key, whatever its value.
    bool KeyExists(const QString& section, const QString& key) const;
    // Decimal, or hexadecimal after "0x", "0X" or "$"; anything that is no 32-bit integer
    // gives def.
    int ReadInteger(const QString& section, const QString& key, int def) const;
    // Read as an integer with default 1 or 0; every value other than 0 is true.
    bool ReadBool(const QString& section, const QString& key, bool def) const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);

    // The integer rules of ReadInteger, for other readers of the same values.
    static bool ParseInteger(const QString& text, int& value);

private:
    enum class TLineKind { Blank, Comment, Section, Key, Other };
    struct TLine {
        QByteArray Raw; // the line's bytes as they stand in the file, without the line end
        QByteArray End; // "\n", "\r\n", or empty for a last line without line end
        TLineKind Kind = TLineKind::Other;
        QString Name;  // section or key name, trimmed
        QString Value; // a key's value, trimmed and without enclosing quotes
    };
    using TLines = QList<TLine>;
    struct TLocation {
        qsizetype Section = -1;    // the section's header line
        qsizetype SectionEnd = -1; // the line after the section's last line
        qsizetype Key = -1;
    };

    static TLine MakeLine(const QByteArray& raw, const QByteArray& end);
    TLocation Find(const QString& section, const QString& key) const;
    void Insert(TLines& lines, qsizetype pos, const QString& text) const;
    bool Save(const TLines& lines) const;
    [[noreturn]] void Fail() const;

    QString FFileName;
    TLines FLines;
    QByteArray FLineEnd = "\n"; // for new lines: "\r\n" when the file came with CR LF
    bool FBom = false;          // whether the file began with a UTF-8 byte order mark
    // The file exists but could not be read: writing it would lose its content.
    bool FUnreadable = false;
};

#include "model/IniFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdint>
#include <limits>

namespace {

const QByteArray Bom = "\xEF\xBB\xBF";

// The longest value a read returns; longer values are cut.
constexpr qsizetype MaxValueLength = 2047;

bool HasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

bool SameName(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

TIniFile::TIniFile(const QString& fileName)
    : FFileName(fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        FUnreadable = QFileInfo::exists(fileName);
        return;
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        FUnreadable = true;
        return;
    }
    if (data.startsWith(Bom)) {
        FBom = true;
        data.remove(0, Bom.size());
    }

    qsizetype start = 0;
    while (start < data.size()) {
        const qsizetype newline = data.indexOf('\n', start);
        if (newline < 0) {
            FLines.append(MakeLine(data.mid(start), QByteArray()));
            break;
        }
        qsizetype textEnd = newline;
        if (textEnd > start && data[textEnd - 1] == '\r')
            --textEnd;
        const QByteArray end = data.mid(textEnd, newline + 1 - textEnd);
        if (FLines.isEmpty())
            FLineEnd = end;
        FLines.append(MakeLine(data.mid(start, textEnd - start), end));
        start = newline + 1;
    }
}

TIniFile::TLine TIniFile::MakeLine(const QByteArray& raw, const QByteArray& end) {
    TLine line;
    line.Raw = raw;
    line.End = end;
    const QString text = QString::fromUtf8(raw).trimmed();
    if (text.isEmpty()) {
        line.Kind = TLineKind::Blank;
    } else if (text.startsWith(QLatin1Char(';')) || text.startsWith(QLatin1Char('#'))) {
        line.Kind = TLineKind::Comment;
    } else if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close > 0) {
            line.Kind = TLineKind::Section;
            line.Name = text.mid(1, close - 1).trimmed();
        }
    } else if (const qsizetype eq = text.indexOf(QLatin1Char('=')); eq >= 0) {
        line.Kind = TLineKind::Key;
        line.Name = text.left(eq).trimmed();
        line.Value = text.mid(eq + 1).trimmed();
        const qsizetype n = line.Value.size();
        if (n >= 2 && (line.Value[0] == QLatin1Char('"') || line.Value[0] == QLatin1Char('\'')) &&
            line.Value[n - 1] == line.Value[0])
            line.Value = line.Value.mid(1, n - 2);
    }
    return line;
}

TIniFile::TLocation TIniFile::Find(const QString& section, const QString& key) const {
    TLocation found;
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    for (qsizetype i = 0; i < FLines.size(); ++i) {
        const TLine& line = FLines[i];
        if (line.Kind == TLineKind::Section) {
            if (found.Section >= 0) {
                found.SectionEnd = i;
                return found;
            }
            if (SameName(line.Name, sectionName))
                found.Section = i;
        } else if (found.Section >= 0 && found.Key < 0 && line.Kind == TLineKind::Key &&
                   SameName(line.Name, keyName)) {
            found.Key = i;
        }
    }
    found.SectionEnd = FLines.size();
    return found;
}

bool TIniFile::KeyExists(const QString& section, const QString& key) const {
    return Find(section, key).Key >= 0;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const TLocation found = Find(section, key);
    if (found.Key < 0)
        return def;
    QString value = FLines[found.Key].Value;
    if (value.size() > MaxValueLength) {
        value.truncate(MaxValueLength);
        // Never leave half of a surrogate pair behind.
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int def) const {
    int value;
    return ParseInteger(ReadString(section, key, QString()), value) ? value : def;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::ParseInteger(const QString& text, int& value) {
    const QString t = text.trimmed();
    qsizetype i = 0;
    const bool negative = t.startsWith(QLatin1Char('-'));
    if (negative)
        ++i;

    qsizetype digits = i;
    if (t.mid(i, 2).compare(QLatin1String("0x"), Qt::CaseInsensitive) == 0)
        digits = i + 2;
    else if (t.mid(i, 1) == QLatin1String("$"))
        digits = i + 1;
    if (digits > i) {
        const qsizetype count = t.size() - digits;
        if (count < 1 || count > 8)
            return false;
        std::uint32_t bits = 0;
        for (qsizetype k = digits; k < t.size(); ++k) {
            const int d = HexDigit(t[k]);
            if (d < 0)
                return false;
            bits = bits << 4 | std::uint32_t(d);
        }
        // Hex is a bit pattern: "$FFFFFFFF" is -1, and a minus sign negates modulo 2^32.
        if (negative)
            bits = 0u - bits;
        value = static_cast<std::int32_t>(bits);
        return true;
    }

    if (!negative && t.startsWith(QLatin1Char('+')))
        ++i;
    if (i >= t.size())
        return false;
    const std::int64_t limit = negative ? -std::int64_t(std::numeric_limits<int>::min())
                                        : std::int64_t(std::numeric_limits<int>::max());
    std::int64_t magnitude = 0;
    for (; i < t.size(); ++i) {
        const char16_t u = t[i].unicode();
        if (u < u'0' || u > u'9')
            return false;
        magnitude = magnitude * 10 + (u - u'0');
        if (magnitude > limit)
            return false;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    const QString header = QLatin1Char('[') + sectionName + QLatin1Char(']');
    const QString keyLine = keyName + QLatin1Char('=') + value;
    // A name or value that would not read back as itself (a line break, "=" in a key, a key
    // that reads as a comment) would corrupt the file's structure: refuse it.
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        Fail();
    const TLine headerParsed = MakeLine(header.toUtf8(), QByteArray());
    const TLine keyParsed = MakeLine(keyLine.toUtf8(), QByteArray());
    if (headerParsed.Kind != TLineKind::Section || headerParsed.Name != sectionName ||
        keyParsed.Kind != TLineKind::Key || keyName.isEmpty() || keyParsed.Name != keyName)
        Fail();

    // Change a copy: after a failed save the object must still show the file as it is.
    TLines lines = FLines;
    const TLocation found = Find(section, key);
    if (found.Key >= 0) {
        TLine& line = lines[found.Key];
        line = MakeLine((line.Name + QLatin1Char('=') + value).toUtf8(), line.End);
    } else if (found.Section >= 0) {
        // After the section's last non-blank line, so blank lines keep separating it from the
        // next section.
        qsizetype pos = found.Section + 1;
        for (qsizetype i = pos; i < found.SectionEnd; ++i)
            if (lines[i].Kind != TLineKind::Blank)
                pos = i + 1;
        Insert(lines, pos, keyLine);
    } else {
        Insert(lines, lines.size(), header);
        Insert(lines, lines.size(), keyLine);
    }
    if (!Save(lines))
        Fail();
    FLines = std::move(lines);
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value) {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TIniFile::Insert(TLines& lines, qsizetype pos, const QString& text) const {
    TLine line = MakeLine(text.toUtf8(), FLineEnd);
    // Appended after a last line without line end: that line gets one, and the file still ends
    // without one.
    if (pos == lines.size() && !lines.isEmpty() && lines.back().End.isEmpty()) {
        lines.back().End = FLineEnd;
        line.End.clear();
    }
    lines.insert(pos, std::move(line));
}

bool TIniFile::Save(const TLines& lines) const {
    // The rename would replace a read-only file, and a file we could not read would lose its
    // content.
    if (FUnreadable)
        return false;
    const QFileInfo info(FFileName);
    if (info.exists() && !info.isWritable())
        return false;

    QByteArray data;
    if (FBom)
        data += Bom;
    for (const TLine& line : lines) {
        data += line.Raw;
        data += line.End;
    }

    QSaveFile file(FFileName);
    // A read-only folder holding a writable file: write the file directly.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Without commit the temporary file is dropped and the old file stays.
    return file.write(data) == data.size() && file.commit();
}

void TIniFile::Fail() const {
    throw EIniFileError("Unable to write to " + FFileName.toStdString());
}

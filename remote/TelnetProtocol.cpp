#include "remote/TelnetProtocol.h"

void TTelnetLineReader::Feed(QByteArrayView bytes) {
    if (FOverlong)
        return;
    // Lines already taken are dropped before the buffer grows, so it holds little more than
    // the lines not yet taken.
    if (FStart > 0 && (FStart == FBuffer.size() || FStart > FBuffer.size() / 2)) {
        FBuffer.remove(0, FStart);
        FOpenStart -= FStart;
        FStart = 0;
    }
    qsizetype pos = FBuffer.size();
    FBuffer.append(bytes);
    // Only new bytes are scanned: a line sent byte by byte costs no more than one sent whole.
    for (;;) {
        const qsizetype end = FBuffer.indexOf('\n', pos);
        if (end < 0) {
            // A CR at the very end may still be followed by its LF.
            const qsizetype open = FBuffer.size() - FOpenStart - (FBuffer.endsWith('\r') ? 1 : 0);
            if (open > MaxLineLength)
                DropOverlongLine();
            return;
        }
        const bool crLf = end > FOpenStart && FBuffer[end - 1] == '\r';
        if (end - FOpenStart - (crLf ? 1 : 0) > MaxLineLength) {
            DropOverlongLine();
            return;
        }
        FOpenStart = pos = end + 1;
    }
}

void TTelnetLineReader::DropOverlongLine() {
    FOverlong = true;
    FBuffer.truncate(FOpenStart);
    FBuffer.squeeze();
}

std::optional<QString> TTelnetLineReader::NextLine() {
    // Every LF lies before FOpenStart; the open line behind it need not be searched.
    if (!HasCompleteLine())
        return std::nullopt;
    const qsizetype end = FBuffer.indexOf('\n', FStart);
    qsizetype stop = end;
    if (stop > FStart && FBuffer[stop - 1] == '\r')
        --stop;
    QString line(stop - FStart, Qt::Uninitialized);
    for (qsizetype i = FStart; i < stop; ++i) {
        const auto byte = static_cast<unsigned char>(FBuffer[i]);
        line[i - FStart] = QChar(byte > 127 ? u'?' : char16_t(byte));
    }
    FStart = end + 1;
    return line;
}

bool TTelnetLineReader::HasCompleteLine() const {
    return FStart < FOpenStart;
}

bool TTelnetLineReader::HasPartialLine() const {
    return FOpenStart < FBuffer.size();
}

bool TTelnetLineReader::AtOverlongLine() const {
    return FOverlong && FStart == FOpenStart;
}

qsizetype TTelnetLineReader::BufferedBytes() const {
    return FBuffer.size() - FStart;
}

ETelnetCommand ParseTelnetCommand(const QString& line) {
    for (const QChar c : line) {
        // Blanks and control characters are trimmed; the first other character decides.
        if (c.unicode() <= u' ' || c.unicode() == 0x7F)
            continue;
        switch (c.unicode()) {
        case u'?':
            return ETelnetCommand::Status;
        case u'S':
            return ETelnetCommand::Start;
        case u'X':
            return ETelnetCommand::Stop;
        default:
            return ETelnetCommand::None;
        }
    }
    return ETelnetCommand::None;
}

QByteArray TelnetLine(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size() + 2);
    for (const QChar c : text)
        bytes.append(c.unicode() > 127 ? '?' : char(c.unicode()));
    bytes.append("\r\n");
    return bytes;
}

QByteArray TelnetLines(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes.append(TelnetLine(line));
    return bytes;
}

// Any bytes from a client, in any chunks: lines come out as ASCII without line ends and never
// longer than the limit, a line without its end never holds more than the limit, and after a
// line over the limit nothing more comes out; commands parse from any line.
#include "remote/TelnetProtocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TTelnetLineReader reader;
    std::size_t pos = 0;
    while (pos < size) {
        // The first byte of each chunk sets its length, as a network hands bytes over.
        const std::size_t length = std::min<std::size_t>(1 + data[pos] % 64, size - pos);
        reader.Feed(QByteArrayView(reinterpret_cast<const char*>(data + pos), qsizetype(length)));
        pos += length;
        while (const auto line = reader.NextLine()) {
            if (line->size() > TTelnetLineReader::MaxLineLength || line->contains(u'\n'))
                std::abort();
            for (const QChar c : *line)
                if (c.unicode() > 127)
                    std::abort();
            ParseTelnetCommand(*line);
            TelnetLine(*line);
        }
        // Every complete line taken: what is left is one open line, a CR for its LF at most.
        if (reader.HasCompleteLine() ||
            reader.BufferedBytes() > TTelnetLineReader::MaxLineLength + 1)
            std::abort();
        if (reader.AtOverlongLine() && reader.BufferedBytes() != 0)
            std::abort();
    }
    return 0;
}

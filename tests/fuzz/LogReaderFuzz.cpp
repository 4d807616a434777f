// Any file content: the log reader refuses it or reads it to its end, and every row it hands out
// holds a value, a point number and a time for each column.
#include "app/core/LogReader.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("fuzz.txt"));
    {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    try {
        TLogReader reader(name);
        const std::size_t columns = reader.Header().Columns.size();
        TLogRow row;
        while (reader.Next(row)) {
            if (row.Values.size() != columns || row.Points.size() != columns || row.ElapsedMs < 0)
                std::abort();
        }
        if (reader.BytesRead() != reader.Size() ||
            reader.ProblemCount() < qint64(reader.Problems().size()))
            std::abort();
    } catch (const ELogReadError&) {
        return 0; // no log of this program: refused, with a reason
    }
    return 0;
}

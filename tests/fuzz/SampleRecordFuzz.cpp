// Any record text with any settings: a record is decoded into exactly the expected number of
// values, or refused with ESampleRecordError; nothing else happens.
#include "model/SampleRecord.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    TDecodeSettings settings;
    settings.Cap1Enabled = data[0] & 1;
    settings.Cap2Enabled = data[0] & 2;
    settings.InternalTempEnabled = data[0] & 4;
    settings.ExternalResistorEnabled = data[0] & 8;
    settings.ValueCount = (data[0] >> 4) % 5;
    const int repeats[] = {1, 3, 5};
    settings.Repeats = repeats[data[1] % 3];
    settings.ReferenceResistor = 1 + data[1];
    const std::string_view record(reinterpret_cast<const char*>(data + 2), size - 2);
    try {
        const TDecodedRecord decoded = DecodeSampleRecord(record, settings);
        if (decoded.Values.size() != std::size_t(settings.ValueCount))
            std::abort();
    } catch (const ESampleRecordError&) {
    }
    return 0;
}

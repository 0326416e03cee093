#include "conversion/received_record.h"

#include <algorithm>
#include <cstring>

ReceivedRecord::ReceivedRecord(const uint8_t* record, size_t recordSize)
{
    const size_t copied = record == nullptr ? 0 : std::min(recordSize, sizeof buffer);
    if (copied > 0)
        std::memcpy(buffer, record, copied);
    const size_t lengthField = copied >= 4 ? readU16(buffer + 2) : 0;
    usableLength = static_cast<int32_t>(std::min(lengthField, copied));
}

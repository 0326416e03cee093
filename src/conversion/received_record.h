#pragma once

#include <cstddef>
#include <cstdint>

#include "device/serial_message.h"

// A record as received from a board, copied into a zero-filled buffer of full record size so that decoders may
// read any fixed offset of a record without leaving memory they own.
class ReceivedRecord {
public:
    ReceivedRecord(const uint8_t* record, size_t recordSize);

    const uint8_t* bytes() const { return buffer; }

    // The decoding budget after a header: the record length that both the length field and the bytes actually
    // received vouch for, at most a full record, minus the header. Negative when even the header is short.
    int32_t budgetAfter(int32_t headerBytes) const { return usableLength - headerBytes; }

private:
    uint8_t buffer[SerialMessage::size] = {};
    int32_t usableLength = 0;
};

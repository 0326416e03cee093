#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <json/value.h>

#include "device/outgoing_queue.h"
#include "device/relay.h"

// Writes firmware files into boards through their bootloader: loads and checks the file, queues the whole
// conversation on the board's relay, reports progress as chunks are answered and echoed, and reports failures.
class FirmwareFlasher : public FirmwareFlashEvents {
public:
    // Sends a reply object to the editor connection of a relay.
    using ReplySender = std::function<void(Relay&, const Json::Value&)>;

    FirmwareFlasher(OutgoingQueue& queue, ReplySender sendReply);

    // True when the messages were queued; false when a failure was reported.
    bool writeFirmware(Relay& relay, const std::string& file);
    void reportWriteProgress(Relay& relay, uint32_t offset) override;
    // data holds what the echo carried after its offset: `available` bytes, normally 32.
    void verifyFirmwareEcho(Relay& relay, uint32_t offset, const uint8_t* data, size_t available);
    void onFirmwareFlashStepFailed(Relay& relay, const std::string& detail, const std::string& reason) override;

private:
    OutgoingQueue& queue;
    ReplySender sendReply;
};

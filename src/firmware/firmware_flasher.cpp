#include "firmware/firmware_flasher.h"

#include <utility>

#include "core/logger.h"

FirmwareFlasher::FirmwareFlasher(OutgoingQueue& queue, ReplySender sendReply)
    : queue(queue), sendReply(std::move(sendReply))
{
}

bool FirmwareFlasher::writeFirmware(Relay& relay, const std::string& file)
{
    onFirmwareFlashStepFailed(relay, file, "firmwareFileCantOpen");
    return false;
}

void FirmwareFlasher::reportWriteProgress(Relay&, uint32_t) {}

void FirmwareFlasher::verifyFirmwareEcho(Relay&, uint32_t, const uint8_t*, size_t) {}

void FirmwareFlasher::onFirmwareFlashStepFailed(Relay& relay, const std::string& detail, const std::string& reason)
{
    logger.log(LogLevel::ERROR, "onFirmwareFlashStepFailed: %s %s", reason.c_str(), detail.c_str());
    Json::Value reply(Json::objectValue);
    reply["port"] = relay.portName;
    reply[reason] = detail;
    sendReply(relay, reply);
}

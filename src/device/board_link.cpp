#include "device/board_link.h"

#include <exception>
#include <vector>

#include "core/logger.h"
#include "device/message_type.h"

namespace {

// What a board message means to the message in flight.
enum class AnswerRule {
    Acknowledges,
    Refuses,
    // Replied to, then taken as the acknowledgement.
    AcknowledgesBeforeReply,
    // The loop time: its reply goes out before the acknowledgement.
    AcknowledgesAfterReply,
    // The erase report of a flash start: the board acknowledges the start later, so the wait begins anew.
    RestartsWait,
    // The echo of a data chunk: the acknowledgement follows separately.
    NoAnswer,
};

AnswerRule answerRuleOf(uint16_t type)
{
    switch (type) {
    case MT_ACK: return AnswerRule::Acknowledges;
    case MT_NACK: return AnswerRule::Refuses;
    case MT_LOOPTIME: return AnswerRule::AcknowledgesAfterReply;
    case MT_BOOTLOADER_ROM_WRITE_START: return AnswerRule::RestartsWait;
    case MT_BOOTLOADER_ROM_WRITE_DATA: return AnswerRule::NoAnswer;
    default: return AnswerRule::AcknowledgesBeforeReply;
    }
}

} // namespace

BoardLink::BoardLink(SerialDriver& driver, Clock& clock, BoardLinkEvents& events, FlashMessageListener& flashListener)
    : events(events), flashListener(flashListener), relayList(flashListener), portManager(driver, relayList),
      outgoing(driver, clock, relayList, flashListener)
{}

bool BoardLink::answerBoardMessages()
{
    // The inbox is swapped with a list kept for this, so that neither gives its room back between passes.
    answering.swap(portManager.deviceInbox);
    bool sent = false;
    for (size_t i = 0; i < answering.size(); ++i) {
        DeviceMessage& entry = answering[i];
        if (entry.bytes.empty()) {
            logger.log(LogLevel::WARNING, "Payload is null");
            continue;
        }
        // A relay whose port could not be opened has no port: it must not take the messages of a null handle.
        Relay* relay = entry.port == nullptr ? nullptr : relayList.findRelayByPort(entry.port);
        if (relay == nullptr) {
            logger.log(LogLevel::WARNING, "Skipping reply for invalid port");
            continue;
        }
        ++receivedCount;
        ReceivedMessage message(std::move(entry.bytes));
        try {
            answer(*relay, message);
        } catch (const std::exception& e) {
            logger.log(LogLevel::ERROR, "%s: Dropping message of type %d that could not be translated: %s",
                       relay->portName.c_str(), static_cast<int>(message.type()), e.what());
        }
        portManager.keepMessageBuffer(std::move(message).release());
        // The board gets its next message before the next board's messages are answered: with many boards busy,
        // none waits a whole pass of the others' answers.
        if (i + 1 < answering.size() && answering[i + 1].port == entry.port)
            continue;
        relay = relayList.findRelayByPort(entry.port);
        if (relay != nullptr)
            sent = outgoing.serviceRelay(*relay) || sent;
    }
    answering.clear();
    return sent;
}

void BoardLink::answer(Relay& relay, const ReceivedMessage& message)
{
    const AnswerRule rule = answerRuleOf(message.type());
    if (rule == AnswerRule::Acknowledges) {
        outgoing.acknowledge(relay, AckMode::Normal);
        return;
    }
    if (rule == AnswerRule::Refuses) {
        outgoing.rejectHead(relay);
        return;
    }
    Json::Value reply;
    const bool known = isFirmwareFlashMessageType(message.type())
                           ? flashListener.answerFlashMessage(relay, message, reply)
                           : events.translateBoardMessage(relay, message, reply);
    if (!known) {
        logger.log(LogLevel::WARNING, "Skipping unknown message type: %d", static_cast<int>(message.type()));
        return;
    }
    const auto send = [&] {
        if (!reply.isNull())
            events.sendReply(relay, reply);
    };
    switch (rule) {
    case AnswerRule::AcknowledgesAfterReply:
        send();
        outgoing.acknowledge(relay, AckMode::Normal);
        break;
    case AnswerRule::RestartsWait:
        outgoing.restartAckTimer(relay);
        send();
        break;
    case AnswerRule::NoAnswer: send(); break;
    default:
        outgoing.acknowledge(relay, AckMode::Normal);
        send();
        break;
    }
}

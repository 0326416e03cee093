#include "web/reply_translator.h"

#include "core/logger.h"
#include "device/outgoing_queue.h"
#include "device/port_manager.h"
#include "device/relay.h"

ReplyTranslator::ReplyTranslator(Sessions& sessions, PortManager& ports, RelayList& relays, OutgoingQueue& queue,
                                 const NodeConversionRegistry& nodeConversions,
                                 const FeatureConversionRegistry& featureConversions, FirmwareFlasher& flasher)
    : sessions(sessions), ports(ports), relays(relays), queue(queue), nodeConversions(nodeConversions),
      featureConversions(featureConversions), flasher(flasher)
{
}

bool ReplyTranslator::translateDeviceMessages()
{
    for (const DeviceMessage& message : ports.deviceInbox) {
        Relay* relay = relays.findRelayByPort(message.port);
        if (relay == nullptr) {
            logger.log(LogLevel::WARNING, "Skipping reply for invalid port");
            continue;
        }
        const uint16_t type = readU16(message.bytes.data());
        if (type == MT_ACK)
            queue.acknowledge(*relay, AckMode::Normal);
        else if (type == MT_NACK)
            queue.rejectHead(*relay);
        else
            logger.log(LogLevel::WARNING, "Skipping unknown message type: %d", static_cast<int>(type));
    }
    ports.deviceInbox.clear();
    return false;
}

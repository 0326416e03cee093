#pragma once

class FeatureConversionRegistry;
class FirmwareFlasher;
class NodeConversionRegistry;
class OutgoingQueue;
class PortManager;
class RelayList;
class Sessions;

// Turns the messages that boards sent into replies for the editor connections bound to their ports, and into
// acknowledgements for the outgoing queues.
class ReplyTranslator {
public:
    ReplyTranslator(Sessions& sessions, PortManager& ports, RelayList& relays, OutgoingQueue& queue,
                    const NodeConversionRegistry& nodeConversions,
                    const FeatureConversionRegistry& featureConversions, FirmwareFlasher& flasher);

    // Translates and empties the device inbox. Always false: translation never counts as activity.
    bool translateDeviceMessages();

private:
    Sessions& sessions;
    PortManager& ports;
    RelayList& relays;
    OutgoingQueue& queue;
    const NodeConversionRegistry& nodeConversions;
    const FeatureConversionRegistry& featureConversions;
    FirmwareFlasher& flasher;
};

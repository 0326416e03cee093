#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "device/frame_parser.h"
#include "device/serial_message.h"

struct SerialPortHandle;

// The identity of an editor connection as the board side knows it: given out by the sessions, never reused, 0 for
// none. A relay keeps it, not a pointer, so a relay can never reach a connection that has gone.
using EditorId = uint64_t;

// What the board's last version reply said it runs.
enum class BoardMode { unknown, application, bootloader };

// One serial port name that an editor used: its open port, the editor that receives its replies, its receive
// state and its outgoing queue. Created by the first board command that names the port; lives until its port is
// closed, its editor leaves or the relay stops.
struct Relay {
    std::string portName;
    SerialPortHandle* port = nullptr;
    EditorId editor = 0;
    // Flash size in KiB from the board's version reply; 0 until then.
    int32_t flashSizeKiB = 0;
    BoardMode mode = BoardMode::unknown;
    FrameParser parser;
    std::deque<SerialMessage> outgoing;
    bool readyToSend = true;
    uint64_t sentAtMs = 0;
    // The part of the last frame the port has not taken yet; the next message waits until it has left.
    std::vector<uint8_t> unsent;
    // When that frame was written, and its message's type: a port that takes none of it for the acknowledgement
    // time-out fails the send.
    uint64_t unsentSinceMs = 0;
    uint16_t unsentType = 0;
};

// Sends a reply object to the editor a relay answers, or to a given editor (nothing when that editor has gone).
class RelayReplies {
public:
    virtual ~RelayReplies() = default;
    virtual void sendReply(const Relay& relay, const Json::Value& reply) = 0;
    virtual void sendToEditor(EditorId editor, const Json::Value& reply) = 0;
    // A progress reply already written as the compact writer writes it, in two pieces (its text up to the value,
    // and the value with the closing brace): what a flash sends for every chunk is neither built as a JSON value
    // nor searched for its kind, and its text takes the room of replies already sent.
    virtual void sendProgressToEditor(EditorId editor, std::string_view head, std::string_view tail) = 0;
};

// Told before a relay is destroyed, so that what is kept about it goes with it.
class RelayEndListener {
public:
    virtual ~RelayEndListener() = default;
    virtual void onRelayDestroyed(const Relay& relay) = 0;
};

// The relays in order of creation. The list owns them; created by the board link, it lives as long as the link.
class RelayList {
public:
    explicit RelayList(RelayEndListener& endListener) : endListener(endListener) {}
    RelayList(const RelayList&) = delete;
    RelayList& operator=(const RelayList&) = delete;

    // Rebinds the relay of that name to the port and editor, or creates it.
    Relay& bindRelay(const std::string& portName, SerialPortHandle* port, EditorId editor);
    Relay* findRelayByName(const std::string& portName);
    Relay* findRelayByPort(SerialPortHandle* port);
    void destroyRelaysOfPort(SerialPortHandle* port);
    void destroyRelay(const Relay& relay);
    void destroyAllRelays();

    // A copy of the list, for walks during which relays may be destroyed.
    std::vector<Relay*> snapshot() const;
    size_t size() const { return relays.size(); }
    // The relay at this place in the list, for walks that copy nothing (for (i = 0; i < size(); ++i)): a relay
    // destroyed meanwhile only moves the ones after it.
    Relay& at(size_t index) const { return *relays[index]; }

private:
    template <typename Predicate>
    void destroyRelaysWhere(Predicate predicate);

    RelayEndListener& endListener;
    std::vector<std::unique_ptr<Relay>> relays;
};

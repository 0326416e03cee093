#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <libwebsockets.h>

#include "device/port_manager.h"

class RelayList;
class SerialDriver;
struct SerialPortHandle;

// The main loop's wait: the WebSocket library's own poll, which already watches the listening socket and the
// editors' connections, also watches the serial ports that relays read (readable input, writable room for a
// frame still leaving) and ends at the relay's next deadline. Created by the relay server; lives as long as it,
// and is detached before the library's context is destroyed.
class EventWait : public PortReadiness {
public:
    // Name of the protocol under which the port descriptors are adopted.
    static constexpr const char* protocolName = "vantrel-serial-wait";
    // The longest single wait, so a stop request that slips in just before the poll is seen soon.
    static constexpr uint64_t maxWaitMs = 1000;

    explicit EventWait(SerialDriver& driver) : driver(driver) {}
    EventWait(const EventWait&) = delete;
    EventWait& operator=(const EventWait&) = delete;
    ~EventWait() { detach(); }

    // The protocol entry for the relay's protocol list; its user pointer is this object.
    lws_protocols protocol();
    void attach(lws_context* context) { this->context = context; }
    // Stops watching every port; the context stays usable.
    void detach();

    // Watches the ports of the relays, asks for writability where a frame waits to leave, and services the library
    // until something is ready or waitMs have passed; returns at once for 0. True when it serviced the library.
    bool wait(const PortManager& ports, RelayList& relays, uint64_t waitMs);
    // Ports watched now, for tests.
    size_t watchedCount() const;
    // A watched port has input only when the poll said it was readable since it was last asked; of a port not
    // watched (not yet, no descriptor, hung up) nothing is known.
    Input takeInput(SerialPortHandle* port) override;

    // One more socket (the broker link's): watched for input, and for room to write when wantWrite says so.
    // A new generation is a new socket, watched anew; a descriptor below 0 watches none.
    void watchSocket(int descriptor, uint64_t generation, bool wantWrite);
    // Whether the socket showed input or a hang-up since the last call, or is not watched (so must be tried).
    bool takeSocketReadable();

private:
    // One port's place in the poll: made when a relay first reads the port, kept while any relay reads it.
    struct Watch {
        int descriptor = -1;
        // nullptr once the library closed it (a hung-up device): the port is then not watched again.
        lws* wsi = nullptr;
        // The last wait that found a relay reading the port.
        uint64_t seenInWait = 0;
        // The poll found it readable since the pass last read it; a new watch has not been read yet.
        bool inputReady = true;
    };

    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
    static void wake(lws_sorted_usec_list_t*) {}
    void watchPorts(const PortManager& ports, RelayList& relays);
    void unwatch(Watch& watch);
    void unwatchAll();
    Watch adopt(const std::string& name, int descriptor);
    void forget(lws* wsi);
    void markReadable(lws* wsi);

    SerialDriver& driver;
    lws_context* context = nullptr;
    std::map<SerialPortHandle*, Watch> watches;
    uint64_t portsClosedSeen = 0;
    uint64_t waits = 0;
    lws_sorted_usec_list_t timer{};
    Watch socketWatch;
    uint64_t socketGeneration = 0;
    bool socketReadable = false;
};

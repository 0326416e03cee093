#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/epoll.h>

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

    // The longest sleep beside the library's wait while a board's answer is awaited. Not shorter: a time-out below
    // the kernel's tick costs every sleep about 4 us more, and a board's answer usually ends the sleep long before.
    static constexpr int answerSleepMaxMs = 5;
    // While a board's answer is awaited, what only the library watches (a new connection, a page's file, its own
    // timers) is served at least this often when ports keep the loop busy.
    static constexpr int libraryLookMaxMs = 2;

    explicit EventWait(SerialDriver& driver) : driver(driver) {}
    EventWait(const EventWait&) = delete;
    EventWait& operator=(const EventWait&) = delete;
    ~EventWait();

    // The protocol entry for the relay's protocol list; its user pointer is this object.
    lws_protocols protocol();
    void attach(lws_context* context) { this->context = context; }
    // Stops watching every port; the context stays usable.
    void detach();

    // Watches the ports of the relays, asks for writability where a frame waits to leave, and services the library
    // until something is ready or waitMs have passed; returns at once for 0. True when the pass after it need not
    // service the library.
    // While a board's answer is awaited and nothing needs room to write, it sleeps instead until a port, an editor's
    // socket (editorSockets, as Sessions::socketsToWatch gives them) or the broker link's has input, at most
    // answerSleepMaxMs, and leaves the library to the pass: a poll that sleeps pays for every descriptor it looks
    // at, twice, and the answer of a board comes soon. When only ports had input, the pass reads them without the
    // library unless libraryLookMaxMs have passed since it was last looked at.
    bool wait(const PortManager& ports, RelayList& relays, const std::vector<std::pair<int, uint64_t>>* editorSockets,
              uint64_t waitMs);
    // Waits that slept beside the library, for tests.
    uint64_t answerSleeps() const { return sleeps; }
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
        // The descriptor the library watches (a copy of the port's) and the number of its adoption, which no
        // later watch shares even where the descriptor's number comes back.
        int watchedCopy = -1;
        uint64_t adoption = 0;
    };

    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
    static void wake(lws_sorted_usec_list_t*) {}
    void watchPorts(const PortManager& ports, RelayList& relays);
    void unwatch(Watch& watch);
    void unwatchAll();
    Watch adopt(const std::string& name, int descriptor);
    void forget(lws* wsi);
    void markReadable(lws* wsi);
    // How a sleep beside the library ended: not slept (the library's wait takes over), with input for the library,
    // or with input on ports alone (or none).
    enum class Sleep { notTaken, needsLibrary, portsOnly };
    // Marks what the library reads (editors, the broker link) in the keys of the sleep's set.
    static constexpr uint64_t libraryKey = uint64_t{1} << 63;

    bool awaitsBoardAnswer(const RelayList& relays) const;
    Sleep sleepUntilInput(const std::vector<std::pair<int, uint64_t>>& editorSockets, int ms);
    bool watchForSleep();

    SerialDriver& driver;
    lws_context* context = nullptr;
    std::map<SerialPortHandle*, Watch> watches;
    uint64_t portsClosedSeen = 0;
    uint64_t waits = 0;
    lws_sorted_usec_list_t timer{};
    Watch socketWatch;
    uint64_t socketGeneration = 0;
    bool socketReadable = false;
    bool socketWantsWrite = false;
    uint64_t adoptions = 0;
    // The sleep's own epoll set and what it holds: each descriptor with its adoption or editor; made anew whenever
    // that changes, so that no closed descriptor whose number came back is taken for the one it was.
    int sleepSet = -1;
    std::vector<std::pair<int, uint64_t>> sleepWatched;
    std::vector<std::pair<int, uint64_t>> sleepWanted;
    std::vector<epoll_event> sleepReady;
    uint64_t sleeps = 0;
    // When the library last looked at its descriptors.
    std::chrono::steady_clock::time_point librarySeen;
};

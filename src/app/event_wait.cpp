#include "app/event_wait.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "core/logger.h"
#include "device/port_manager.h"
#include "device/relay.h"
#include "device/serial_driver.h"

EventWait::~EventWait()
{
    detach();
    if (sleepSet >= 0)
        ::close(sleepSet);
}

lws_protocols EventWait::protocol() { return {protocolName, callback, 0, 0, 0, this, 0}; }

int EventWait::callback(lws* wsi, lws_callback_reasons reason, void*, void*, size_t)
{
    switch (reason) {
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        // The protocol exists only to carry port descriptors; no editor may speak it.
        return 1;
    case LWS_CALLBACK_RAW_CLOSE_FILE: {
        const lws_protocols* protocol = lws_get_protocol(wsi);
        if (protocol != nullptr && protocol->user != nullptr)
            static_cast<EventWait*>(protocol->user)->forget(wsi);
        return 0;
    }
    case LWS_CALLBACK_RAW_RX_FILE: {
        // Readiness is all the news: the pass after the wait reads the port, or the broker link's socket, itself.
        const lws_protocols* protocol = lws_get_protocol(wsi);
        auto* self = protocol != nullptr ? static_cast<EventWait*>(protocol->user) : nullptr;
        if (self != nullptr && wsi == self->socketWatch.wsi)
            self->socketReadable = true;
        else if (self != nullptr)
            self->markReadable(wsi);
        return 0;
    }
    default:
        // The pass writes what waits for a writable port itself.
        return 0;
    }
}

bool EventWait::wait(const PortManager& ports, RelayList& relays,
                     const std::vector<std::pair<int, uint64_t>>* editorSockets, uint64_t waitMs)
{
    if (context == nullptr || waitMs == 0)
        return false;
    watchPorts(ports, relays);
    const uint64_t ms = std::min(waitMs, maxWaitMs);
    // Not while the library has work of its own waiting (bytes it decrypted but has not handed on): its wait
    // would not sleep then.
    if (editorSockets != nullptr && !socketWantsWrite && awaitsBoardAnswer(relays) &&
        lws_service_adjust_timeout(context, 1, 0) != 0) {
        const Sleep slept = sleepUntilInput(*editorSockets, static_cast<int>(std::min<uint64_t>(ms, answerSleepMaxMs)));
        if (slept != Sleep::notTaken) {
            // Input on ports alone is the pass's to read: the library's descriptors are looked at only every
            // libraryLookMaxMs then.
            const auto now = std::chrono::steady_clock::now();
            if (slept == Sleep::portsOnly && now - librarySeen < std::chrono::milliseconds(libraryLookMaxMs))
                return true;
            librarySeen = now;
            return false;
        }
    }
    // A time-out of 0 lets the library wait until its next timer, so ours must be set first. Its poll waits the
    // whole milliseconds left to that timer, rounded down: the extra 999 us keep a wait from ending a little early
    // and then polling without waiting until the deadline.
    lws_sul_schedule(context, 0, &timer, wake, static_cast<lws_usec_t>(ms * 1000 + 999));
    lws_service(context, 0);
    librarySeen = std::chrono::steady_clock::now();
    return true;
}

bool EventWait::awaitsBoardAnswer(const RelayList& relays) const
{
    bool awaited = false;
    for (size_t i = 0; i < relays.size(); ++i) {
        const Relay& relay = relays.at(i);
        if (relay.port == nullptr)
            continue;
        // A frame still leaving needs room to write, which only the library's wait watches.
        if (!relay.unsent.empty())
            return false;
        const auto found = watches.find(relay.port);
        if (!relay.readyToSend && found != watches.end() && found->second.wsi != nullptr)
            awaited = true;
    }
    return awaited;
}

EventWait::Sleep EventWait::sleepUntilInput(const std::vector<std::pair<int, uint64_t>>& editorSockets, int ms)
{
    sleepWanted.clear();
    for (const auto& entry : watches) {
        if (entry.second.wsi != nullptr)
            sleepWanted.emplace_back(entry.second.watchedCopy, entry.second.adoption);
    }
    if (socketWatch.wsi != nullptr)
        sleepWanted.emplace_back(socketWatch.watchedCopy, socketWatch.adoption | libraryKey);
    for (const auto& socket : editorSockets)
        sleepWanted.emplace_back(socket.first, socket.second | libraryKey);
    std::sort(sleepWanted.begin(), sleepWanted.end());
    if (sleepWanted != sleepWatched && !watchForSleep())
        return Sleep::notTaken;
    ++sleeps;
    const int count = epoll_wait(sleepSet, sleepReady.data(), static_cast<int>(sleepReady.size()), ms);
    if (count < 0 && errno != EINTR) {
        logger.log(LogLevel::ERROR, "The loop cannot sleep beside the library: %s", std::strerror(errno));
        return Sleep::notTaken;
    }
    Sleep slept = Sleep::portsOnly;
    for (int i = 0; i < count; ++i) {
        const uint64_t key = sleepWatched[sleepReady[static_cast<size_t>(i)].data.u64].second;
        if ((key & libraryKey) != 0) {
            slept = Sleep::needsLibrary;
            continue;
        }
        for (auto& entry : watches) {
            if (entry.second.adoption == key)
                entry.second.inputReady = true;
        }
    }
    return slept;
}

bool EventWait::watchForSleep()
{
    sleepWatched.clear();
    if (sleepSet >= 0)
        ::close(sleepSet);
    sleepSet = epoll_create1(EPOLL_CLOEXEC);
    if (sleepSet < 0) {
        logger.log(LogLevel::ERROR, "The loop cannot sleep beside the library: %s", std::strerror(errno));
        return false;
    }
    for (size_t i = 0; i < sleepWanted.size(); ++i) {
        const auto& wanted = sleepWanted[i];
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.u64 = i;
        if (wanted.first < 0 || epoll_ctl(sleepSet, EPOLL_CTL_ADD, wanted.first, &interest) != 0) {
            // A descriptor the sleep cannot watch is left to the library's wait, every time.
            logger.log(LogLevel::WARNING, "The loop cannot sleep on descriptor %d; the library's wait watches it: %s",
                       wanted.first, wanted.first < 0 ? "none" : std::strerror(errno));
            ::close(sleepSet);
            sleepSet = -1;
            return false;
        }
    }
    sleepWatched = sleepWanted;
    sleepReady.resize(sleepWatched.size());
    return true;
}

size_t EventWait::watchedCount() const
{
    return static_cast<size_t>(
        std::count_if(watches.begin(), watches.end(), [](const auto& entry) { return entry.second.wsi != nullptr; }));
}

void EventWait::watchPorts(const PortManager& ports, RelayList& relays)
{
    // A freed port object's address, and its descriptor's number, may come back for the next port opened: after
    // any close every watch is made anew, so none can hold on to a device that has gone.
    if (ports.closedCount() != portsClosedSeen) {
        portsClosedSeen = ports.closedCount();
        unwatchAll();
    }
    // Only ports that a relay reads: a port nobody reads would stay readable and turn the wait into a spin. The
    // watches stay as they are while the same relays read the same ports, which is every wait of a running flash.
    ++waits;
    for (size_t i = 0; i < relays.size(); ++i) {
        const Relay& relay = relays.at(i);
        SerialPortHandle* port = relay.port;
        if (port == nullptr)
            continue;
        auto found = watches.find(port);
        if (found == watches.end()) {
            found = watches.emplace(port, adopt(driver.portName(port), driver.waitDescriptor(port))).first;
        } else if (found->second.seenInWait != waits) {
            const int descriptor = driver.waitDescriptor(port);
            if (descriptor != found->second.descriptor) {
                unwatch(found->second);
                found->second = adopt(driver.portName(port), descriptor);
            }
        }
        found->second.seenInWait = waits;
        if (!relay.unsent.empty() && found->second.wsi != nullptr)
            lws_callback_on_writable(found->second.wsi);
    }
    for (auto it = watches.begin(); it != watches.end();) {
        if (it->second.seenInWait == waits) {
            ++it;
            continue;
        }
        unwatch(it->second);
        it = watches.erase(it);
    }
}

EventWait::Watch EventWait::adopt(const std::string& name, int descriptor)
{
    Watch watch;
    watch.descriptor = descriptor;
    if (descriptor < 0) {
        logger.log(LogLevel::WARNING, "%s: no descriptor to wait on; the port is read at the next pass", name.c_str());
        return watch;
    }
    // The library closes what it adopted; the port's own descriptor stays the serial library's.
    const int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        logger.log(LogLevel::ERROR, "%s: cannot watch the port: %s", name.c_str(), std::strerror(errno));
        return watch;
    }
    watch.watchedCopy = copy;
    watch.adoption = ++adoptions;
    lws_sock_file_fd_type file{};
    file.filefd = copy;
    watch.wsi = lws_adopt_descriptor_vhost(lws_get_vhost_by_name(context, "localhost"), LWS_ADOPT_RAW_FILE_DESC, file,
                                           protocolName, nullptr);
    if (watch.wsi == nullptr)
        logger.log(LogLevel::ERROR, "%s: the loop cannot wait on the port; it is read at every pass instead",
                   name.c_str());
    return watch;
}

void EventWait::watchSocket(int descriptor, uint64_t generation, bool wantWrite)
{
    if (context == nullptr)
        return;
    if (descriptor != socketWatch.descriptor || generation != socketGeneration) {
        unwatch(socketWatch);
        socketGeneration = generation;
        socketWatch = descriptor >= 0 ? adopt("broker link", descriptor) : Watch();
    }
    socketWantsWrite = wantWrite && socketWatch.wsi != nullptr;
    if (socketWantsWrite)
        lws_callback_on_writable(socketWatch.wsi);
}

bool EventWait::takeSocketReadable()
{
    const bool readable = socketReadable || socketWatch.wsi == nullptr;
    socketReadable = false;
    return readable;
}

void EventWait::forget(lws* wsi)
{
    if (wsi == socketWatch.wsi) {
        // A hang-up: the pass reads the socket and so learns that the connection has ended.
        socketWatch.wsi = nullptr;
        socketReadable = true;
        return;
    }
    for (auto& entry : watches) {
        if (entry.second.wsi != wsi)
            continue;
        entry.second.wsi = nullptr;
        // An unplug does this too; the pass that follows finds the port failed and closes it.
        logger.log(LogLevel::DEBUG, "%s: the port hung up; the loop no longer waits on it",
                   driver.portName(entry.first).c_str());
    }
}

void EventWait::markReadable(lws* wsi)
{
    for (auto& entry : watches) {
        if (entry.second.wsi == wsi)
            entry.second.inputReady = true;
    }
}

PortReadiness::Input EventWait::takeInput(SerialPortHandle* port)
{
    const auto found = watches.find(port);
    if (found == watches.end() || found->second.wsi == nullptr)
        return Input::unknown;
    const bool ready = found->second.inputReady;
    found->second.inputReady = false;
    return ready ? Input::reported : Input::none;
}

void EventWait::unwatch(Watch& watch)
{
    lws* wsi = watch.wsi;
    // Cleared first, so the close callback does not take this for a hang-up.
    watch.wsi = nullptr;
    if (wsi != nullptr)
        lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_SYNC);
}

void EventWait::unwatchAll()
{
    for (auto& entry : watches)
        unwatch(entry.second);
    watches.clear();
}

void EventWait::detach()
{
    if (context == nullptr)
        return;
    unwatchAll();
    unwatch(socketWatch);
    socketWatch = Watch();
    lws_sul_cancel(&timer);
    context = nullptr;
}

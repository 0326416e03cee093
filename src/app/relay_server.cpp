#include "app/relay_server.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>

#include <libwebsockets.h>

#include "app/access_token_file.h"
#include "app/relay_version.h"
#include "app/tls_material.h"
#include "core/clock.h"
#include "core/logger.h"
#include "core/whole_file.h"
#include "device/serial_driver.h"
#include "device/serial_message.h"
#include "web/host_names.h"
#include "web/static_files.h"
#include "web/status_pages.h"
#include "web/websocket_endpoint.h"

namespace {

// Files the library does not know by extension; the catch-all keeps every editor file servable.
lws_protocol_vhost_options mimeAny = {nullptr, nullptr, "*", "application/octet-stream"};
lws_protocol_vhost_options mimeMap = {&mimeAny, nullptr, ".map", "application/json"};
lws_protocol_vhost_options mimeWasm = {&mimeMap, nullptr, ".wasm", "application/wasm"};
lws_protocol_vhost_options mimeMjs = {&mimeWasm, nullptr, ".mjs", "text/javascript"};

// Descriptors kept back from the library's connections for serial ports, firmware and log files: once it holds
// this many fewer than the process may open, it stops accepting instead of spinning on failed accepts.
constexpr rlim_t descriptorsKeptBack = 64;

unsigned connectionDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur <= 2 * descriptorsKeptBack)
        return 0; // the library's own default
    return static_cast<unsigned>(std::min<rlim_t>(limit.rlim_cur - descriptorsKeptBack, 1u << 20));
}

// The whole file, or false when it cannot be read or is empty.
bool readPemFile(const std::string& path, std::string& content)
{
    return readWholeFile(path, content) && !content.empty();
}

bool isIpv4Address(const std::string& address)
{
    in_addr parsed{};
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

bool isIpv6Address(const std::string& address)
{
    in6_addr parsed{};
    return inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

// Whether another socket holds the port: the library's own failure does not say why it could not listen.
bool portIsTaken(int port)
{
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    if (probe < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_any;
    const bool taken = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    close(probe);
    return taken;
}

// The loopback addresses to listen on by default: ::1 only where this machine has IPv6.
std::vector<std::string> loopbackAddresses()
{
    std::vector<std::string> addresses{"127.0.0.1"};
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    if (probe >= 0) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            addresses.emplace_back("::1");
        close(probe);
    }
    return addresses;
}

// ECDHE key exchange and AEAD suites only, for RSA and ECDSA certificates alike.
const char* const tls12Ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                 "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                 "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

bool isDirectory(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isRegularFile(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

RelayServer::RelayServer(SerialDriver& driver, Clock& clock)
    : driver(driver), clock(clock), relayCore(driver, clock), portWait(driver)
{
    relayCore.boards().ports().setReadiness(&portWait);
}

RelayServer::~RelayServer() { stop(); }

bool RelayServer::start(const RelayServerSettings& settings)
{
    char workingDirectory[PATH_MAX] = {};
    if (getcwd(workingDirectory, sizeof workingDirectory) == nullptr)
        workingDirectory[0] = '\0';

    logger.log(LogLevel::INFO, "Starting vantrel relay server v%d.%d.%d", relayVersionMajor, relayVersionMinor,
               relayVersionPatch);
    logger.log(LogLevel::DEBUG, "  libserialport: %s", driver.libraryVersion().c_str());
    logger.log(LogLevel::DEBUG, "  libwebsockets: %s", lws_get_library_version());
    logger.log(LogLevel::DEBUG, "  message size: %d", static_cast<int>(sizeof(SerialMessage)));
    logger.log(LogLevel::DEBUG, "  string::max_size(): %lu", static_cast<unsigned long>(std::string().max_size()));
    logger.log(LogLevel::INFO, "Working directory: %s", workingDirectory);

    listenAddresses =
        settings.listenAddress.empty() ? loopbackAddresses() : std::vector<std::string>{settings.listenAddress};
    for (const std::string& address : listenAddresses) {
        if (!isIpv4Address(address) && !isIpv6Address(address)) {
            logger.log(LogLevel::FATAL,
                       "Cannot listen on %s: -i takes an IPv4 or IPv6 address, such as 127.0.0.1 or ::1",
                       address.c_str());
            return false;
        }
    }
    const bool beyondLoopback = std::any_of(listenAddresses.begin(), listenAddresses.end(),
                                            [](const std::string& address) { return !isLoopbackAddress(address); });
    GateRules rules;
    rules.hostNames = HostNames(machineHostName(), settings.hostNames);
    rules.allowedOrigins = settings.allowedOrigins;
    rules.ownPort = settings.port;
    if (beyondLoopback) {
        std::string error;
        const std::string token = loadOrCreateAccessToken(settings.tokenFile, error);
        if (token.empty()) {
            logger.log(LogLevel::FATAL,
                       "No access token for peers beyond this machine (%s): the relay does not "
                       "listen beyond loopback without one",
                       error.c_str());
            return false;
        }
        rules.token = AccessToken(token, settings.port);
    }

    mountOrigin = settings.mountOrigin;
    mount = lws_http_mount{};
    mount.mountpoint = "/";
    mount.mountpoint_len = 1;
    mount.origin = mountOrigin.c_str();
    mount.def = "index.html";
    mount.origin_protocol = LWSMPRO_FILE;
    mount.extra_mimetypes = &mimeMjs;
    for (lws_http_mount* page : {&healthMount, &metricsMount}) {
        *page = lws_http_mount{};
        page->mountpoint = page == &healthMount ? "/health" : "/metrics";
        page->mountpoint_len = static_cast<unsigned char>(std::strlen(page->mountpoint));
        page->origin = StatusPages::protocolName;
        page->origin_protocol = LWSMPRO_CALLBACK;
    }
    mount.mount_next = &healthMount;
    healthMount.mount_next = &metricsMount;

    gate = std::make_unique<ConnectionGate>(std::move(rules));
    protocols[0] = {"http", ConnectionGate::httpCallback, 0, 0, 0, gate.get(), 0};
    protocols[1] = {relayProtocolName, relayProtocolCallback, sizeof(Connection), 65536, 0, gate.get(), 0};
    protocols[2] = portWait.protocol();
    protocols[3] = {ConnectionGate::unreadableProtocolName, ConnectionGate::unreadableCallback, 0, 0, 0, gate.get(), 0};
    // The user pointer is read back as the interface, not as the core.
    protocols[4] = {
        StatusPages::protocolName, StatusPages::callback, 0, 0, 0, static_cast<RelayFigureSource*>(&relayCore), 0};
    protocols[5] = {nullptr, nullptr, 0, 0, 0, nullptr, 0};

    // Pinged after a silence, closed when the pong does not follow: a connection that neither reads nor answers
    // gives its place back.
    livenessPolicy = lws_retry_bo_t{};
    livenessPolicy.secs_since_valid_ping = settings.pingAfterSilenceSeconds;
    livenessPolicy.secs_since_valid_hangup =
        static_cast<uint16_t>(settings.pingAfterSilenceSeconds + settings.closeAfterPingSeconds);

    if (settings.tls) {
        certificatePem = tlsCertificatePem;
        keyPem = tlsPrivateKeyPem;
        if (!settings.certificateFile.empty() || !settings.keyFile.empty()) {
            if (!readPemFile(settings.certificateFile, certificatePem)) {
                logger.log(LogLevel::FATAL, "Cannot read the TLS certificate file '%s' (-C)",
                           settings.certificateFile.c_str());
                return false;
            }
            if (!readPemFile(settings.keyFile, keyPem)) {
                logger.log(LogLevel::FATAL, "Cannot read the TLS key file '%s' (-K)", settings.keyFile.c_str());
                return false;
            }
        } else {
            logger.log(LogLevel::WARNING, "TLS uses the key pair built into the program, the same in every copy: it "
                                          "keeps out passive listeners only. Give your own with -C and -K");
        }
    }

    lws_context_creation_info info{};
    info.user = &relayCore.sessions();
    info.fd_limit_per_thread = connectionDescriptorLimit();
    // The library reads the socket into this buffer; as large as the receive buffer, a message up to that size
    // arrives in one piece instead of one piece per 4 KiB read.
    info.pt_serv_buf_size = 65536;
    info.retry_and_idle_policy = &livenessPolicy;
    // One listener per address, each made below: loopback alone takes two, 127.0.0.1 and ::1.
    info.options = LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
    if (settings.tls)
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    logger.log(LogLevel::INFO, "%sSSL listening on port %d (ws%s://localhost:%d)", settings.tls ? "" : "Non-",
               settings.port, settings.tls ? "s" : "", settings.port);
    if (!settings.listenAddress.empty())
        logger.log(LogLevel::INFO, "Listening on address %s only (-i)", settings.listenAddress.c_str());
    else
        logger.log(LogLevel::INFO, "Listening on loopback only, for programs and pages of this machine (-i 0.0.0.0 "
                                   "or -i :: opens the relay to the network)");

    context = lws_create_context(&info);
    bool listening = context != nullptr;
    for (size_t i = 0; listening && i < listenAddresses.size(); ++i)
        listening = listenOn(listenAddresses[i], settings);
    if (!listening) {
        if (context != nullptr)
            lws_context_destroy(context);
        context = nullptr;
        logger.log(LogLevel::FATAL, "libwebsockets init failed (lws_create_context)");
        return false;
    }
    const bool consolePage = isRegularFile(mountOrigin + "/index.html");
    if (!isDirectory(mountOrigin))
        logger.log(LogLevel::WARNING, "No folder %s to serve: browsers get no console page", mountOrigin.c_str());
    else if (!consolePage)
        logger.log(LogLevel::WARNING, "No %s/index.html: browsers get no console page", mountOrigin.c_str());
    const char* scheme = settings.tls ? "https" : "http";
    const bool onLoopback = std::any_of(listenAddresses.begin(), listenAddresses.end(), [](const std::string& address) {
        return isLoopbackAddress(address) || address == "0.0.0.0" || address == "::";
    });
    if (onLoopback && consolePage)
        logger.log(LogLevel::INFO, "Console: %s://localhost:%d/", scheme, settings.port);
    if (beyondLoopback && consolePage) {
        const std::string& address = listenAddresses.front();
        std::string host = address == "0.0.0.0" || address == "::" ? machineHostName() : address;
        if (host.empty())
            host = "ADDRESS-OF-THIS-MACHINE";
        if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        logger.log(LogLevel::INFO, "Console: %s://%s:%d/?token=%s", scheme, host.c_str(), settings.port,
                   gate->rules().token.text().c_str());
    }
    logger.log(LogLevel::INFO, "Host names answered: %s", gate->rules().hostNames.describe().c_str());
    logger.log(LogLevel::INFO, "%s", gate->describeOrigins().c_str());
    confineStaticFiles(context, mountOrigin);
    portWait.attach(context);
    stopped = false;
    relayCore.start();
    if (!settings.broker.url.empty()) {
        broker = std::make_unique<BrokerLink>(relayCore.sessions(), relayCore.commandHandler(), relayCore, clock);
        if (!broker->start(settings.broker))
            return false;
    }
    return true;
}

bool RelayServer::listenOn(const std::string& address, const RelayServerSettings& settings)
{
    lws_context_creation_info info{};
    info.port = settings.port;
    info.iface = address.c_str();
    info.protocols = protocols;
    info.mounts = &mount;
    // The first listener is the one the port waits are adopted on.
    info.vhost_name = address == listenAddresses.front() ? "localhost" : address.c_str();
    info.retry_and_idle_policy = &livenessPolicy;
    // An address that cannot be bound must end the start, not leave a relay that listens nowhere.
    info.options = LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND;
    // The dual-stack listener ignores an IPv4 address; an IPv4-only listener binds it.
    if (isIpv4Address(address))
        info.options |= LWS_SERVER_OPTION_DISABLE_IPV6;
    if (settings.tls) {
        // TLS and plain clients on one port; the library drops plain clients without the last option.
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_ALLOW_NON_SSL_ON_SSL_PORT |
                        LWS_SERVER_OPTION_DISABLE_OS_CA_CERTS | LWS_SERVER_OPTION_PEER_CERT_NOT_REQUIRED |
                        LWS_SERVER_OPTION_ALLOW_HTTP_ON_HTTPS_LISTENER;
        info.server_ssl_cert_mem = certificatePem.c_str();
        info.server_ssl_cert_mem_len = static_cast<unsigned int>(certificatePem.size());
        info.server_ssl_private_key_mem = keyPem.c_str();
        info.server_ssl_private_key_mem_len = static_cast<unsigned int>(keyPem.size());
        info.alpn = "http/1.1";
        // TLS 1.2 only with forward secrecy and authenticated encryption; TLS 1.3 has nothing else.
        info.ssl_cipher_list = tls12Ciphers;
        info.ssl_options_set = static_cast<long>(SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1);
    } else {
        // What is no HTTP (a TLS handshake, above all) goes to the gate, which says what the client did wrong.
        info.options |= LWS_SERVER_OPTION_FALLBACK_TO_APPLY_LISTEN_ACCEPT_CONFIG;
        info.listen_accept_role = "raw-skt";
        info.listen_accept_protocol = ConnectionGate::unreadableProtocolName;
    }
    if (lws_create_vhost(context, &info) != nullptr)
        return true;
    if (!settings.listenAddress.empty())
        logger.log(LogLevel::FATAL, "Cannot listen on %s port %d: not an address of this machine, or in use",
                   address.c_str(), settings.port);
    if (!settings.certificateFile.empty() && settings.tls)
        logger.log(LogLevel::FATAL, "The TLS certificate or key was not accepted (-C, -K)");
    else if (portIsTaken(settings.port))
        logger.log(LogLevel::FATAL, "Cannot listen on port %d: another program uses it; choose another with -p",
                   settings.port);
    return false;
}

void RelayServer::runPass()
{
    // A wait that ended in the library's poll has serviced it already: a second poll would find nothing new.
    if (!servicedByWait)
        lws_service(context, -1);
    servicedByWait = false;
    if (gate)
        gate->tick();
    relayCore.readBoards();
    // The boards get their next messages first: they work on them while the replies go out.
    relayCore.sendToBoards();
    // The replies just made leave in this pass rather than after the next wait, so an answer reaches the editor
    // in the pass that read it and a flash's progress keeps pace with the board.
    relayCore.sessions().sendFreshReplies(context);
    if (broker)
        broker->service(portWait.takeSocketReadable());
}

void RelayServer::waitForWork()
{
    const uint64_t now = clock.nowMs();
    uint64_t due = relayCore.nextDueMs();
    const uint64_t held = relayCore.sessions().msUntilHeldRepliesDue();
    if (held != UINT64_MAX)
        due = std::min(due, now + held);
    if (broker) {
        due = std::min(due, broker->nextDueMs());
        portWait.watchSocket(broker->socket(), broker->socketGeneration(), broker->wantsWrite());
    }
    const bool socketsKnown = relayCore.sessions().socketsToWatch(editorSockets);
    servicedByWait =
        portWait.wait(ports(), relays(), socketsKnown ? &editorSockets : nullptr, due <= now ? 0 : due - now);
}

void RelayServer::run(const volatile std::sig_atomic_t& stopRequested)
{
    while (stopRequested == 0) {
        runPass();
        if (stopRequested != 0)
            break;
        waitForWork();
    }
}

void RelayServer::stop()
{
    if (stopped)
        return;
    stopped = true;
    // Before the ports: the broker hears that the relay goes while its boards are still there.
    if (broker)
        broker->stop();
    relayCore.closePorts();
    portWait.detach();
    releaseStaticFiles(context);
    lws_context_destroy(context);
    context = nullptr;
    relayCore.release();
    logger.reportSuppressedNow();
    logger.log(LogLevel::INFO, "Stopping vantrel relay server");
}

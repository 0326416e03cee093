#include "app/relay_server.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>

#include <libwebsockets.h>

#include "app/relay_version.h"
#include "app/tls_material.h"
#include "core/clock.h"
#include "core/logger.h"
#include "device/serial_driver.h"
#include "device/serial_message.h"
#include "web/static_files.h"
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

// The whole file, or false when it cannot be read.
bool readFile(const std::string& path, std::string& content)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad() || text.str().empty())
        return false;
    content = text.str();
    return true;
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

bool isDirectory(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

RelayServer::RelayServer(SerialDriver& driver, Clock& clock)
    : driver(driver), clock(clock), relayCore(driver, clock), portWait(driver)
{}

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

    mountOrigin = settings.mountOrigin;
    mount = lws_http_mount{};
    mount.mountpoint = "/";
    mount.mountpoint_len = 1;
    mount.origin = mountOrigin.c_str();
    mount.def = "index.html";
    mount.origin_protocol = LWSMPRO_FILE;
    mount.extra_mimetypes = &mimeMjs;

    gate = std::make_unique<ConnectionGate>(settings.allowedOrigins);
    if (gate->acceptsEveryOrigin())
        logger.log(LogLevel::WARNING, "Every web page may drive the boards: no -o origin given");
    protocols[0] = {"http", ConnectionGate::httpCallback, 0, 0, 0, gate.get(), 0};
    protocols[1] = {relayProtocolName, relayProtocolCallback, sizeof(Connection), 65536, 0, gate.get(), 0};
    protocols[2] = portWait.protocol();
    protocols[3] = {nullptr, nullptr, 0, 0, 0, nullptr, 0};

    lws_context_creation_info info{};
    info.port = settings.port;
    info.protocols = protocols;
    info.mounts = &mount;
    info.vhost_name = "localhost";
    info.user = &relayCore.sessions();
    info.fd_limit_per_thread = connectionDescriptorLimit();
    // The library reads the socket into this buffer; as large as the receive buffer, a message up to that size
    // arrives in one piece instead of one piece per 4 KiB read.
    info.pt_serv_buf_size = 65536;
    // An address that cannot be bound must end the start, not leave a relay that listens nowhere.
    info.options = LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND;
    listenAddress = settings.listenAddress;
    if (!listenAddress.empty()) {
        if (isIpv4Address(listenAddress)) {
            // The dual-stack listener ignores an IPv4 address; an IPv4-only listener binds it.
            info.options |= LWS_SERVER_OPTION_DISABLE_IPV6;
        } else if (!isIpv6Address(listenAddress)) {
            logger.log(LogLevel::FATAL,
                       "Cannot listen on %s: -i takes an IPv4 or IPv6 address, such as 127.0.0.1 or ::1",
                       listenAddress.c_str());
            return false;
        }
        info.iface = listenAddress.c_str();
    }
    if (settings.tls) {
        // TLS and plain clients on one port; the library drops plain clients without the last option.
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_ALLOW_NON_SSL_ON_SSL_PORT |
                        LWS_SERVER_OPTION_DISABLE_OS_CA_CERTS | LWS_SERVER_OPTION_PEER_CERT_NOT_REQUIRED |
                        LWS_SERVER_OPTION_ALLOW_HTTP_ON_HTTPS_LISTENER;
        certificatePem = tlsCertificatePem;
        keyPem = tlsPrivateKeyPem;
        if (!settings.certificateFile.empty() || !settings.keyFile.empty()) {
            if (!readFile(settings.certificateFile, certificatePem)) {
                logger.log(LogLevel::FATAL, "Cannot read the TLS certificate file '%s' (-C)",
                           settings.certificateFile.c_str());
                return false;
            }
            if (!readFile(settings.keyFile, keyPem)) {
                logger.log(LogLevel::FATAL, "Cannot read the TLS key file '%s' (-K)", settings.keyFile.c_str());
                return false;
            }
        }
        info.server_ssl_cert_mem = certificatePem.c_str();
        info.server_ssl_cert_mem_len = static_cast<unsigned int>(certificatePem.size());
        info.server_ssl_private_key_mem = keyPem.c_str();
        info.server_ssl_private_key_mem_len = static_cast<unsigned int>(keyPem.size());
        info.alpn = "http/1.1";
    }
    logger.log(LogLevel::INFO, "%sSSL listening on port %d (ws%s://localhost:%d)", settings.tls ? "" : "Non-",
               settings.port, settings.tls ? "s" : "", settings.port);
    if (!listenAddress.empty())
        logger.log(LogLevel::INFO, "Listening on address %s only (-i)", listenAddress.c_str());

    context = lws_create_context(&info);
    if (context == nullptr) {
        if (!listenAddress.empty())
            logger.log(LogLevel::FATAL, "Cannot listen on %s port %d: not an address of this machine, or in use",
                       listenAddress.c_str(), settings.port);
        if (!settings.certificateFile.empty() && settings.tls)
            logger.log(LogLevel::FATAL, "The TLS certificate or key was not accepted (-C, -K)");
        else if (portIsTaken(settings.port))
            logger.log(LogLevel::FATAL, "Cannot listen on port %d: another program uses it; choose another with -p",
                       settings.port);
        logger.log(LogLevel::FATAL, "libwebsockets init failed (lws_create_context)");
        return false;
    }
    if (!isDirectory(mountOrigin))
        logger.log(LogLevel::WARNING, "No folder %s to serve: browsers get no console page", mountOrigin.c_str());
    logger.log(LogLevel::INFO, "Console: %s://localhost:%d/", settings.tls ? "https" : "http", settings.port);
    confineStaticFiles(context, mountOrigin);
    portWait.attach(context);
    stopped = false;
    relayCore.start();
    return true;
}

void RelayServer::runPass()
{
    lws_service(context, -1);
    if (gate)
        gate->tick();
    // The replies just made leave in this pass rather than at the start of the next, so an answer reaches the
    // editor in the pass that read it and a flash's progress keeps pace with the board.
    if (relayCore.readBoards())
        lws_service(context, -1);
    relayCore.sendToBoards();
}

void RelayServer::waitForWork()
{
    const uint64_t now = clock.nowMs();
    const uint64_t due = relayCore.nextDueMs();
    portWait.wait(ports(), relays(), due <= now ? 0 : due - now);
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
    relayCore.closePorts();
    portWait.detach();
    releaseStaticFiles(context);
    lws_context_destroy(context);
    context = nullptr;
    relayCore.release();
    logger.reportSuppressedNow();
    logger.log(LogLevel::INFO, "Stopping vantrel relay server");
}

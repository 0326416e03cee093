#include "app/relay_server.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>

#include <libwebsockets.h>

#include "app/relay_version.h"
#include "app/tls_material.h"
#include "core/logger.h"
#include "device/serial_driver.h"
#include "device/serial_message.h"
#include "web/websocket_endpoint.h"

namespace {

// Files the library does not know by extension; the catch-all keeps every editor file servable.
lws_protocol_vhost_options mimeAny = {nullptr, nullptr, "*", "application/octet-stream"};
lws_protocol_vhost_options mimeMap = {&mimeAny, nullptr, ".map", "application/json"};
lws_protocol_vhost_options mimeWasm = {&mimeMap, nullptr, ".wasm", "application/wasm"};
lws_protocol_vhost_options mimeMjs = {&mimeWasm, nullptr, ".mjs", "text/javascript"};

const lws_protocols protocols[] = {
    {"http", lws_callback_http_dummy, 0, 0, 0, nullptr, 0},
    {relayProtocolName, relayProtocolCallback, sizeof(Connection), 65536, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void sleepOneMillisecond()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec deadline = now;
    deadline.tv_nsec += 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        if (deadline.tv_sec == std::numeric_limits<time_t>::max())
            deadline.tv_nsec = 999999999;
        else
            ++deadline.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

} // namespace

RelayServer::RelayServer(SerialDriver& driver, Clock& clock) : driver(driver), relayCore(driver, clock) {}

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

    lws_context_creation_info info{};
    info.port = settings.port;
    info.protocols = protocols;
    info.mounts = &mount;
    info.vhost_name = "localhost";
    info.user = &relayCore.sessions();
    if (settings.tls) {
        // TLS and plain clients on one port; the library drops plain clients without the last option.
        info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_ALLOW_NON_SSL_ON_SSL_PORT |
                       LWS_SERVER_OPTION_DISABLE_OS_CA_CERTS | LWS_SERVER_OPTION_PEER_CERT_NOT_REQUIRED |
                       LWS_SERVER_OPTION_ALLOW_HTTP_ON_HTTPS_LISTENER;
        info.server_ssl_cert_mem = tlsCertificatePem;
        info.server_ssl_cert_mem_len = static_cast<unsigned int>(std::strlen(tlsCertificatePem));
        info.server_ssl_private_key_mem = tlsPrivateKeyPem;
        info.server_ssl_private_key_mem_len = static_cast<unsigned int>(std::strlen(tlsPrivateKeyPem));
        info.alpn = "http/1.1";
    }
    logger.log(LogLevel::INFO, "%sSSL listening on port %d (ws%s://localhost:%d)", settings.tls ? "" : "Non-",
               settings.port, settings.tls ? "s" : "", settings.port);

    context = lws_create_context(&info);
    if (context == nullptr) {
        logger.log(LogLevel::FATAL, "libwebsockets init failed (lws_create_context)");
        return false;
    }
    stopped = false;
    relayCore.start();
    return true;
}

void RelayServer::runPass()
{
    lws_service(context, -1);
    // The replies just made leave in this pass rather than at the start of the next, so an answer reaches the
    // editor in the pass that read it and a flash's progress keeps pace with the board.
    if (relayCore.readBoards())
        lws_service(context, -1);
    relayCore.sendToBoards();
}

void RelayServer::run(const volatile std::sig_atomic_t& stopRequested)
{
    while (stopRequested == 0) {
        runPass();
        sleepOneMillisecond();
    }
}

void RelayServer::stop()
{
    if (stopped)
        return;
    stopped = true;
    relayCore.closePorts();
    lws_context_destroy(context);
    context = nullptr;
    relayCore.release();
    logger.reportSuppressedNow();
    logger.log(LogLevel::INFO, "Stopping vantrel relay server");
}

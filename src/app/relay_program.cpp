#include "app/relay_program.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <libwebsockets.h>

#include "app/relay_server.h"
#include "app/relay_version.h"
#include "core/logger.h"
#include "web/host_names.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

// Only stores the flag; the loop reads it once per pass.
void onSignal(int) { stopRequested = 1; }

// The library's own complaints are detail for the debug log: the relay's lines say in words what failed (a port
// that cannot be bound, a certificate refused), and nothing of the library's reaches standard error twice.
void logLibraryLine(int, const char* line)
{
    std::string text = line != nullptr ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    logger.log(LogLevel::DEBUG, "libwebsockets: %s", text.c_str());
}

} // namespace

int serveUntilStopped(const CommandLineSettings& settings, SerialDriver& driver, Clock& clock)
{
    logger.threshold = settings.logThreshold;
    if (settings.logThresholdValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -l parameter, using 'info'");
    if (settings.logFileValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -f parameter, using stdout");
    else if (!settings.logFile.empty())
        logger.setLogFile(settings.logFile);

    for (const std::string& mistake : settings.mistakes)
        logger.log(LogLevel::WARNING, "%s", mistake.c_str());
    if (settings.originValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -o parameter, ignoring it");
    for (const std::string& origin : settings.allowedOrigins) {
        // A browser's origin is scheme://host[:port] and nothing more; anything else never matches one.
        const size_t hostStart = origin.find("://");
        const size_t pathStart = hostStart == std::string::npos ? std::string::npos : origin.find('/', hostStart + 3);
        if (hostStart == std::string::npos || hostStart == 0 ||
            (pathStart != std::string::npos && pathStart + 1 < origin.size()))
            logger.log(LogLevel::WARNING,
                       "-o %s matches no web page: give an origin such as https://editor.example.com", origin.c_str());
    }
    if (settings.hostNameValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -a parameter, ignoring it");
    for (const std::string& name : settings.hostNames) {
        HostAndPort parsed;
        if (!splitHostAndPort(name, parsed))
            logger.log(LogLevel::WARNING, "-a %s is no host name: give a name such as robot.example.com", name.c_str());
    }
    if (settings.listenAddressValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -i parameter, listening on loopback only");
    if ((settings.certificateGiven || settings.keyGiven) && !settings.tls) {
        // The installed service names its key pair this way, ready for -s.
        logger.log(LogLevel::INFO, "-C and -K take effect only with -s; serving without TLS");
    } else if (settings.certificateGiven != settings.keyGiven ||
               (settings.certificateGiven && (settings.certificateFile.empty() || settings.keyFile.empty()))) {
        logger.log(LogLevel::FATAL, "-C certfile and -K keyfile must be given together");
        return 1;
    }

    // A closed terminal or session (SIGHUP) stops the relay in order as well: writes ended, ports closed.
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGHUP, onSignal);
    lws_set_log_level(LLL_ERR | LLL_WARN, logLibraryLine);

    RelayServer server(driver, clock);
    RelayServerSettings serverSettings;
    serverSettings.port = settings.port;
    serverSettings.tls = settings.tls;
    serverSettings.allowedOrigins = settings.allowedOrigins;
    serverSettings.hostNames = settings.hostNames;
    serverSettings.listenAddress = settings.listenAddress;
    if (settings.brokerUrlValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -m parameter, no broker link");
    else if (settings.brokerUrl.empty() && (settings.brokerCommands || !settings.relayName.empty()))
        logger.log(LogLevel::WARNING, "-r and -M take effect only with -m; no broker link");
    serverSettings.broker.url = settings.brokerUrl;
    serverSettings.broker.relayName = settings.relayName;
    serverSettings.broker.commands = settings.brokerCommands;
    serverSettings.broker.caFile = settings.brokerCaFile;
    if (const char* passwordFile = std::getenv("VANTREL_MQTT_PASSWORD_FILE"))
        serverSettings.broker.passwordFile = passwordFile;
    if (settings.tls) {
        serverSettings.certificateFile = settings.certificateFile;
        serverSettings.keyFile = settings.keyFile;
    }
    if (!server.start(serverSettings))
        return 1;
    server.run(stopRequested);
    server.stop();
    return 0;
}

int exitStatusBeforeServing(const CommandLineSettings& settings, const char* programName, const char* usage,
                            const char* buildTime)
{
    if (settings.showUsage) {
        std::printf("%s", usage);
        return 0;
    }
    if (settings.showVersion) {
        std::printf("%s version %d.%d.%d (%s)\n", programName, relayVersionMajor, relayVersionMinor, relayVersionPatch,
                    buildTime);
        return 0;
    }
    if (!settings.portValid) {
        const std::string& value = settings.portValue;
        if (!value.empty() && value.find_first_not_of("0123456789") != std::string::npos)
            std::printf("-p %s is not a port number\n", value.c_str());
        std::printf("Invalid port number. Try a number from 1025 to 65535\n");
        return 1;
    }
    return -1;
}

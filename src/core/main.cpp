#include <csignal>
#include <cstdio>

#include <libwebsockets.h>

#include "core/clock.h"
#include "core/command_line.h"
#include "core/logger.h"
#include "core/relay_server.h"
#include "device/libserialport_driver.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

} // namespace

int main(int argc, char** argv)
{
    const CommandLineSettings settings = readCommandLine(argc, argv);
    if (settings.showUsage) {
        std::printf("%s", usageText);
        return 0;
    }
    if (settings.showVersion) {
        std::printf("vantrelRelay version %d.%d.%d (%s)\n", RelayServer::versionMajor, RelayServer::versionMinor,
                    RelayServer::versionPatch, VANTREL_BUILD_TIME);
        return 0;
    }
    if (!settings.portValid) {
        std::printf("Invalid port number. Try a number from 1025 to 65535\n");
        return 1;
    }

    logger.threshold = settings.logThreshold;
    if (settings.logThresholdValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -l parameter, using 'info'");
    if (settings.logFileValueMissing)
        logger.log(LogLevel::WARNING, "No value given for -f parameter, using stdout");
    else if (!settings.logFile.empty())
        logger.setLogFile(settings.logFile);

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);

    LibSerialPortDriver driver;
    SystemClock clock;
    RelayServer server(driver, clock);
    RelayServerSettings serverSettings;
    serverSettings.port = settings.port;
    serverSettings.tls = settings.tls;
    if (!server.start(serverSettings))
        return 1;
    server.run(stopRequested);
    server.stop();
    return 0;
}

#include "core/relay_program.h"

#include <csignal>

#include <libwebsockets.h>

#include "core/logger.h"
#include "core/relay_server.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

// Only stores the flag; the loop reads it once per pass.
void onSignal(int) { stopRequested = 1; }

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

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);

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

#include <cstdio>

#include "core/clock.h"
#include "core/command_line.h"
#include "core/relay_program.h"
#include "core/relay_server.h"
#include "device/libserialport_driver.h"

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
    LibSerialPortDriver driver;
    SystemClock clock;
    return serveUntilStopped(settings, driver, clock);
}

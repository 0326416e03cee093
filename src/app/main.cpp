#include "app/command_line.h"
#include "app/relay_program.h"
#include "core/clock.h"
#include "device/libserialport_driver.h"

int main(int argc, char** argv)
{
    const CommandLineSettings settings = readCommandLine(argc, argv);
    const int status = exitStatusBeforeServing(settings, "vantrelRelay", usageText, VANTREL_BUILD_TIME);
    if (status >= 0)
        return status;
    LibSerialPortDriver driver;
    SystemClock clock;
    return serveUntilStopped(settings, driver, clock);
}

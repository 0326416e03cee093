// Any text from a fresh editor connection, received and parsed as the endpoint does and handed to the command
// handler, against simulated boards. The connection closes after each input so nothing carries over.
#include <cstddef>
#include <cstdint>

#include "core/logger.h"
#include "support/relay_parts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    logger.threshold = LOG_THRESHOLD_OFF;
    static RelayParts* parts = new RelayParts({"ttyACM0", "ttyACM1"});
    Connection connection{};
    parts->sessions.established(connection, nullptr);
    parts->sessions.received(connection, reinterpret_cast<const char*>(data), size, true);
    parts->sessions.closed(connection);
    return 0;
}

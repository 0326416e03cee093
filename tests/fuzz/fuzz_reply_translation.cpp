// Any completed board message, of any type and length field, translated for the editor bound to its port.
// Input: type (2 bytes, little-endian), length field (2 bytes), then the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "core/little_endian.h"
#include "core/logger.h"
#include "support/relay_parts.h"

namespace {

bool isJson(std::string text)
{
    // The writer gives an infinite real as 1e+9999, valid JSON that a browser reads as Infinity but that JsonCpp
    // refuses to hold in a double: any finite number stands in for it here.
    for (size_t at = text.find("1e+9999"); at != std::string::npos; at = text.find("1e+9999", at))
        text.replace(at, 7, "1");
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    logger.threshold = LOG_THRESHOLD_OFF;
    static RelayParts* parts = [] {
        auto* made = new RelayParts;
        made->bind("ttyACM0", made->editor);
        return made;
    }();
    if (size < 4)
        return 0;
    const std::vector<uint8_t> payload(data + 4, data + size);
    parts->deliver("ttyACM0", readU16(data), payload, readU16(data + 2));
    parts->answerBoardMessages();
    // Every reply is one JSON document, and none went to the connection that is not bound.
    for (const std::string& reply : parts->takeReplies(parts->editor)) {
        if (!isJson(reply))
            std::abort();
    }
    if (!parts->takeReplies(parts->otherEditor).empty())
        std::abort();
    // Nothing waits from one input to the next: acknowledgements would otherwise pile up on the relay.
    if (Relay* relay = parts->relay("ttyACM0"))
        relay->outgoing.clear();
    return 0;
}

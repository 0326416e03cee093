// Receive accumulation: WebSocket messages, each split into pieces, that are either one whole command
// {"id":N} or arbitrary other text. Every command message must run exactly once, whatever text came before it.
// The other text never contains 'i', a backslash or a double quote, so it cannot name "id" itself nor open a
// string that a following command would close (text of that kind is reported in the fuzzing notes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <json/json.h>

#include "core/logger.h"
#include "web/sessions.h"

namespace {

class CommandRecorder : public SessionEvents {
public:
    void onConnectionEstablished(Connection&) override {}
    void onConnectionClosed(Connection&) override {}
    void onBinaryMessage(Connection&, std::vector<uint8_t>, bool) override {}
    void onWebCommand(Connection&, const Json::Value& command) override
    {
        if (command.isObject() && command.isMember("id"))
            ids.push_back(command["id"].asInt());
    }

    std::vector<int> ids;
};

std::string otherText(FuzzedDataProvider& input)
{
    std::string text = input.ConsumeRandomLengthString(48);
    std::string kept;
    for (const char c : text) {
        if (c != 'i' && c != '\\' && c != '"')
            kept += c;
    }
    return kept;
}

// Hands the message over in pieces of fuzzed sizes; the last one is final.
void receiveInPieces(Sessions& sessions, Connection& connection, const std::string& message, FuzzedDataProvider& input)
{
    size_t offset = 0;
    do {
        const size_t rest = message.size() - offset;
        const size_t piece = rest == 0 ? 0 : input.ConsumeIntegralInRange<size_t>(1, rest);
        sessions.received(connection, message.data() + offset, piece, offset + piece == message.size());
        offset += piece;
    } while (offset < message.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    logger.threshold = LOG_THRESHOLD_OFF;
    FuzzedDataProvider input(data, size);
    CommandRecorder recorder;
    Sessions sessions(recorder);
    Connection connection{};
    sessions.established(connection, nullptr);

    std::vector<int> sent;
    for (int message = 0; message < 32 && input.remaining_bytes() > 0; ++message) {
        if (input.ConsumeBool()) {
            const int id = static_cast<int>(sent.size());
            sent.push_back(id);
            receiveInPieces(sessions, connection, "{\"id\":" + std::to_string(id) + "}", input);
        } else {
            receiveInPieces(sessions, connection, otherText(input), input);
        }
    }
    if (recorder.ids != sent)
        std::abort();
    sessions.closed(connection);
    return 0;
}

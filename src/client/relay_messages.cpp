#include "client/relay_messages.h"

#include <cmath>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

#include "json/lenient_readers.h"

namespace {

// The relay's text of an infinity, as its writer makes it.
const std::string relayInfinity = "1e+9999";

// Replaces the relay's infinities outside strings by the token JsonCpp reads as one.
std::string withReadableInfinities(const std::string& text)
{
    if (text.find(relayInfinity) == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size());
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < text.size())
                out += text[++i];
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
            out += c;
        } else if (text.compare(i, relayInfinity.size(), relayInfinity) == 0) {
            out += "Infinity";
            i += relayInfinity.size() - 1;
        } else {
            out += c;
        }
    }
    return out;
}

// Infinite reals as a finite number the relay rounds to the float infinity.
void replaceInfinities(Json::Value& value)
{
    if (value.isDouble() && std::isinf(value.asDouble())) {
        value = value.asDouble() > 0 ? 1e39 : -1e39;
    } else if (value.isArray() || value.isObject()) {
        for (Json::Value& member : value)
            replaceInfinities(member);
    }
}

} // namespace

bool readRelayJson(const std::string& text, Json::Value& value)
{
    Json::CharReaderBuilder builder;
    builder["allowSpecialFloats"] = true;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string readable = withReadableInfinities(text);
    std::string errors;
    try {
        return reader->parse(readable.data(), readable.data() + readable.size(), &value, &errors) && value.isObject();
    } catch (const std::exception&) {
        return false;
    }
}

std::string relayCommandText(const Json::Value& message)
{
    Json::Value copy = message;
    replaceInfinities(copy);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 17;
    builder["emitUTF8"] = true;
    return Json::writeString(builder, copy);
}

Json::Value boardCommand(const std::string& port, const Json::Value& payload)
{
    Json::Value command(Json::objectValue);
    command["port"] = port;
    command["payload"] = payload;
    return command;
}

Json::Value commandPayload(const char* member, const Json::Value& value)
{
    Json::Value payload(Json::objectValue);
    payload[member] = value;
    return payload;
}

std::string replyPort(const Json::Value& reply)
{
    for (const char* key : {"port", "portName"}) {
        const Json::Value* port = findProperty(reply, key);
        if (port != nullptr && port->isString())
            return port->asString();
    }
    return "";
}

std::string oneLine(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return text;
}

namespace {

std::string detailOf(const Json::Value& value) { return value.isString() ? value.asString() : ""; }

std::string withDetail(const std::string& text, const std::string& detail)
{
    return detail.empty() ? text : text + " (" + detail + ")";
}

// The relay's reasons for ending or refusing a write, in words.
std::string firmwareFailureText(const std::string& key, const std::string& detail)
{
    static const std::string flashAgain = "; the board stays in its bootloader: flash it again";
    if (key == "firmwareFileVerifyError")
        return (detail.empty() ? "the board wrote something different from the image" : detail) + flashAgain;
    if (key == "firmwareWriteCancelled")
        return withDetail("the write was cancelled", detail) + flashAgain;
    if (key == "firmwareNeedsBootloader")
        return withDetail("the board refused the write: it does not run its bootloader", detail);
    if (key == "firmwareWriteInProgress")
        return "another write of this board is running: wait for it to end";
    if (key == "firmwareFileTooLarge")
        return withDetail("the image is too large for the board's flash", detail);
    if (key == "firmwareFileEmpty")
        return "the image is empty: give a firmware file with content";
    if (key == "firmwareFileNotFound")
        return withDetail("the relay has no such firmware file", detail);
    if (key == "firmwareFileCantOpen" || key == "firmwareFileReadError")
        return withDetail("the relay could not read the image", detail);
    return withDetail("the relay refused the write: " + key, detail);
}

} // namespace

bool failureText(const Json::Value& reply, std::string& text)
{
    if (!reply.isObject())
        return false;
    const Json::Value* portError = findProperty(reply, "portError");
    if (portError != nullptr) {
        const std::string reason = portError->isObject() ? detailOf((*portError)["reason"]) : "";
        const std::string words = portError->isObject() ? detailOf((*portError)["text"]) : "";
        text = oneLine(words.empty() ? "the relay cannot reach the board (" + reason + ")" : words);
        return true;
    }
    for (const std::string& key : reply.getMemberNames()) {
        if (key.compare(0, 8, "firmware") == 0 && key != "firmwareFilesList") {
            text = oneLine(firmwareFailureText(key, detailOf(reply[key])));
            return true;
        }
    }
    return false;
}

bool readBoardVersion(const Json::Value& reply, BoardVersion& version)
{
    if (!reply.isObject() || !reply.isMember("versionMajor"))
        return false;
    const auto number = [&reply](const char* key) { return reply[key].isIntegral() ? reply[key].asLargestInt() : 0; };
    version.firmware = std::to_string(number("versionMajor")) + "." + std::to_string(number("versionMinor")) + "." +
                       std::to_string(number("versionPatch"));
    version.bootloader = (number("flags") & 1) != 0;
    version.serial = reply["serial"].isString() ? reply["serial"].asString() : "";
    version.idcode = static_cast<uint32_t>(number("idcode"));
    version.flashSizeKiB = static_cast<int>(number("flashsize"));
    return true;
}

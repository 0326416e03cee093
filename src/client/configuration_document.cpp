#include "client/configuration_document.h"

#include "json/compact_json_writer.h"

Json::Value boardIdentity(const BoardVersion& version)
{
    Json::Value board(Json::objectValue);
    board["firmware"] = version.firmware;
    board["flashSizeKiB"] = version.flashSizeKiB;
    board["idcode"] = Json::UInt(version.idcode);
    board["serial"] = version.serial;
    return board;
}

namespace {

template <typename Map>
void appendList(std::string& text, const char* name, const Map& entries, const char* end)
{
    text += std::string("  \"") + name + "\": [";
    CompactJsonWriter writer;
    bool first = true;
    for (const auto& entry : entries) {
        text += first ? "\n    " : ",\n    ";
        text += writer.write(entry.second);
        first = false;
    }
    text += entries.empty() ? "]" : "\n  ]";
    text += end;
}

} // namespace

std::string documentText(const ConfigurationDocument& document)
{
    CompactJsonWriter writer;
    std::string text = "{\n";
    text += std::string("  \"format\": \"") + ConfigurationDocument::formatName + "\",\n";
    text += "  \"version\": " + std::to_string(ConfigurationDocument::formatVersion) + ",\n";
    text += "  \"board\": " + writer.write(document.board) + ",\n";
    appendList(text, "features", document.features, ",\n");
    appendList(text, "nodes", document.nodes, "\n");
    text += "}\n";
    return text;
}

bool readDocument(const std::string& text, ConfigurationDocument& document, std::string& error)
{
    document = ConfigurationDocument();
    Json::Value root;
    if (!readRelayJson(text, root)) {
        error = "is no JSON object";
        return false;
    }
    if (root["format"] != ConfigurationDocument::formatName) {
        error = std::string("is no board configuration (its \"format\" is not \"") + ConfigurationDocument::formatName +
                "\")";
        return false;
    }
    if (!root["version"].isIntegral() || root["version"].asLargestInt() != ConfigurationDocument::formatVersion) {
        error = "has format version " + CompactJsonWriter().write(root["version"]) + "; this vantrel reads version " +
                std::to_string(ConfigurationDocument::formatVersion) + " (a newer vantrel may read it)";
        return false;
    }
    if (root.isMember("board")) {
        if (!root["board"].isObject()) {
            error = "has a \"board\" that is no object";
            return false;
        }
        document.board = root["board"];
    }
    const Json::Value& features = root["features"];
    const Json::Value& nodes = root["nodes"];
    if (!(features.isArray() || features.isNull()) || !(nodes.isArray() || nodes.isNull())) {
        error = "has \"features\" or \"nodes\" that are no lists";
        return false;
    }
    for (const Json::Value& feature : features) {
        if (!feature.isObject() || !feature["feature"].isString()) {
            error = "has a feature without a \"feature\" name";
            return false;
        }
        if (!document.features.emplace(feature["feature"].asString(), feature).second) {
            error = "names the feature " + feature["feature"].asString() + " twice";
            return false;
        }
    }
    for (const Json::Value& node : nodes) {
        const Json::Value& id = node.isObject() ? node["id"] : Json::Value::nullSingleton();
        if (!id.isIntegral() || id.asLargestInt() < 1 || id.asLargestInt() > 65535 || !node["type"].isString()) {
            error = "has a node without an \"id\" from 1 to 65535 and a \"type\"";
            return false;
        }
        if (!document.nodes.emplace(id.asInt(), node).second) {
            error = "has two nodes with the id " + std::to_string(id.asInt());
            return false;
        }
    }
    return true;
}

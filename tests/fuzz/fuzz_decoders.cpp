// Every node and feature decoder on any record, cut and padded as received messages are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <json/json.h>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "core/logger.h"
#include "device/received_message.h"
#include "json/compact_json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    logger.threshold = LOG_THRESHOLD_OFF;
    static const NodeConversionRegistry* nodes = [] {
        auto* made = new NodeConversionRegistry;
        made->registerNodeConversions();
        return made;
    }();
    static const FeatureConversionRegistry* features = [] {
        auto* made = new FeatureConversionRegistry;
        made->registerFeatureConversions();
        return made;
    }();
    const ReceivedMessage message(std::vector<uint8_t>(data, data + size));
    CompactJsonWriter writer;
    for (const auto& conversion : nodes->conversions()) {
        Json::Value node;
        conversion->decodeToJson(node, message.record(), message.recordSize());
        if (!node.isObject() || writer.write(node).empty())
            std::abort();
    }
    for (const auto& conversion : features->conversions()) {
        Json::Value feature;
        conversion->decodeToJson(feature, message.record(), message.recordSize());
        if (!feature.isObject() || feature["feature"].asString() != conversion->name)
            std::abort();
        if (writer.write(feature).empty())
            std::abort();
    }
    return 0;
}

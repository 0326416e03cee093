#pragma once

#include <cstdint>

#include <json/json.h>

#include "device/serial_message.h"

// The 11 bytes every node record begins with: type, length, a spare byte, then the node's id and editor position.
struct NodeRecordHeader {
    static constexpr int idOffset = 5;
    static constexpr int xOffset = 7;
    static constexpr int yOffset = 9;
    static constexpr int size = 11;

    uint16_t id = 0;
    int16_t x = 0;
    int16_t y = 0;

    void writeTo(SerialMessage& record) const;
};

// Sets node["id"] and node["pos"]["x"], node["pos"]["y"] from a record's header.
void writeNodeHeaderJson(const uint8_t* record, Json::Value& node);

#pragma once

#include "conversion/node_conversion.h"

// Computing node types described entirely by their field tables, plus the constant with its own kind byte.

class NodeConversion_binaryop : public TableNodeConversion {
public:
    NodeConversion_binaryop();
};

class NodeConversion_clamp : public TableNodeConversion {
public:
    NodeConversion_clamp();
};

class NodeConversion_inrange : public TableNodeConversion {
public:
    NodeConversion_inrange();
};

// Decodes with the extra "prop_color_value" text made from its three inputs.
class NodeConversion_color : public TableNodeConversion {
public:
    NodeConversion_color();
};

// Kind byte 0 number, 1 colour (not a SourceOrValue).
class NodeConversion_constant : public TableNodeConversion {
public:
    NodeConversion_constant();
    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
};

class NodeConversion_delta : public TableNodeConversion {
public:
    NodeConversion_delta();
};

class NodeConversion_invert : public TableNodeConversion {
public:
    NodeConversion_invert();
};

class NodeConversion_millis : public TableNodeConversion {
public:
    NodeConversion_millis();
};

class NodeConversion_geocalc : public TableNodeConversion {
public:
    NodeConversion_geocalc();
};

#pragma once

#include "conversion/node_conversion.h"

// Computing node types: mix, noise, pid, scale, selector, slew, snapto, store, strobe, struct, structmember, timer
// and unaryop. Most are described entirely by their field tables.

class NodeConversion_mix : public TableNodeConversion {
public:
    NodeConversion_mix();
};

class NodeConversion_noise : public TableNodeConversion {
public:
    NodeConversion_noise();
};

class NodeConversion_pid : public TableNodeConversion {
public:
    NodeConversion_pid();
};

class NodeConversion_scale : public TableNodeConversion {
public:
    NodeConversion_scale();
};

class NodeConversion_selector : public TableNodeConversion {
public:
    NodeConversion_selector();
};

class NodeConversion_slew : public TableNodeConversion {
public:
    NodeConversion_slew();
};

class NodeConversion_snapto : public TableNodeConversion {
public:
    NodeConversion_snapto();
};

class NodeConversion_store : public TableNodeConversion {
public:
    NodeConversion_store();
};

// Reads the 64-step pattern as "prop_flags1" / "prop_flags2" and gives it back as one "prop_strobe_pattern" text.
class NodeConversion_strobe : public TableNodeConversion {
public:
    NodeConversion_strobe();
};

// Eight inputs that the decoder takes as one 40-byte block: all of them or none.
class NodeConversion_struct : public TableNodeConversion {
public:
    NodeConversion_struct();
    Json::Value& decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const override;
};

// The editor counts members from 1, the board from 0.
class NodeConversion_structmember : public TableNodeConversion {
public:
    NodeConversion_structmember();
    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
};

class NodeConversion_timer : public TableNodeConversion {
public:
    NodeConversion_timer();
};

class NodeConversion_unaryop : public TableNodeConversion {
public:
    NodeConversion_unaryop();
};

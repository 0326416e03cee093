#pragma once

#include "conversion/node_conversion.h"

// Node types that connect the graph to sensors, pins and buses. Most are described by their field tables alone;
// the MIDI input channel, the display place counts and the potentiometer's initial value add their own code.

class NodeConversion_analogInput : public TableNodeConversion {
public:
    NodeConversion_analogInput();
};

class NodeConversion_digitalInput : public TableNodeConversion {
public:
    NodeConversion_digitalInput();
};

class NodeConversion_baroInput : public TableNodeConversion {
public:
    NodeConversion_baroInput();
};

class NodeConversion_gpsInput : public TableNodeConversion {
public:
    NodeConversion_gpsInput();
};

class NodeConversion_hx711Input : public TableNodeConversion {
public:
    NodeConversion_hx711Input();
};

class NodeConversion_imuInput : public TableNodeConversion {
public:
    NodeConversion_imuInput();
};

class NodeConversion_magInput : public TableNodeConversion {
public:
    NodeConversion_magInput();
};

class NodeConversion_logInput : public TableNodeConversion {
public:
    NodeConversion_logInput();
};

// Any negative channel (the default when none is given) travels as 255, "all channels".
class NodeConversion_midiInput : public TableNodeConversion {
public:
    NodeConversion_midiInput();
    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
};

// Same record as the duty-cycle output, but the decoder takes "active" before the pin.
class NodeConversion_digitalOutput : public TableNodeConversion {
public:
    NodeConversion_digitalOutput();
};

class NodeConversion_dutyPWMOutput : public TableNodeConversion {
public:
    NodeConversion_dutyPWMOutput();
};

// The number of whole and decimal places the display shows are limited to 0..9 on encoding.
class NodeConversion_displayOutput : public TableNodeConversion {
public:
    NodeConversion_displayOutput();
    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
};

// The initial value is a fraction 0..1 in the editor and a 7-bit wiper step on the board.
class NodeConversion_ds3502Output : public TableNodeConversion {
public:
    NodeConversion_ds3502Output();
    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
};

class NodeConversion_gamepadOutput : public TableNodeConversion {
public:
    NodeConversion_gamepadOutput();
};

class NodeConversion_logOutput : public TableNodeConversion {
public:
    NodeConversion_logOutput();
};

class NodeConversion_midiOutput : public TableNodeConversion {
public:
    NodeConversion_midiOutput();
};

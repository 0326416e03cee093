#pragma once

#include "conversion/node_conversion.h"

// Hardware input and output node types: radio, PPM, serial remote control, servos, LED strips, rotary encoder and
// pressure sensor. Each is described by its field table; the few renamed or combined keys are written by field
// writers of the table.

class NodeConversion_nrf24Input : public TableNodeConversion {
public:
    NodeConversion_nrf24Input();
};

// The radio and PPM outputs share one layout and one encoder, which writes the message type of the converter it
// runs for; only the struct names of their decoders differ.
class NodeConversion_nrf24Output : public TableNodeConversion {
public:
    NodeConversion_nrf24Output();
};

class NodeConversion_ppmOutput : public TableNodeConversion {
public:
    NodeConversion_ppmOutput();
};

class NodeConversion_ppmInput : public TableNodeConversion {
public:
    NodeConversion_ppmInput();
};

class NodeConversion_servoPWMInput : public TableNodeConversion {
public:
    NodeConversion_servoPWMInput();
};

class NodeConversion_serialrcInput : public TableNodeConversion {
public:
    NodeConversion_serialrcInput();
};

class NodeConversion_serialrcOutput : public TableNodeConversion {
public:
    NodeConversion_serialrcOutput();
};

class NodeConversion_serialServoOutput : public TableNodeConversion {
public:
    NodeConversion_serialServoOutput();
};

class NodeConversion_servoPWMOutput : public TableNodeConversion {
public:
    NodeConversion_servoPWMOutput();
};

class NodeConversion_rgbRangeOutput : public TableNodeConversion {
public:
    NodeConversion_rgbRangeOutput();
};

// The editor sends the LED set as four bit fields "prop_flags1".."prop_flags4" and gets it back as the index-range
// text "prop_rgbled_indices" (for example "1-2,4,128").
class NodeConversion_rgbIndicesOutput : public TableNodeConversion {
public:
    NodeConversion_rgbIndicesOutput();
};

// Read from "prop_rotaryencoder_predelta", written back as "prop_rotaryencoderinput".
class NodeConversion_rotaryencoderInput : public TableNodeConversion {
public:
    NodeConversion_rotaryencoderInput();
};

class NodeConversion_xgzpInput : public TableNodeConversion {
public:
    NodeConversion_xgzpInput();
};

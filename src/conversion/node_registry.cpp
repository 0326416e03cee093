#include <memory>

#include "conversion/node_conversion.h"
#include "conversion/nodes_io_first.h"
#include "conversion/nodes_io_second.h"
#include "conversion/nodes_mapping.h"
#include "conversion/nodes_math_first.h"
#include "conversion/nodes_math_second.h"

// Lookups return the first match, so the order is part of the behaviour: it follows the board's node table
// (the number after each line is the position in that table).
void NodeConversionRegistry::registerNodeConversions()
{
    list.push_back(std::make_unique<NodeConversion_digitalInput>()); // 1
    list.push_back(std::make_unique<NodeConversion_analogInput>()); // 2
    list.push_back(std::make_unique<NodeConversion_servoPWMInput>()); // 3
    list.push_back(std::make_unique<NodeConversion_gpsInput>()); // 4
    list.push_back(std::make_unique<NodeConversion_imuInput>()); // 5
    list.push_back(std::make_unique<NodeConversion_serialrcInput>()); // 6
    list.push_back(std::make_unique<NodeConversion_nrf24Input>()); // 7
    list.push_back(std::make_unique<NodeConversion_ppmInput>()); // 8
    list.push_back(std::make_unique<NodeConversion_rotaryencoderInput>()); // 9
    list.push_back(std::make_unique<NodeConversion_hx711Input>()); // 10
    list.push_back(std::make_unique<NodeConversion_baroInput>()); // 11
    list.push_back(std::make_unique<NodeConversion_magInput>()); // 12
    list.push_back(std::make_unique<NodeConversion_logInput>()); // 13
    list.push_back(std::make_unique<NodeConversion_midiInput>()); // 14
    list.push_back(std::make_unique<NodeConversion_xgzpInput>()); // 15
    list.push_back(std::make_unique<NodeConversion_digitalOutput>()); // 16
    list.push_back(std::make_unique<NodeConversion_servoPWMOutput>()); // 17
    list.push_back(std::make_unique<NodeConversion_dutyPWMOutput>()); // 18
    list.push_back(std::make_unique<NodeConversion_nrf24Output>()); // 19
    list.push_back(std::make_unique<NodeConversion_ppmOutput>()); // 20
    list.push_back(std::make_unique<NodeConversion_rgbIndicesOutput>()); // 21
    list.push_back(std::make_unique<NodeConversion_rgbRangeOutput>()); // 22
    list.push_back(std::make_unique<NodeConversion_displayOutput>()); // 23
    list.push_back(std::make_unique<NodeConversion_serialrcOutput>()); // 24
    list.push_back(std::make_unique<NodeConversion_logOutput>()); // 25
    list.push_back(std::make_unique<NodeConversion_midiOutput>()); // 26
    list.push_back(std::make_unique<NodeConversion_serialServoOutput>()); // 27
    list.push_back(std::make_unique<NodeConversion_gamepadOutput>()); // 28
    list.push_back(std::make_unique<NodeConversion_ds3502Output>()); // 29
    list.push_back(std::make_unique<NodeConversion_constant>()); // 30
    list.push_back(std::make_unique<NodeConversion_clamp>()); // 31
    list.push_back(std::make_unique<NodeConversion_inrange>()); // 32
    list.push_back(std::make_unique<NodeConversion_scale>()); // 33
    list.push_back(std::make_unique<NodeConversion_unaryop>()); // 34
    list.push_back(std::make_unique<NodeConversion_binaryop>()); // 35
    list.push_back(std::make_unique<NodeConversion_timer>()); // 36
    list.push_back(std::make_unique<NodeConversion_selector>()); // 37
    list.push_back(std::make_unique<NodeConversion_color>()); // 38
    list.push_back(std::make_unique<NodeConversion_mix>()); // 39
    list.push_back(std::make_unique<NodeConversion_slew>()); // 40
    list.push_back(std::make_unique<NodeConversion_noise>()); // 41
    list.push_back(std::make_unique<NodeConversion_invert>()); // 42
    list.push_back(std::make_unique<NodeConversion_strobe>()); // 43
    list.push_back(std::make_unique<NodeConversion_millis>()); // 44
    list.push_back(std::make_unique<NodeConversion_geocalc>()); // 45
    list.push_back(std::make_unique<NodeConversion_snapto>()); // 46
    list.push_back(std::make_unique<NodeConversion_store>()); // 47
    list.push_back(std::make_unique<NodeConversion_mapping>()); // 48
    list.push_back(std::make_unique<NodeConversion_mappingBidirectional>()); // 49
    list.push_back(std::make_unique<NodeConversion_pid>()); // 50
    list.push_back(std::make_unique<NodeConversion_delta>()); // 51
    list.push_back(std::make_unique<NodeConversion_struct>()); // 52
    list.push_back(std::make_unique<NodeConversion_structmember>()); // 53
}

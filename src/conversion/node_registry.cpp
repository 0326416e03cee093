#include <memory>

#include "conversion/node_conversion.h"
#include "conversion/nodes_mapping.h"
#include "conversion/nodes_math_first.h"

// Lookups return the first match, so the order is part of the behaviour: it follows the board's node table
// (the number after each line is the position in that table).
void NodeConversionRegistry::registerNodeConversions()
{
    list.push_back(std::make_unique<NodeConversion_constant>()); // 30
    list.push_back(std::make_unique<NodeConversion_clamp>());    // 31
    list.push_back(std::make_unique<NodeConversion_inrange>());  // 32
    list.push_back(std::make_unique<NodeConversion_binaryop>()); // 35
    list.push_back(std::make_unique<NodeConversion_color>());    // 38
    list.push_back(std::make_unique<NodeConversion_invert>());   // 42
    list.push_back(std::make_unique<NodeConversion_millis>());   // 44
    list.push_back(std::make_unique<NodeConversion_geocalc>());  // 45
    list.push_back(std::make_unique<NodeConversion_mapping>());  // 48
    list.push_back(std::make_unique<NodeConversion_mappingBidirectional>()); // 49
    list.push_back(std::make_unique<NodeConversion_delta>());    // 51
}

#include <memory>

#include "conversion/board_features.h"
#include "conversion/feature_conversion.h"
#include "conversion/feature_nrf24.h"

// Lookups return the first match; the order is the board's feature table.
void FeatureConversionRegistry::registerFeatureConversions()
{
    list.push_back(std::make_unique<FeatureConversion_display>());
    list.push_back(std::make_unique<FeatureConversion_dutypwm>());
    list.push_back(std::make_unique<FeatureConversion_rgbled>());
    list.push_back(std::make_unique<FeatureConversion_gps>());
    list.push_back(std::make_unique<FeatureConversion_ppminput>());
    list.push_back(std::make_unique<FeatureConversion_ppmoutput>());
    list.push_back(std::make_unique<FeatureConversion_uartlog>());
    list.push_back(std::make_unique<FeatureConversion_uartport>());
    list.push_back(std::make_unique<FeatureConversion_nrf24>());
    list.push_back(std::make_unique<FeatureConversion_mag>());
}

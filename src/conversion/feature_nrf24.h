#pragma once

#include "conversion/feature_conversion.h"

// The radio link. Its "format" list (a sequence of 4-byte "f" and 1-byte "b" values) travels as a mask of field
// starts and a data byte count.
class FeatureConversion_nrf24 : public TableFeatureConversion {
public:
    FeatureConversion_nrf24();
    void encodeFromJson(const Json::Value& feature, SerialMessage& record) const override;
};

#pragma once

#include "conversion/feature_conversion.h"

// The board features whose records are plain field tables.

class FeatureConversion_display : public TableFeatureConversion {
public:
    FeatureConversion_display();
};

class FeatureConversion_dutypwm : public TableFeatureConversion {
public:
    FeatureConversion_dutypwm();
};

class FeatureConversion_rgbled : public TableFeatureConversion {
public:
    FeatureConversion_rgbled();
};

class FeatureConversion_gps : public TableFeatureConversion {
public:
    FeatureConversion_gps();
};

// ppminput and ppmoutput share one layout and encoder.
class FeatureConversion_ppminput : public TableFeatureConversion {
public:
    FeatureConversion_ppminput();
};

class FeatureConversion_ppmoutput : public TableFeatureConversion {
public:
    FeatureConversion_ppmoutput();
};

class FeatureConversion_uartlog : public TableFeatureConversion {
public:
    FeatureConversion_uartlog();
};

class FeatureConversion_uartport : public TableFeatureConversion {
public:
    FeatureConversion_uartport();
};

class FeatureConversion_mag : public TableFeatureConversion {
public:
    FeatureConversion_mag();
};

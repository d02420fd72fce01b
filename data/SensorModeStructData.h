#pragma once

#include "data/EntryListData.h"
#include "data/SensorModeParam.h"

// The sensor-mode parameters: a 2-byte sensor count, then 14 bytes per sensor.
class SensorModeStructData : public EntryListData<SensorModeParam>
{
public:
    SensorModeStructData();

    std::string toString() const override;
};

#include "data/SensorModeStructData.h"

SensorModeStructData::SensorModeStructData() : EntryListData(2) {}

std::string SensorModeStructData::toString() const
{
    std::string text;
    for (const SensorModeParam& sensor : entries())
        text += "name:" + sensor.name() + ", value:" + std::to_string(sensor.value()) + "\n";
    return text;
}

#include "data/SensorModeStructData.h"

SensorModeStructData::SensorModeStructData() : EntryListData(2) {}

std::unique_ptr<Data> SensorModeStructData::clone() const
{
    return std::make_unique<SensorModeStructData>(*this);
}

std::string SensorModeStructData::toString() const
{
    std::string text;
    for (const SensorModeParam& sensor : entries())
        text += "name:" + sensor.name() + ", value:" + std::to_string(sensor.value()) + "\n";
    return text;
}

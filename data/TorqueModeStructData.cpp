#include "data/TorqueModeStructData.h"

TorqueModeStructData::TorqueModeStructData() : EntryListData(2) {}

std::string TorqueModeStructData::toString() const
{
    std::string text;
    for (const TorqueModeParam& wrench : entries())
        text += "name:" + wrench.name() + ", value:" + std::to_string(wrench.coefficient()) +
                ", delayTime:" + std::to_string(wrench.delayTime()) + "\n";
    return text;
}

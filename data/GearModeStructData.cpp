#include "data/GearModeStructData.h"

GearModeStructData::GearModeStructData() : EntryListData(1) {}

std::string GearModeStructData::toString() const
{
    std::string text = "level count : " + std::to_string(entries().size()) + "\n";
    std::size_t i = 0;
    for (const GearModeParam& gear : entries())
        text += "level " + std::to_string(i++) + " : " + std::string(1, static_cast<char>(gear.level())) +
                ", value : " + std::to_string(gear.pressure()) + "\n";
    return text;
}

#pragma once

#include "data/EntryListData.h"
#include "data/GearModeParam.h"

// The gear-mode parameters: a 1-byte gear count (255 beyond 255 gears), then 5 bytes per gear.
class GearModeStructData : public EntryListData<GearModeParam>
{
public:
    GearModeStructData();

    std::string toString() const override;
};

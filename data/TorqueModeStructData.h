#pragma once

#include "data/EntryListData.h"
#include "data/TorqueModeParam.h"

// The torque-mode parameters: a 2-byte wrench count, then 15 bytes per wrench.
class TorqueModeStructData : public EntryListData<TorqueModeParam>
{
public:
    TorqueModeStructData();

    std::string toString() const override;
};

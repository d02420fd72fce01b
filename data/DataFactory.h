#pragma once

#include "data/Data.h"

#include <cstdint>
#include <memory>

// Creates an empty content for a content-type id; nothing for ids outside 0-10.
class DataFactory
{
public:
    static DataFactory* instance();

    std::unique_ptr<Data> create(std::int32_t id) const;

private:
    DataFactory() = default;
};

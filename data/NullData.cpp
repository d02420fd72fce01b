#include "data/NullData.h"

std::int32_t NullData::length() const
{
    return 0;
}

std::string NullData::toString() const
{
    return {};
}

std::string NullData::toBytes() const
{
    return {};
}

bool NullData::fromBytes(std::string)
{
    return true;
}

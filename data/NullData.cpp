#include "data/NullData.h"

std::unique_ptr<Data> NullData::clone() const
{
    return std::make_unique<NullData>();
}

void NullData::assign(const Data&) {}

void NullData::copyFrom(const Data&) {}

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

std::string NullData::toHex() const
{
    return {};
}

bool NullData::fromBytes(std::string)
{
    return true;
}

#include "data/DataFactory.h"

#include "data/AngleModeStructData.h"
#include "data/BoltModeStructData.h"
#include "data/DateTimeData.h"
#include "data/FallbackStructData.h"
#include "data/GearModeStructData.h"
#include "data/IntegerData.h"
#include "data/NullData.h"
#include "data/SensorModeStructData.h"
#include "data/StringData.h"
#include "data/StructData.h"
#include "data/TorqueModeStructData.h"

DataFactory* DataFactory::instance()
{
    // Created on first use and kept for the process; the language makes the first
    // creation thread-safe (test, lock, test again, create).
    static DataFactory* const s_instance = new DataFactory;
    return s_instance;
}

std::unique_ptr<Data> DataFactory::create(std::int32_t id) const
{
    switch (static_cast<ContentType>(id)) {
    case ContentType::Null:
        return std::make_unique<NullData>();
    case ContentType::DateTime:
        return std::make_unique<DateTimeData>();
    case ContentType::Integer:
        return std::make_unique<IntegerData>();
    case ContentType::String:
        return std::make_unique<StringData>();
    case ContentType::Struct:
        return std::make_unique<StructData>();
    case ContentType::TorqueMode:
        return std::make_unique<TorqueModeStructData>();
    case ContentType::BoltMode:
        return std::make_unique<BoltModeStructData>();
    case ContentType::AngleMode:
        return std::make_unique<AngleModeStructData>();
    case ContentType::GearMode:
        return std::make_unique<GearModeStructData>();
    case ContentType::SensorMode:
        return std::make_unique<SensorModeStructData>();
    case ContentType::Fallback:
        return std::make_unique<FallbackStructData>();
    }
    return nullptr;
}

#include "data/DateTimeData.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

#include <ctime>

DateTimeData::DateTimeData()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    m_year = static_cast<std::uint16_t>(local.tm_year + 1900);
    m_month = static_cast<std::uint8_t>(local.tm_mon + 1);
    m_day = static_cast<std::uint8_t>(local.tm_mday);
    m_hour = static_cast<std::uint8_t>(local.tm_hour);
    m_minute = static_cast<std::uint8_t>(local.tm_min);
    m_second = static_cast<std::uint8_t>(local.tm_sec);
}

DateTimeData::DateTimeData(std::uint16_t year, std::uint8_t month, std::uint8_t day, std::uint8_t hour,
                           std::uint8_t minute, std::uint8_t second)
    : m_year(year), m_month(month), m_day(day), m_hour(hour), m_minute(minute), m_second(second)
{
}

std::int32_t DateTimeData::length() const
{
    return 7;
}

std::string DateTimeData::toString() const
{
    return std::to_string(m_year) + (m_month < 10 ? "-0" : "-") + std::to_string(m_month) + "-" +
           std::to_string(m_day) + " " + std::to_string(m_hour) + ":" + std::to_string(m_minute) + ":" +
           std::to_string(m_second);
}

std::string DateTimeData::toBytes() const
{
    return util::toBytesU16(m_year) + util::toBytesU8(m_month) + util::toBytesU8(m_day) +
           util::toBytesU8(m_hour) + util::toBytesU8(m_minute) + util::toBytesU8(m_second);
}

bool DateTimeData::fromBytes(std::string bytes)
{
    if (bytes.size() <= 6)
        return false;
    m_year = wire::u16At(bytes, 0);
    m_month = wire::u8At(bytes, 2);
    m_day = wire::u8At(bytes, 3);
    m_hour = wire::u8At(bytes, 4);
    m_minute = wire::u8At(bytes, 5);
    m_second = wire::u8At(bytes, 6);
    return true;
}

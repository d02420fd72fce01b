#pragma once

#include "data/Data.h"

// A calendar date and time: year (2 bytes big-endian), month, day, hour, minute and
// second (1 byte each). No field is range-checked.
class DateTimeData : public Data
{
public:
    // Reads the local wall-clock time.
    DateTimeData();
    DateTimeData(std::uint16_t year, std::uint8_t month, std::uint8_t day, std::uint8_t hour,
                 std::uint8_t minute, std::uint8_t second);

    std::uint16_t year() const { return m_year; }
    std::uint8_t month() const { return m_month; }
    std::uint8_t day() const { return m_day; }
    std::uint8_t hour() const { return m_hour; }
    std::uint8_t minute() const { return m_minute; }
    std::uint8_t second() const { return m_second; }

    void setYear(std::uint16_t year) { m_year = year; }
    void setMonth(std::uint8_t month) { m_month = month; }
    void setDay(std::uint8_t day) { m_day = day; }
    void setHour(std::uint8_t hour) { m_hour = hour; }
    void setMinute(std::uint8_t minute) { m_minute = minute; }
    void setSecond(std::uint8_t second) { m_second = second; }

    std::int32_t length() const override;
    // "2024-05-7 9:5:3": the month two digits wide, the other fields unpadded.
    std::string toString() const override;
    std::string toBytes() const override;
    // 6 bytes or fewer: false, the value is kept. Bytes after the seventh are ignored.
    bool fromBytes(std::string bytes) override;

private:
    std::uint16_t m_year = 0;
    std::uint8_t m_month = 0;
    std::uint8_t m_day = 0;
    std::uint8_t m_hour = 0;
    std::uint8_t m_minute = 0;
    std::uint8_t m_second = 0;
};

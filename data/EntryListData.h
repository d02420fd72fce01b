#pragma once

#include "data/Data.h"
#include "data/WireFields.h"
#include "util/Conversions.h"

#include <cstddef>
#include <utility>
#include <vector>

// Common base of the mode contents that are a count field followed by fixed-size entries
// (torque, gear and sensor modes). The count field is 1 byte, holding the count or 255
// beyond 255 entries, or 2 bytes big-endian holding the low 16 bits of the count; every
// entry is written either way, so length() always equals the size of toBytes(), but a list
// whose count does not fit does not read back as written.
//
// Entry supplies kWireSize, appendTo(std::string&) and static readAt(bytes, pos).
template <typename Entry> class EntryListData : public Data
{
public:
    std::int32_t countWidth() const { return m_countWidth; }
    const std::vector<Entry>& entries() const { return m_entries; }
    void addEntry(Entry entry) { m_entries.push_back(std::move(entry)); }
    void clearEntries() { m_entries.clear(); }

    std::int32_t length() const override
    {
        return static_cast<std::int32_t>(static_cast<std::size_t>(m_countWidth) +
                                         Entry::kWireSize * m_entries.size());
    }

    std::string toBytes() const override
    {
        std::string bytes;
        bytes.reserve(static_cast<std::size_t>(length()));
        const std::size_t count = m_entries.size();
        if (m_countWidth == 1)
            bytes += util::toBytesU8(static_cast<std::uint8_t>(count > 255 ? 255 : count));
        else
            bytes += util::toBytesU16(static_cast<std::uint16_t>(count));
        for (const Entry& entry : m_entries)
            entry.appendTo(bytes);
        return bytes;
    }

    // Appends the entries read. Input shorter than the count field or than the entries
    // the count announces: false, nothing appended. Bytes after the last entry are ignored.
    bool fromBytes(std::string bytes) override
    {
        const std::size_t width = static_cast<std::size_t>(m_countWidth);
        if (bytes.size() < width)
            return false;
        const std::size_t count = width == 1 ? wire::u8At(bytes, 0) : wire::u16At(bytes, 0);
        if (bytes.size() < width + Entry::kWireSize * count)
            return false;
        m_entries.reserve(m_entries.size() + count);
        for (std::size_t i = 0; i < count; ++i)
            m_entries.push_back(Entry::readAt(bytes, width + Entry::kWireSize * i));
        return true;
    }

protected:
    // countWidth: 1 or 2.
    explicit EntryListData(std::int32_t countWidth) : m_countWidth(countWidth) {}
    EntryListData(const EntryListData&) = default;

private:
    std::int32_t m_countWidth;
    std::vector<Entry> m_entries;
};

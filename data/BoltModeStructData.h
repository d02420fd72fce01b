#pragma once

#include "data/BoltTableRecord.h"
#include "data/Data.h"

#include <cstddef>
#include <utility>

// The bolt-mode parameters of one wrench: a 10-byte name, then the metric block and the
// imperial block. length() = 16 + the sum over both blocks of 10 D + 10 G + 4 D G.
//
// toBytes() first pads each block's torque list with zeros up to D * G values, and the
// content keeps them, so toString() after toBytes() can show the added zeros.
class BoltModeStructData : public Data
{
public:
    BoltModeStructData() = default;

    const BoltTableRecord& record() const { return m_record; }
    BoltTableRecord& record() { return m_record; }
    const std::string& name() const { return m_record.name(); }
    void setName(std::string name) { m_record.setName(std::move(name)); }
    const BoltStandardBlock& block(std::size_t k) const { return m_record.block(k); }
    BoltStandardBlock& block(std::size_t k) { return m_record.block(k); }

    std::int32_t length() const override;
    std::string toString() const override;
    std::string toBytes() const override;
    // Fewer than 13 bytes: false, nothing changed. Otherwise sets the name and appends to
    // the blocks' lists; on a false result what was read before the failure stays.
    bool fromBytes(std::string bytes) override;

private:
    mutable BoltTableRecord m_record; // toBytes() pads the torque lists
};

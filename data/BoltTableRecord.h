#pragma once

#include "data/BoltStandardBlock.h"

#include <array>
#include <cstddef>
#include <string>

// The bolt table of one wrench: its name and exactly two standard blocks, index 0 the
// metric standard and index 1 the imperial standard.
class BoltTableRecord
{
public:
    static constexpr std::size_t kMetric = 0;
    static constexpr std::size_t kImperial = 1;
    static constexpr std::size_t kBlockCount = 2;

    const std::string& name() const { return m_name; }
    void setName(std::string name);

    // k is kMetric or kImperial; any other index throws std::out_of_range.
    const BoltStandardBlock& block(std::size_t k) const { return m_blocks.at(k); }
    BoltStandardBlock& block(std::size_t k) { return m_blocks.at(k); }

private:
    std::string m_name;
    std::array<BoltStandardBlock, kBlockCount> m_blocks;
};

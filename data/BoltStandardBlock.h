#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One bolt standard of the bolt-mode table: the diameter names, the grade names and the
// torques, one per diameter and grade, kept in wire order.
//
// Wire form: standard byte, diameter count (low 8 bits), 10 bytes per diameter name,
// grade count (low 8 bits), 10 bytes per grade name, then D * G torques, 4 bytes
// big-endian each. More than 255 names are all written although the count byte cannot
// say so: the size stays right but such a block does not read back as written.
class BoltStandardBlock
{
public:
    const std::vector<std::string>& diameterNames() const { return m_diameterNames; }
    const std::vector<std::string>& gradeNames() const { return m_gradeNames; }
    const std::vector<std::int32_t>& torques() const { return m_torques; }

    void addDiameterName(std::string name);
    void addGradeName(std::string name);
    void addTorque(std::int32_t torque) { m_torques.push_back(torque); }

    // D * G: the number of torques on the wire.
    std::size_t tableSize() const { return m_diameterNames.size() * m_gradeNames.size(); }
    std::size_t wireSize() const;

    // Appends zero torques until the list holds tableSize() values (the block keeps
    // them), then appends the block's wire form with the given standard byte.
    void writeTo(std::string& out, std::uint8_t standard);

    // Appends to the lists what the block at pos holds and moves pos past it. False when a
    // count byte, the start of a name or a whole torque lies beyond the input; what was
    // read before stays. A name cut by the end of the input is kept as far as it goes.
    bool readFrom(const std::string& bytes, std::size_t& pos);

private:
    std::vector<std::string> m_diameterNames;
    std::vector<std::string> m_gradeNames;
    std::vector<std::int32_t> m_torques;
};

#include "data/BoltTableRecord.h"

#include <utility>

void BoltTableRecord::setName(std::string name)
{
    m_name = std::move(name);
}

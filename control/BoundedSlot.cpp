#include "control/BoundedSlot.h"

BoundedSlot::BoundedSlot(std::atomic<int>& count, int bound) : m_count(count)
{
    m_taken = m_count.fetch_add(1) < bound;
    if (!m_taken)
        m_count.fetch_sub(1);
}

BoundedSlot::~BoundedSlot()
{
    if (m_taken)
        m_count.fetch_sub(1);
}

#pragma once

#include <atomic>

// Counts one more of a bounded kind (requests waiting at once) while alive; taken() is false
// when the bound was reached, and then nothing is counted.
class BoundedSlot
{
public:
    BoundedSlot(std::atomic<int>& count, int bound);
    ~BoundedSlot();
    BoundedSlot(const BoundedSlot&) = delete;
    BoundedSlot& operator=(const BoundedSlot&) = delete;

    bool taken() const { return m_taken; }

private:
    std::atomic<int>& m_count;
    bool m_taken = false;
};

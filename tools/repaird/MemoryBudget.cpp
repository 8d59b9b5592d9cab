#include "MemoryBudget.h"

bool MemoryBudget::Take(std::uint64_t bytes) {
    std::uint64_t used = m_used.load();
    do {
        if (bytes > m_limit || used > m_limit - bytes) {
            return false;
        }
    } while (!m_used.compare_exchange_weak(used, used + bytes));
    return true;
}

void MemoryBudget::Give(std::uint64_t bytes) {
    m_used.fetch_sub(bytes);
}

bool MemoryClaim::Grow(std::uint64_t bytes) {
    if (!m_budget->Take(bytes)) {
        return false;
    }
    m_held += bytes;
    return true;
}

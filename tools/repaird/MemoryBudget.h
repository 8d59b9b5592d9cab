// One allowance of memory shared by all of a server's sessions, so that many clients
// together cannot take more than the operator gave the server.
#pragma once

#include <atomic>
#include <cstdint>

class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t bytes) : m_limit(bytes) {}
    // Takes `bytes` if they fit; false, taking nothing, when they do not.
    bool Take(std::uint64_t bytes);
    void Give(std::uint64_t bytes);
    std::uint64_t InUse() const { return m_used.load(); }
    std::uint64_t Limit() const { return m_limit; }

private:
    const std::uint64_t m_limit;
    std::atomic<std::uint64_t> m_used{0};
};

// What one session holds of a budget; all of it goes back when the claim ends.
class MemoryClaim {
public:
    explicit MemoryClaim(MemoryBudget* budget) : m_budget(budget) {}
    ~MemoryClaim() { m_budget->Give(m_held); }
    MemoryClaim(const MemoryClaim&) = delete;
    MemoryClaim& operator=(const MemoryClaim&) = delete;

    // Takes `bytes` more; false, taking nothing, when the budget has no room.
    bool Grow(std::uint64_t bytes);
    std::uint64_t Held() const { return m_held; }
    MemoryBudget& Budget() const { return *m_budget; }

private:
    MemoryBudget* m_budget;
    std::uint64_t m_held = 0;
};

#pragma once

#include <cstdint>
#include <mutex>

// Hands out transaction ids: 1, 2, ... wrapping at 2^32. Thread-safe.
class CTransactionCounter {
public:
    // The process-wide counter. Any thread.
    static CTransactionCounter& Instance();

    // The next id. Any thread.
    std::uint32_t Next();

private:
    std::mutex m_lock;
    std::uint32_t m_nValue = 0;  // guarded by m_lock
};

// Next() of the process-wide counter. Any thread.
std::uint32_t NextTransactionId();

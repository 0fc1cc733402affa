#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>

// Hands out transaction ids: 1, 2, ... wrapping at 2^32. Thread-safe.
class CTransactionCounter {
public:
    // The process-wide counter. Any thread.
    static CTransactionCounter& Instance();

    // The next id. Any thread.
    std::uint32_t Next() EXCLUDES(m_lock);

private:
    CMutex m_lock;
    std::uint32_t m_nValue GUARDED_BY(m_lock) = 0;
};

// Next() of the process-wide counter. Any thread.
std::uint32_t NextTransactionId();

#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>

// Hands out transaction ids: 1, 2, ... wrapping at 2^32. Thread-safe.
class CTransactionCounter {
public:
    // Counts on from nLast (a restarted server goes on where the last one stopped, so
    // a recorder never sees an id of the previous run again soon). Any thread.
    explicit CTransactionCounter(std::uint32_t nLast = 0) : m_nValue(nLast) {}

    // The next id. Any thread.
    std::uint32_t Next() EXCLUDES(m_lock);
    // The last id handed out. Any thread.
    std::uint32_t Last() EXCLUDES(m_lock);

private:
    CMutex m_lock;
    std::uint32_t m_nValue GUARDED_BY(m_lock) = 0;
};

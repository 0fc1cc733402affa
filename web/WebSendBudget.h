#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>

// The bytes per second the dashboard may send from files (footage) over all its
// connections: a bucket that fills at that rate, up to kBurstMs worth of it (and never
// less than nMinBurst, so that one slice fits). A sender takes what it may send before
// sending and gives back what it did not send. A rate of 0 sets no limit. Times are
// MonotonicMs values, passed in so that the bucket can be followed without a clock.
class CWebSendBudget {
public:
    static constexpr std::int64_t kBurstMs = 100;

    // The owner, before any thread uses the budget.
    void Configure(std::uint64_t nBytesPerSecond, std::uint64_t nMinBurst, std::int64_t nNowMs) EXCLUDES(m_lock);
    // Whether a rate was set. Any thread.
    bool Limited() const { return m_nRate != 0; }
    // Up to nWant bytes that may be sent now (nWant itself when unlimited), 0 when
    // the bucket is empty. Any thread.
    std::uint64_t Take(std::uint64_t nWant, std::int64_t nNowMs) EXCLUDES(m_lock);
    // Gives back bytes taken and not sent. Any thread.
    void Return(std::uint64_t nBytes) EXCLUDES(m_lock);
    // Milliseconds from nNowMs until at least min(nWant, the bucket's size) bytes can
    // be taken; 0 when they can now. Any thread.
    int WaitMs(std::uint64_t nWant, std::int64_t nNowMs) EXCLUDES(m_lock);

private:
    // Adds what the time since the last fill brought (caller holds m_lock).
    void x_FillLocked(std::int64_t nNowMs) REQUIRES(m_lock);

    std::uint64_t m_nRate = 0;  // set by Configure only
    CMutex m_lock;
    std::uint64_t m_nSize GUARDED_BY(m_lock) = 0;   // the most the bucket holds
    std::uint64_t m_nLevel GUARDED_BY(m_lock) = 0;  // what it holds now
    std::int64_t m_nFilledMs GUARDED_BY(m_lock) = 0;
};

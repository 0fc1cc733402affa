#pragma once

#include "platform/Mutex.h"

#include <chrono>
#include <condition_variable>

// A condition variable for a CMutex: a std::condition_variable that waits on the
// CMutex's own std::mutex, so it costs what the standard pair costs. Every wait
// needs the mutex held (through a CMutexLock or CMutexUniqueLock) and returns with
// it held again; wakes may be spurious, so callers wait in a loop on their
// condition. Any thread.
class CCondition {
public:
    CCondition() = default;
    CCondition(const CCondition&) = delete;
    CCondition& operator=(const CCondition&) = delete;

    // Waits until notified.
    void Wait(CMutex& mutex) REQUIRES(mutex);
    // Waits until notified (true) or until deadline has passed (false).
    bool WaitUntil(CMutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex);
    // Waits until notified (true) or for timeout (false).
    bool WaitFor(CMutex& mutex, std::chrono::milliseconds timeout) REQUIRES(mutex);

    // With or without the mutex held.
    void NotifyOne() noexcept { m_cond.notify_one(); }
    void NotifyAll() noexcept { m_cond.notify_all(); }

private:
    std::condition_variable m_cond;
};

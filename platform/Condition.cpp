#include "platform/Condition.h"

#include <mutex>

namespace {

// Lends the caller's held native mutex to a std::unique_lock for one wait and takes
// it back after, however the wait ends: the caller's holder stays the one that
// releases it, and the lock is held on return as the analysis was told.
class CLentLock {
public:
    explicit CLentLock(std::mutex& mutex) : m_native(mutex, std::adopt_lock) {}
    ~CLentLock() { m_native.release(); }
    CLentLock(const CLentLock&) = delete;
    CLentLock& operator=(const CLentLock&) = delete;

    std::unique_lock<std::mutex>& Native() { return m_native; }

private:
    std::unique_lock<std::mutex> m_native;
};

} // namespace

void CCondition::Wait(CMutex& mutex)
{
    CLentLock lent(mutex.m_mutex);
    m_cond.wait(lent.Native());
}

bool CCondition::WaitUntil(CMutex& mutex, std::chrono::steady_clock::time_point deadline)
{
    CLentLock lent(mutex.m_mutex);
    return m_cond.wait_until(lent.Native(), deadline) == std::cv_status::no_timeout;
}

bool CCondition::WaitFor(CMutex& mutex, std::chrono::milliseconds timeout)
{
    return WaitUntil(mutex, std::chrono::steady_clock::now() + timeout);
}

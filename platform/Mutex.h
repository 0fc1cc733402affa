#pragma once

#include "platform/ThreadSafety.h"

#include <mutex>

class CCondition;

// A std::mutex that the thread-safety analysis knows as a lock: fields name it in
// GUARDED_BY, functions in REQUIRES and EXCLUDES. Costs exactly what std::mutex
// costs; hold it through CMutexLock or CMutexUniqueLock, wait on it with CCondition.
// Any thread.
class CAPABILITY("mutex") CMutex {
public:
    constexpr CMutex() noexcept = default;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }
    // True with the lock taken; false at once when another thread holds it.
    [[nodiscard]] bool TryLock() TRY_ACQUIRE(true);

    // The standard library's names, so that std::condition_variable_any and the
    // like accept a CMutex.
    void lock() ACQUIRE() { Lock(); }
    void unlock() RELEASE() { Unlock(); }
    [[nodiscard]] bool try_lock() TRY_ACQUIRE(true) { return TryLock(); }

private:
    // CCondition waits on the native mutex it holds, as std::condition_variable needs.
    friend class CCondition;
    std::mutex m_mutex;
};

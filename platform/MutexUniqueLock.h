#pragma once

#include "platform/Mutex.h"

// Holds a CMutex from construction, with Unlock and Lock to let go of it for a
// stretch in between, like std::unique_lock; released at destruction if held then.
// The analysis follows every Lock and Unlock. Any thread; one thread per object.
class SCOPED_CAPABILITY CMutexUniqueLock {
public:
    explicit CMutexUniqueLock(CMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~CMutexUniqueLock() RELEASE();
    CMutexUniqueLock(const CMutexUniqueLock&) = delete;
    CMutexUniqueLock& operator=(const CMutexUniqueLock&) = delete;

    // Takes the lock again after an Unlock.
    void Lock() ACQUIRE()
    {
        m_mutex.Lock();
        m_bOwns = true;
    }
    // Lets go of the lock until the next Lock (or for good).
    void Unlock() RELEASE()
    {
        m_bOwns = false;
        m_mutex.Unlock();
    }

private:
    CMutex& m_mutex;
    bool m_bOwns = true;
};

inline CMutexUniqueLock::~CMutexUniqueLock()
{
    if (m_bOwns)
        m_mutex.Unlock();
}

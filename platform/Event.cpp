#include "platform/Event.h"

#include "platform/MutexLock.h"
#include "platform/MutexUniqueLock.h"

#include <algorithm>
#include <chrono>

CEvent::CEvent(Mode mode, bool bInitiallySet) : m_mode(mode), m_bSet(bInitiallySet) {}

void CEvent::Set()
{
    CMutexLock guard(m_lock);
    m_bSet = true;
    for (Waiter* pWaiter : m_waiters) {
        CMutexLock waiterGuard(pWaiter->lock);
        pWaiter->bSignalled = true;
        pWaiter->wake.NotifyOne();
    }
}

void CEvent::Reset()
{
    CMutexLock guard(m_lock);
    m_bSet = false;
}

bool CEvent::IsSet() const
{
    CMutexLock guard(m_lock);
    return m_bSet;
}

bool CEvent::TryConsumeLocked()
{
    if (!m_bSet)
        return false;
    if (m_mode == Mode::AutoReset)
        m_bSet = false;
    return true;
}

bool CEvent::Wait(int nTimeoutMs)
{
    return WaitForAny({this}, nTimeoutMs) == 0;
}

int CEvent::WaitForAny(std::initializer_list<CEvent*> events, int nTimeoutMs)
{
    Waiter waiter;
    bool bRegistered = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    // The first listed event that is set, consumed; -1 when none is. On the first
    // pass the waiter is registered with each event checked, under that event's lock,
    // so that a Set coming after the check finds the waiter and wakes it.
    auto Check = [&]() {
        int nIndex = 0;
        for (CEvent* pEvent : events) {
            CMutexLock guard(pEvent->m_lock);
            if (pEvent->TryConsumeLocked())
                return nIndex;
            if (!bRegistered)
                pEvent->m_waiters.push_back(&waiter);
            ++nIndex;
        }
        bRegistered = true;
        return -1;
    };
    // After this no Set can touch the waiter any more.
    auto Leave = [&]() {
        for (CEvent* pEvent : events) {
            CMutexLock guard(pEvent->m_lock);
            auto& list = pEvent->m_waiters;
            list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
        }
    };
    for (;;) {
        int nFound = Check();
        if (nFound >= 0) {
            Leave();
            return nFound;
        }
        CMutexUniqueLock waiterGuard(waiter.lock);
        bool bTimedOut = false;
        while (!waiter.bSignalled && !bTimedOut) {
            if (nTimeoutMs < 0)
                waiter.wake.Wait(waiter.lock);
            else
                bTimedOut = !waiter.wake.WaitUntil(waiter.lock, deadline);
        }
        if (!waiter.bSignalled) {
            waiterGuard.Unlock();
            // One last look: an event set right at the deadline still counts.
            nFound = Check();
            Leave();
            return nFound;
        }
        waiter.bSignalled = false;
    }
}

#include "platform/Event.h"

#include <algorithm>
#include <chrono>

CEvent::CEvent(Mode mode, bool bInitiallySet) : m_mode(mode), m_bSet(bInitiallySet) {}

void CEvent::Set()
{
    std::lock_guard guard(m_lock);
    m_bSet = true;
    for (Waiter* pWaiter : m_waiters) {
        std::lock_guard waiterGuard(pWaiter->lock);
        pWaiter->bSignalled = true;
        pWaiter->wake.notify_one();
    }
}

void CEvent::Reset()
{
    std::lock_guard guard(m_lock);
    m_bSet = false;
}

bool CEvent::IsSet() const
{
    std::lock_guard guard(m_lock);
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
            std::lock_guard guard(pEvent->m_lock);
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
            std::lock_guard guard(pEvent->m_lock);
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
        std::unique_lock waiterGuard(waiter.lock);
        if (nTimeoutMs < 0) {
            waiter.wake.wait(waiterGuard, [&] { return waiter.bSignalled; });
        } else if (!waiter.wake.wait_until(waiterGuard, deadline, [&] { return waiter.bSignalled; })) {
            waiterGuard.unlock();
            // One last look: an event set right at the deadline still counts.
            nFound = Check();
            Leave();
            return nFound;
        }
        waiter.bSignalled = false;
    }
}

#include "depot/TransferScheduler.h"

#include "platform/Event.h"
#include "platform/MutexLock.h"

#include <algorithm>

// A waiter has its slot exactly when it is no longer in m_waiters (the grant takes it
// out under the lock): no flag of its own that the analysis could not check.
struct CTransferScheduler::Waiter {
    // Set once, under the scheduler's lock, when the slot is handed over.
    CEvent granted {CEvent::Mode::AutoReset};
};

CTransferScheduler::CTransferScheduler() = default;

void CTransferScheduler::SetLimit(std::uint32_t nLimit)
{
    CMutexLock guard(m_lock);
    m_nLimit = nLimit;
    // A lowered limit takes nothing back: held slots run out on their own.
    GrantLocked();
}

std::uint32_t CTransferScheduler::Limit() const
{
    CMutexLock guard(m_lock);
    return m_nLimit;
}

bool CTransferScheduler::Acquire(std::uint32_t tRecording, CEvent& quit, bool bRequested)
{
    Waiter waiter;
    WaitKey key;
    {
        CMutexLock guard(m_lock);
        if (quit.IsSet())
            return false;
        if (m_nLimit == 0 || (m_waiters.empty() && m_nActive < m_nLimit)) {
            TakeLocked();
            return true;
        }
        // No slot, or others wait already: a newcomer never overtakes an older waiter.
        key = WaitKey(!bRequested, tRecording, m_nNextSeq++);
        m_waiters.emplace(key, &waiter);
        GrantLocked();
        if (m_waiters.count(key) == 0)
            return true;
    }

    // Quit is listed first, so that a quit set together with the grant wins.
    int nWoken = CEvent::WaitForAny({&quit, &waiter.granted}, -1);
    // The granting thread sets the event under the lock: once we hold it, that Set
    // is over and the waiter may go out of scope.
    CMutexLock guard(m_lock);
    if (nWoken == 1)
        return true;
    if (m_waiters.erase(key) == 0)
        ReleaseLocked();  // granted while quitting: the next waiter gets the slot
    return false;
}

void CTransferScheduler::Release()
{
    CMutexLock guard(m_lock);
    ReleaseLocked();
}

std::uint32_t CTransferScheduler::Active() const
{
    CMutexLock guard(m_lock);
    return m_nActive;
}

std::uint32_t CTransferScheduler::Queued() const
{
    CMutexLock guard(m_lock);
    return static_cast<std::uint32_t>(m_waiters.size());
}

std::uint32_t CTransferScheduler::PeakActive() const
{
    CMutexLock guard(m_lock);
    return m_nPeak;
}

void CTransferScheduler::ResetPeak()
{
    CMutexLock guard(m_lock);
    m_nPeak = m_nActive;
}

void CTransferScheduler::TakeLocked()
{
    ++m_nActive;
    m_nPeak = std::max(m_nPeak, m_nActive);
}

void CTransferScheduler::GrantLocked()
{
    while (!m_waiters.empty() && (m_nLimit == 0 || m_nActive < m_nLimit)) {
        auto first = m_waiters.begin();
        Waiter* pWaiter = first->second;
        m_waiters.erase(first);
        TakeLocked();
        pWaiter->granted.Set();
    }
}

void CTransferScheduler::ReleaseLocked()
{
    // A release without a held slot would let one transfer too many through later.
    if (m_nActive == 0)
        return;
    --m_nActive;
    GrantLocked();
}

#include "core/NotifyCenter.h"

#include "platform/MutexLock.h"
#include "platform/Timing.h"

#include <algorithm>
#include <chrono>
#include <cstring>

VehicleEvent MakeVehicleEvent(const char* szName, std::uint32_t nValue)
{
    VehicleEvent ev {};
    if (szName)
        std::strncpy(ev.szName, szName, sizeof(ev.szName) - 1);
    ev.nValue = nValue;
    return ev;
}

CNotifyCenter& CNotifyCenter::Instance()
{
    static CNotifyCenter s_center;
    return s_center;
}

CNotifyCenter::CNotifyCenter() : m_thread([this] { Run(); }) {}

CNotifyCenter::~CNotifyCenter()
{
    Stop();
}

std::uint32_t CNotifyCenter::Register(INotifyObserver* pObserver)
{
    CMutexLock guard(m_obsLock);
    m_observers.push_back(pObserver);
    return static_cast<std::uint32_t>(m_observers.size());
}

void CNotifyCenter::Post(std::uint32_t nSender, std::uint32_t nKind, const void* pPayload, std::size_t nLength)
{
    NotifyEvent ev;
    ev.nSender = nSender;
    ev.nKind = nKind;
    nLength = std::min(nLength, kNotifyPayloadSize);
    if (pPayload && nLength > 0)
        std::memcpy(ev.payload, pPayload, nLength);
    std::memset(ev.payload + nLength, 0, kNotifyPayloadSize - nLength);
    {
        CMutexLock guard(m_lock);
        m_queue.push_back(ev);
    }
    m_queued.NotifyOne();
}

void CNotifyCenter::Stop()
{
    CMutexLock stopGuard(m_stopLock);
    if (!m_thread.joinable())
        return;
    m_bStop = true;
    m_queued.NotifyAll();
    for (INotifyObserver* pObserver : Observers()) {
        if (pObserver != nullptr)  // null: unregistered
            pObserver->OnNotifyStopping();
    }
    m_thread.join();
}

void CNotifyCenter::Unregister(INotifyObserver* pObserver)
{
    {
        CMutexLock guard(m_obsLock);
        for (INotifyObserver*& pSlot : m_observers) {
            if (pSlot == pObserver)
                pSlot = nullptr;  // handles of the others stay as they are
        }
    }
    pObserver->OnNotifyStopping();
    // A delivery to it under way ends before this returns; later ones skip it.
    CMutexLock deliverGuard(m_deliverLock);
}

INotifyObserver* CNotifyCenter::ObserverOf(std::uint32_t nHandle)
{
    CMutexLock guard(m_obsLock);
    return nHandle >= 1 && nHandle <= m_observers.size() ? m_observers[nHandle - 1] : nullptr;
}

std::vector<INotifyObserver*> CNotifyCenter::Observers()
{
    CMutexLock guard(m_obsLock);
    return m_observers;
}

void CNotifyCenter::Run()
{
    // Events are taken out in batches so that an observer on another thread crosses
    // over once for all that waits, not once per event; order is kept.
    constexpr std::size_t kMaxBatch = 256;
    std::vector<NotifyEvent> batch;
    std::vector<const NotifyEvent*> forObserver;
    while (!m_bStop) {
        {
            CMutexLock guard(m_lock);
            if (m_queue.empty()) {
                // Idle: a post or Stop wakes the wait early.
                m_queued.WaitFor(m_lock, std::chrono::milliseconds(Timing().nPollMs));
                continue;
            }
            std::size_t nTake = std::min(m_queue.size(), kMaxBatch);
            batch.assign(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(nTake));
            m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(nTake));
        }
        const std::size_t nObservers = Observers().size();
        for (std::uint32_t nHandle = 1; nHandle <= nObservers; ++nHandle) {
            CMutexLock deliverGuard(m_deliverLock);
            INotifyObserver* pObserver = ObserverOf(nHandle);
            if (pObserver == nullptr || m_bStop)
                continue;
            forObserver.clear();
            for (const NotifyEvent& ev : batch) {
                if (ev.nSender != nHandle)
                    forObserver.push_back(&ev);
            }
            if (!forObserver.empty())
                pObserver->OnNotifyBatch(forObserver);
        }
    }
}

#include "platform/Event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// One lock and condition for all events: it lets a thread wait for any of several
// events, and events are set rarely enough that sharing costs nothing.
struct EventHub {
    std::mutex lock;
    std::condition_variable changed;
};

EventHub& Hub()
{
    static EventHub s_hub;
    return s_hub;
}

} // namespace

CEvent::CEvent(Mode mode, bool bInitiallySet) : m_mode(mode), m_bSet(bInitiallySet) {}

void CEvent::Set()
{
    EventHub& hub = Hub();
    {
        std::lock_guard guard(hub.lock);
        m_bSet = true;
    }
    hub.changed.notify_all();
}

void CEvent::Reset()
{
    std::lock_guard guard(Hub().lock);
    m_bSet = false;
}

bool CEvent::IsSet() const
{
    std::lock_guard guard(Hub().lock);
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
    EventHub& hub = Hub();
    std::unique_lock guard(hub.lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        int nIndex = 0;
        for (CEvent* pEvent : events) {
            if (pEvent->TryConsumeLocked())
                return nIndex;
            ++nIndex;
        }
        if (nTimeoutMs < 0)
            hub.changed.wait(guard);
        else if (hub.changed.wait_until(guard, deadline) == std::cv_status::timeout) {
            // One last look: an event set right at the deadline still counts.
            nIndex = 0;
            for (CEvent* pEvent : events) {
                if (pEvent->TryConsumeLocked())
                    return nIndex;
                ++nIndex;
            }
            return -1;
        }
    }
}

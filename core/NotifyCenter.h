#pragma once

#include "core/NotifyEvent.h"
#include "core/NotifyObserver.h"
#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

// Carries events from any thread to the registered observers, in posting order,
// on one delivery thread.
class CNotifyCenter {
public:
    // The process-wide center, created (and its thread started) on first use.
    // Process-wide because the process-wide logger posts every line to it, before a
    // server exists and after it is gone, and the window listens across its starts.
    // Any thread.
    static CNotifyCenter& Instance();

    CNotifyCenter();   // starts the delivery thread
    ~CNotifyCenter();  // stops it; registered observers must still be alive
    CNotifyCenter(const CNotifyCenter&) = delete;
    CNotifyCenter& operator=(const CNotifyCenter&) = delete;

    // Appends an observer and returns its handle (never 0), the sender value that
    // skips it. The observer must outlive Stop(). Window thread, before events matter.
    std::uint32_t Register(INotifyObserver* pObserver) EXCLUDES(m_obsLock);

    // Removes an observer: once it returns, nothing reaches the observer, which may then
    // go. Its OnNotifyStopping is called first, so that a delivery waiting for the
    // calling thread gives up. Other observers go on receiving. Any thread but the
    // delivery thread.
    void Unregister(INotifyObserver* pObserver) EXCLUDES(m_deliverLock, m_obsLock);

    // Queues a copy of the first nLength payload bytes (cut to 1024) and returns at
    // once. Any thread.
    void Post(std::uint32_t nSender, std::uint32_t nKind, const void* pPayload, std::size_t nLength)
        EXCLUDES(m_lock);

    // Ends delivery: nothing reaches an observer after it returns; events still
    // queued are discarded. Safe while a delivery waits for the calling thread.
    // Any thread but the delivery thread; later calls do nothing.
    void Stop() EXCLUDES(m_stopLock, m_obsLock);

private:
    void Run() EXCLUDES(m_lock, m_deliverLock, m_obsLock);
    // The observer registered under nHandle now, null when it was removed.
    INotifyObserver* ObserverOf(std::uint32_t nHandle) EXCLUDES(m_obsLock);

    std::vector<INotifyObserver*> Observers() EXCLUDES(m_obsLock);

    CMutex m_deliverLock ACQUIRED_BEFORE(m_obsLock);  // held by the delivery thread while it delivers
    CMutex m_obsLock;                           // guards m_observers, never held in a delivery
    std::vector<INotifyObserver*> m_observers GUARDED_BY(m_obsLock);
    CMutex m_lock;                              // guards m_queue
    CCondition m_queued;
    std::deque<NotifyEvent> m_queue GUARDED_BY(m_lock);
    std::atomic<bool> m_bStop {false};
    CMutex m_stopLock ACQUIRED_BEFORE(m_obsLock);  // serialises Stop
    std::thread m_thread GUARDED_BY(m_stopLock);
};

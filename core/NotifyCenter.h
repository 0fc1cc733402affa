#pragma once

#include "core/NotifyEvent.h"
#include "core/NotifyObserver.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// Carries events from any thread to the registered observers, in posting order,
// on one delivery thread.
class CNotifyCenter {
public:
    // The process-wide center, created (and its thread started) on first use.
    // Any thread.
    static CNotifyCenter& Instance();

    CNotifyCenter();   // starts the delivery thread
    ~CNotifyCenter();  // stops it; registered observers must still be alive
    CNotifyCenter(const CNotifyCenter&) = delete;
    CNotifyCenter& operator=(const CNotifyCenter&) = delete;

    // Appends an observer and returns its handle (never 0), the sender value that
    // skips it. The observer must outlive Stop(). Window thread, before events matter.
    std::uint32_t Register(INotifyObserver* pObserver);

    // Queues a copy of the first nLength payload bytes (cut to 1024) and returns at
    // once. Any thread.
    void Post(std::uint32_t nSender, std::uint32_t nKind, const void* pPayload, std::size_t nLength);

    // Ends delivery: nothing reaches an observer after it returns; events still
    // queued are discarded. Safe while a delivery waits for the calling thread.
    // Any thread but the delivery thread; later calls do nothing.
    void Stop();

private:
    void Run();

    std::vector<INotifyObserver*> Observers();

    std::mutex m_obsLock;                       // guards m_observers, never held in a delivery
    std::vector<INotifyObserver*> m_observers;
    std::mutex m_lock;                          // guards m_queue
    std::condition_variable m_queued;
    std::deque<NotifyEvent> m_queue;
    std::atomic<bool> m_bStop {false};
    std::mutex m_stopLock;                      // serialises Stop
    std::thread m_thread;
};

#pragma once

#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <vector>

// A kernel-style event: manual-reset (stays set until Reset) or auto-reset (a
// successful wait clears it). All members are thread-safe.
class CEvent {
public:
    enum class Mode { ManualReset, AutoReset };

    explicit CEvent(Mode mode, bool bInitiallySet = false);
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;

    // Waits until the event is set; true when it was, false on time-out.
    // nTimeoutMs < 0 waits without limit.
    bool Wait(int nTimeoutMs);

    // Waits until any of the events is set. Returns the index of the first listed
    // event that is set (clearing it if auto-reset), or -1 on time-out.
    static int WaitForAny(std::initializer_list<CEvent*> events, int nTimeoutMs);

private:
    // One waiting thread; Set wakes only the threads that wait for this event.
    struct Waiter {
        std::mutex lock;
        std::condition_variable wake;
        bool bSignalled = false;  // guarded by lock
    };

    // Consumes the event if set (caller holds m_lock).
    bool TryConsumeLocked();

    const Mode m_mode;
    mutable std::mutex m_lock;          // guards m_bSet and m_waiters; taken before a waiter's lock
    bool m_bSet;
    std::vector<Waiter*> m_waiters;
};

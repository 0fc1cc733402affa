#pragma once

#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <initializer_list>
#include <vector>

// A kernel-style event: manual-reset (stays set until Reset) or auto-reset (a
// successful wait clears it). All members are thread-safe.
class CEvent {
public:
    enum class Mode { ManualReset, AutoReset };

    explicit CEvent(Mode mode, bool bInitiallySet = false);
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set() EXCLUDES(m_lock);
    void Reset() EXCLUDES(m_lock);
    [[nodiscard]] bool IsSet() const EXCLUDES(m_lock);

    // Waits until the event is set; true when it was, false on time-out.
    // nTimeoutMs < 0 waits without limit.
    [[nodiscard]] bool Wait(int nTimeoutMs);

    // Waits until any of the events is set. Returns the index of the first listed
    // event that is set (clearing it if auto-reset), or -1 on time-out.
    [[nodiscard]] static int WaitForAny(std::initializer_list<CEvent*> events, int nTimeoutMs);

private:
    // One waiting thread; Set wakes only the threads that wait for this event.
    struct Waiter {
        CMutex lock;
        CCondition wake;
        bool bSignalled GUARDED_BY(lock) = false;
    };

    // Consumes the event if set (caller holds m_lock).
    bool TryConsumeLocked() REQUIRES(m_lock);

    const Mode m_mode;
    mutable CMutex m_lock;              // guards m_bSet and m_waiters; taken before a waiter's lock
    bool m_bSet GUARDED_BY(m_lock);
    std::vector<Waiter*> m_waiters GUARDED_BY(m_lock);
};

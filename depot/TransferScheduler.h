#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <map>
#include <tuple>
#include <utility>

class CEvent;

// Hands out transfer slots: at most Limit() files are received at once, over all
// vehicles. A freed slot goes to the waiting task whose recording starts earliest,
// the footage closest to being overwritten on its recorder; ties go in order of
// arrival. A transfer someone asked for (a footage request) goes before every other:
// requested waiters are granted first, oldest start first among them. A limit of 0
// grants every request at once (slots are still counted).
class CTransferScheduler {
public:
    CTransferScheduler();
    CTransferScheduler(const CTransferScheduler&) = delete;
    CTransferScheduler& operator=(const CTransferScheduler&) = delete;

    // 0 for no limit. A raised limit grants waiting tasks at once. Any thread.
    void SetLimit(std::uint32_t nLimit) EXCLUDES(m_lock);
    std::uint32_t Limit() const EXCLUDES(m_lock);

    // Waits for a slot for a recording starting at tRecording (wall-clock seconds);
    // bRequested puts it ahead of every waiter that is not. True with the slot held;
    // false at once when quit is or becomes set, holding nothing. Channel task thread.
    bool Acquire(std::uint32_t tRecording, CEvent& quit, bool bRequested = false) EXCLUDES(m_lock);
    // Gives a held slot back. Channel task thread.
    void Release() EXCLUDES(m_lock);

    // Figures for the window, the status page and tests. Any thread.
    std::uint32_t Active() const EXCLUDES(m_lock);      // slots held
    std::uint32_t Queued() const EXCLUDES(m_lock);      // tasks waiting
    std::uint32_t PeakActive() const EXCLUDES(m_lock);  // most slots held at once since the last reset
    void ResetPeak() EXCLUDES(m_lock);

private:
    // One waiting Acquire; it lives on that caller's stack.
    struct Waiter;
    // Waiters by (not requested, recording start, arrival): the first is granted
    // next, and a cancelled one leaves in O(log n).
    using WaitKey = std::tuple<bool, std::uint32_t, std::uint64_t>;

    // Takes a slot (caller holds m_lock).
    void TakeLocked() REQUIRES(m_lock);
    // Hands free slots to the first waiters (caller holds m_lock).
    void GrantLocked() REQUIRES(m_lock);
    // Gives a held slot back and passes it on (caller holds m_lock).
    void ReleaseLocked() REQUIRES(m_lock);

    // Taken before a waiter's event's lock.
    mutable CMutex m_lock;
    std::map<WaitKey, Waiter*> m_waiters GUARDED_BY(m_lock);
    std::uint64_t m_nNextSeq GUARDED_BY(m_lock) = 0;
    std::uint32_t m_nLimit GUARDED_BY(m_lock) = 0;
    std::uint32_t m_nActive GUARDED_BY(m_lock) = 0;
    std::uint32_t m_nPeak GUARDED_BY(m_lock) = 0;
};

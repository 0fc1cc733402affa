#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

class CEvent;

// Hands out transfer slots: at most Limit() files are received at once, over all
// vehicles. A freed slot goes to the waiting task whose recording starts earliest,
// the footage closest to being overwritten on its recorder; ties go in order of
// arrival. A limit of 0 grants every request at once (slots are still counted).
class CTransferScheduler {
public:
    // The process-wide scheduler. Any thread.
    static CTransferScheduler& Instance();

    CTransferScheduler();
    CTransferScheduler(const CTransferScheduler&) = delete;
    CTransferScheduler& operator=(const CTransferScheduler&) = delete;

    // 0 for no limit. A raised limit grants waiting tasks at once. Any thread.
    void SetLimit(std::uint32_t nLimit);
    std::uint32_t Limit() const;

    // Waits for a slot for a recording starting at tRecording (wall-clock seconds).
    // True with the slot held; false at once when quit is or becomes set, holding
    // nothing. Channel task thread.
    bool Acquire(std::uint32_t tRecording, CEvent& quit);
    // Gives a held slot back. Channel task thread.
    void Release();

    // Figures for the window, the status page and tests. Any thread.
    std::uint32_t Active() const;       // slots held
    std::uint32_t Queued() const;       // tasks waiting
    std::uint32_t PeakActive() const;   // most slots held at once since the last reset
    void ResetPeak();

private:
    // One waiting Acquire; it lives on that caller's stack.
    struct Waiter;
    // Waiters by (recording start, arrival): the first is granted next, and a
    // cancelled one leaves in O(log n).
    using WaitKey = std::pair<std::uint32_t, std::uint64_t>;

    // Takes a slot (caller holds m_lock).
    void TakeLocked();
    // Hands free slots to the first waiters (caller holds m_lock).
    void GrantLocked();
    // Gives a held slot back and passes it on (caller holds m_lock).
    void ReleaseLocked();

    mutable std::mutex m_lock;  // guards everything below and every queued Waiter
    std::map<WaitKey, Waiter*> m_waiters;
    std::uint64_t m_nNextSeq = 0;
    std::uint32_t m_nLimit = 0;
    std::uint32_t m_nActive = 0;
    std::uint32_t m_nPeak = 0;
};

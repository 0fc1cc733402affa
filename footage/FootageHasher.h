#pragma once

#include "footage/IdleDigester.h"
#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <set>
#include <thread>

class CRecordingCatalogue;

// Hashes the catalogue's recordings in the background, reading each file once for its
// SHA-256 and CRC-32 and storing both in its row. The reading goes on a thread at the
// lowest priority (CIdleDigester: it runs when downloads leave the processor and disk
// idle); the bookkeeping, which takes the catalogue's locks and writes the database,
// on a thread of normal priority, so that no lock others wait for is ever held by a
// thread the system may leave waiting for long.
//
// Work comes two ways. Offer queues a row's id as the catalogue writes it; the queue
// is bounded, and an id that finds it full is not kept but makes the thread walk the
// table's unhashed rows once the queue is empty. The thread also walks them at Start
// and every Timing().nHasherRescanMs. So a row left unhashed (a full queue, a
// restart, a file that could not be read) is found again from the table.
class CFootageHasher {
public:
    static constexpr std::size_t kQueueMax = 1024;
    // Unhashed rows read per look at the table.
    static constexpr std::size_t kPage = 64;

    explicit CFootageHasher(CRecordingCatalogue& catalogue, std::size_t nQueueMax = kQueueMax);
    ~CFootageHasher();  // Stop()
    CFootageHasher(const CFootageHasher&) = delete;
    CFootageHasher& operator=(const CFootageHasher&) = delete;

    // Starts the thread, which first walks the unhashed rows; does nothing while it
    // runs. Any thread.
    void Start() EXCLUDES(m_lock, m_threadLock);
    // Ends the thread, leaving a file it is reading (its row stays unhashed). Any
    // thread; later calls do nothing.
    void Stop() EXCLUDES(m_lock, m_threadLock);

    // Queues a row to hash; never blocks. Any thread (the catalogue's writer).
    void Offer(std::int64_t nId) EXCLUDES(m_lock);
    // Whether the queue is empty, no walk is due and no file is being read. Any thread.
    bool IsIdle() const EXCLUDES(m_lock);
    // Rows hashed, and ids that found the queue full, since construction. Any thread.
    std::uint64_t Hashed() const { return m_nHashed.load(); }
    std::uint64_t Overflows() const { return m_nOverflows.load(); }

private:
    void x_Run() EXCLUDES(m_lock);
    // Hashes the row of nId if it still needs it.
    void x_HashId(std::int64_t nId);
    // One page of a walk over the unhashed rows above nAfter; the last id seen, or
    // -1 when the walk is done.
    std::int64_t x_WalkPage(std::int64_t nAfter) EXCLUDES(m_lock);
    bool x_Stopping() const EXCLUDES(m_lock);

    CRecordingCatalogue& m_catalogue;
    const std::size_t m_nQueueMax;
    std::atomic<std::uint64_t> m_nHashed {0};
    std::atomic<std::uint64_t> m_nOverflows {0};
    CIdleDigester m_digester;

    CMutex m_threadLock ACQUIRED_BEFORE(m_lock);  // Start and Stop, one at a time
    std::thread m_thread GUARDED_BY(m_threadLock);

    mutable CMutex m_lock;
    CCondition m_wake;
    std::deque<std::int64_t> m_queue GUARDED_BY(m_lock);
    bool m_bWalkDue GUARDED_BY(m_lock) = false;  // a walk is to begin
    bool m_bBusy GUARDED_BY(m_lock) = false;     // reading a file or walking
    bool m_bStop GUARDED_BY(m_lock) = false;
    // Rows whose file could not be hashed, logged once each (bounded: see x_HashId).
    std::set<std::int64_t> m_failed GUARDED_BY(m_lock);
};

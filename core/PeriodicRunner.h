#pragma once

#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "platform/Timing.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Runs periodic tasks, each with its own period from Timing(), one at a time on one
// thread. Every task runs at Start, in the order added, then again its period after
// its run ended; due tasks run in the order they fell due, so a slow run never makes
// another task run twice in a row to catch up, and none is passed over for good.
// A run that takes long delays every other task by as long: runs must stay short.
// Long work goes in steps: a task that returns true has more to do and runs again as
// soon as every task due before has had its turn. A task that throws is logged (once
// until it runs cleanly again) and runs again after its period.
class CPeriodicRunner {
public:
    // One run; true when there is more to do at once.
    using Task = std::function<bool()>;

    CPeriodicRunner() = default;
    ~CPeriodicRunner();  // Stop(), and waits for a thread its own task told to end
    CPeriodicRunner(const CPeriodicRunner&) = delete;
    CPeriodicRunner& operator=(const CPeriodicRunner&) = delete;

    // Adds a task run every Timing().*pPeriod ms (read anew after each run). False,
    // and nothing added, while the thread runs. Before Start, any thread.
    bool Add(std::string name, int ZelTiming::*pPeriod, Task task) EXCLUDES(m_lock, m_threadLock);

    // Starts the thread; does nothing while it runs. A thread told to end by its own
    // task is waited for first. False, starting nothing, when called from a task.
    // Any thread.
    bool Start() EXCLUDES(m_joinLock, m_lock, m_threadLock);

    // Ends the thread: a wait ends at once, a running task is let finish. Returns once
    // the thread is gone; later calls do nothing. From a task it only tells the thread
    // to end and returns at once (a thread never waits for itself); the next Start,
    // Stop or the destructor from another thread waits for it. Any thread.
    void Stop() EXCLUDES(m_joinLock, m_lock, m_threadLock);

    // Whether the calling thread is the runner's. Any thread.
    bool IsRunnerThread() const;
    // The system id of the runner's thread (CurrentThreadId), 0 before its first run.
    // Any thread.
    int ThreadId() const { return m_nThreadId.load(); }

private:
    struct Entry {
        std::string name;
        int ZelTiming::*pPeriod = nullptr;
        Task task;
        std::int64_t nDueMs = 0;
        std::uint64_t nTurn = 0;   // breaks ties of nDueMs: who fell due first
        bool bFailing = false;     // its last run threw, and that is logged
    };

    void x_Run() EXCLUDES(m_lock);
    // The entry that is due first; caller holds m_lock and m_tasks is not empty.
    std::size_t x_NextDue() const REQUIRES(m_lock);

    // Start and a Stop from outside the thread, one at a time; the thread never takes
    // it, so a join under it cannot wait for a task that waits for it.
    CMutex m_joinLock ACQUIRED_BEFORE(m_threadLock, m_lock);
    CMutex m_threadLock ACQUIRED_BEFORE(m_lock);
    std::thread m_thread GUARDED_BY(m_threadLock);
    // Set by the thread itself, so that it knows itself while a stopper holds m_thread.
    std::atomic<std::thread::id> m_runnerId {};
    std::atomic<int> m_nThreadId {0};

    CMutex m_lock;
    CCondition m_wake;  // Stop's
    std::vector<Entry> m_tasks GUARDED_BY(m_lock);
    std::uint64_t m_nTurns GUARDED_BY(m_lock) = 0;
    bool m_bRunning GUARDED_BY(m_lock) = false;  // a thread exists and was not told to end
    bool m_bStop GUARDED_BY(m_lock) = false;
};

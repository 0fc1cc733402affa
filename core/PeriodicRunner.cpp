#include "core/PeriodicRunner.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/MutexUniqueLock.h"
#include "platform/System.h"

#include <algorithm>
#include <chrono>
#include <exception>

CPeriodicRunner::~CPeriodicRunner()
{
    Stop();
}

bool CPeriodicRunner::Add(std::string name, int ZelTiming::*pPeriod, Task task)
{
    CMutexLock thread(m_threadLock);
    // The thread reads the list without the lock while a task runs.
    if (m_thread.joinable())
        return false;
    CMutexLock guard(m_lock);
    Entry entry;
    entry.name = std::move(name);
    entry.pPeriod = pPeriod;
    entry.task = std::move(task);
    m_tasks.push_back(std::move(entry));
    return true;
}

bool CPeriodicRunner::Start()
{
    if (IsRunnerThread())
        return false;
    CMutexLock join(m_joinLock);
    std::thread old;
    {
        CMutexLock thread(m_threadLock);
        CMutexLock guard(m_lock);
        if (m_bRunning)
            return true;
        old = std::move(m_thread);
    }
    if (old.joinable())
        old.join();  // told to end by its own task
    CMutexLock thread(m_threadLock);
    {
        CMutexLock guard(m_lock);
        const std::int64_t nNow = MonotonicMs();
        for (Entry& entry : m_tasks) {
            entry.nDueMs = nNow;
            entry.nTurn = m_nTurns++;
            entry.bFailing = false;
        }
        m_bStop = false;
        m_bRunning = true;
    }
    m_thread = std::thread([this] { x_Run(); });
    return true;
}

void CPeriodicRunner::Stop()
{
    {
        CMutexLock guard(m_lock);
        m_bStop = true;
        m_bRunning = false;
    }
    m_wake.NotifyAll();
    if (IsRunnerThread())
        return;
    // A second stopper waits here until the first has joined.
    CMutexLock join(m_joinLock);
    std::thread thread;
    {
        CMutexLock guard(m_threadLock);
        thread = std::move(m_thread);
    }
    if (thread.joinable())
        thread.join();
}

bool CPeriodicRunner::IsRunnerThread() const
{
    return m_runnerId.load() == std::this_thread::get_id();
}

std::size_t CPeriodicRunner::x_NextDue() const
{
    std::size_t nBest = 0;
    for (std::size_t i = 1; i < m_tasks.size(); ++i) {
        const Entry& entry = m_tasks[i];
        const Entry& best = m_tasks[nBest];
        if (entry.nDueMs < best.nDueMs || (entry.nDueMs == best.nDueMs && entry.nTurn < best.nTurn))
            nBest = i;
    }
    return nBest;
}

void CPeriodicRunner::x_Run()
{
    m_runnerId = std::this_thread::get_id();
    m_nThreadId = CurrentThreadId();
    CMutexUniqueLock guard(m_lock);
    while (!m_bStop) {
        if (m_tasks.empty()) {
            m_wake.Wait(m_lock);
            continue;
        }
        const std::size_t nIndex = x_NextDue();
        const std::int64_t nWaitMs = m_tasks[nIndex].nDueMs - MonotonicMs();
        if (nWaitMs > 0) {
            m_wake.WaitFor(m_lock, std::chrono::milliseconds(nWaitMs));
            continue;
        }
        // The list does not change while the thread exists (Add refuses then).
        const Task* pTask = &m_tasks[nIndex].task;
        const std::string* pName = &m_tasks[nIndex].name;
        guard.Unlock();

        bool bMore = false;
        std::string failure;
        bool bFailed = false;
        try {
            bMore = (*pTask)();
        } catch (const std::exception& e) {
            bFailed = true;
            failure = e.what();
        } catch (...) {
            bFailed = true;
            failure = "unknown exception";
        }

        guard.Lock();
        Entry& entry = m_tasks[nIndex];
        const bool bLog = bFailed && !entry.bFailing;
        entry.bFailing = bFailed;
        entry.nDueMs = MonotonicMs() + (bMore && !bFailed ? 0 : std::max(1, Timing().*entry.pPeriod));
        entry.nTurn = m_nTurns++;
        if (bLog) {
            // Logged without the lock: the log may be slow, Stop must not wait for it.
            guard.Unlock();
            WriteLog(Format("periodic task %s failed: %s", pName->c_str(), failure.c_str()));
            guard.Lock();
        }
    }
    guard.Unlock();
    m_runnerId = std::thread::id();
}

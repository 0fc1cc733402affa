#pragma once

#include "footage/Sha256File.h"
#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <string>
#include <thread>

// Reads files for their digest (DigestFile) on a thread of its own at the lowest
// priority. That thread takes no lock but this object's: preempted for long, as an
// idle thread is whenever anything else wants the processor, it holds up nobody but
// the caller waiting for its digest, never a download or a database writer.
class CIdleDigester {
public:
    CIdleDigester() = default;
    ~CIdleDigester();  // Stop()
    CIdleDigester(const CIdleDigester&) = delete;
    CIdleDigester& operator=(const CIdleDigester&) = delete;

    // Starts the thread; does nothing while it runs. Any thread.
    void Start() EXCLUDES(m_lock, m_threadLock);
    // Ends a digest under way (its caller gets ECANCELED) and the thread. Any thread.
    void Stop() EXCLUDES(m_lock, m_threadLock);

    // The digest of path, read on the idle thread while the caller waits: 0, or
    // DigestFile's errno; ECANCELED when stopped. One caller at a time.
    int Digest(const std::string& path, FileDigest& digest) EXCLUDES(m_lock);

private:
    void x_Run() EXCLUDES(m_lock);

    CMutex m_threadLock ACQUIRED_BEFORE(m_lock);
    std::thread m_thread GUARDED_BY(m_threadLock);
    std::atomic<bool> m_bCancel {false};

    CMutex m_lock;
    CCondition m_wake;  // a job, or the end
    CCondition m_done;  // a result
    std::string m_strPath GUARDED_BY(m_lock);
    bool m_bJob GUARDED_BY(m_lock) = false;
    bool m_bDone GUARDED_BY(m_lock) = false;
    bool m_bStop GUARDED_BY(m_lock) = true;  // no thread
    int m_nResult GUARDED_BY(m_lock) = 0;
    FileDigest m_result GUARDED_BY(m_lock);
};

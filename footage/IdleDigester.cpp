#include "footage/IdleDigester.h"

#include "platform/MutexLock.h"
#include "platform/System.h"

#include <cerrno>
#include <utility>

CIdleDigester::~CIdleDigester()
{
    Stop();
}

void CIdleDigester::Start()
{
    CMutexLock threadGuard(m_threadLock);
    if (m_thread.joinable())
        return;
    {
        CMutexLock guard(m_lock);
        m_bStop = false;
        m_bJob = false;
        m_bDone = false;
    }
    m_bCancel = false;
    m_thread = std::thread([this] { x_Run(); });
}

void CIdleDigester::Stop()
{
    CMutexLock threadGuard(m_threadLock);
    {
        CMutexLock guard(m_lock);
        m_bStop = true;
    }
    m_bCancel = true;
    m_wake.NotifyAll();
    m_done.NotifyAll();
    if (m_thread.joinable())
        m_thread.join();
}

int CIdleDigester::Digest(const std::string& path, FileDigest& digest)
{
    CMutexLock guard(m_lock);
    if (m_bStop)
        return ECANCELED;
    m_strPath = path;
    m_bJob = true;
    m_bDone = false;
    m_wake.NotifyOne();
    while (!m_bDone && !m_bStop)
        m_done.Wait(m_lock);
    if (!m_bDone)
        return ECANCELED;
    m_bDone = false;
    digest = std::move(m_result);
    return m_nResult;
}

void CIdleDigester::x_Run()
{
    // Downloads come first: this thread only takes what they leave.
    LowerThreadPriority();
    for (;;) {
        std::string path;
        {
            CMutexLock guard(m_lock);
            while (!m_bStop && !m_bJob)
                m_wake.Wait(m_lock);
            if (m_bStop)
                return;
            m_bJob = false;
            path = m_strPath;
        }
        FileDigest digest;
        const int nResult = DigestFile(path, digest, &m_bCancel);
        CMutexLock guard(m_lock);
        m_result = std::move(digest);
        m_nResult = nResult;
        m_bDone = true;
        m_done.NotifyAll();
    }
}

#include "shell/DiskSpaceMonitor.h"

#include "core/PeriodicRunner.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"

CDiskSpaceMonitor::CDiskSpaceMonitor() : m_query(FreeDiskSpace) {}

void CDiskSpaceMonitor::SetQuery(FreeSpaceQuery query)
{
    CMutexLock guard(m_lock);
    m_query = std::move(query);
}

void CDiskSpaceMonitor::AddTo(CPeriodicRunner& runner)
{
    runner.Add("disk space check", &ZelTiming::nDiskCheckPeriodMs, [this] {
        Check();
        return false;
    });
}

void CDiskSpaceMonitor::Start(const std::string& path, LowSpaceHandler onLow)
{
    CMutexLock guard(m_lock);
    m_path = path;
    m_onLow = std::move(onLow);
    m_bWatching = true;
    ++m_nWatch;
}

void CDiskSpaceMonitor::Stop()
{
    CMutexLock guard(m_lock);
    m_bWatching = false;
}

void CDiskSpaceMonitor::Check()
{
    FreeSpaceQuery query;
    std::string path;
    std::uint64_t nWatch = 0;
    {
        CMutexLock guard(m_lock);
        if (!m_bWatching)
            return;
        query = m_query;
        path = m_path;
        nWatch = m_nWatch;
    }
    // Asked without the lock: a slow volume must not hold up Stop.
    std::optional<std::uint64_t> nFree = query(path);
    if (!nFree || *nFree / 1024 / 1024 >= kMinFreeMiB)
        return;
    LowSpaceHandler onLow;
    {
        CMutexLock guard(m_lock);
        if (!m_bWatching || m_nWatch != nWatch)
            return;  // stopped meanwhile
        m_bWatching = false;
        onLow = m_onLow;
    }
    onLow();
}

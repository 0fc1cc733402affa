#include "shell/DiskSpaceMonitor.h"

#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"

CDiskSpaceMonitor::CDiskSpaceMonitor() : m_query(FreeDiskSpace) {}

CDiskSpaceMonitor::~CDiskSpaceMonitor()
{
    Stop();
    CMutexLock guard(m_lock);
    if (m_thread.joinable())
        m_thread.join();  // a monitor that stopped itself ends right after its handler
}

void CDiskSpaceMonitor::SetQuery(FreeSpaceQuery query)
{
    m_query = std::move(query);
}

void CDiskSpaceMonitor::Start(const std::string& path, LowSpaceHandler onLow)
{
    CMutexLock guard(m_lock);
    if (m_thread.joinable())
        m_thread.join();  // the previous period's monitor has been told to end
    m_hQuit.Reset();
    m_thread = std::thread([this, path, onLow = std::move(onLow)] { Run(path, onLow); });
}

void CDiskSpaceMonitor::Stop()
{
    m_hQuit.Set();
    std::thread thread;
    {
        CMutexLock guard(m_lock);
        if (!m_thread.joinable() || m_thread.get_id() == std::this_thread::get_id())
            return;
        thread = std::move(m_thread);
    }
    thread.join();
}

void CDiskSpaceMonitor::Run(std::string path, LowSpaceHandler onLow)
{
    do {
        std::optional<std::uint64_t> nFree = m_query(path);
        if (nFree && *nFree / 1024 / 1024 < kMinFreeMiB) {
            onLow();
            return;
        }
    } while (!m_hQuit.Wait(Timing().nDiskCheckPeriodMs));
}

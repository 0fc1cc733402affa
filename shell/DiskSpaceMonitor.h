#pragma once

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

// Watches the free space of the download directory's volume while the server runs
// and calls a handler, once, when fewer than 256 MiB are free.
class CDiskSpaceMonitor {
public:
    using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::string& path)>;
    using LowSpaceHandler = std::function<void()>;

    static constexpr std::uint64_t kMinFreeMiB = 256;

    CDiskSpaceMonitor();
    ~CDiskSpaceMonitor();
    CDiskSpaceMonitor(const CDiskSpaceMonitor&) = delete;
    CDiskSpaceMonitor& operator=(const CDiskSpaceMonitor&) = delete;

    // Replaces the free-space query (tests). Before Start.
    void SetQuery(FreeSpaceQuery query);

    // Checks path at once, then every period, on its own thread; onLow runs on that
    // thread, after which the monitor ends. Window thread.
    void Start(const std::string& path, LowSpaceHandler onLow) EXCLUDES(m_lock);

    // Ends the checks; waits for the thread unless called from it (or from onLow).
    // Any thread.
    void Stop() EXCLUDES(m_lock);

private:
    void Run(std::string path, LowSpaceHandler onLow);

    FreeSpaceQuery m_query;
    CEvent m_hQuit {CEvent::Mode::ManualReset};
    CMutex m_lock;
    std::thread m_thread GUARDED_BY(m_lock);
};

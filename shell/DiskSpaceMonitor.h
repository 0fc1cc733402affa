#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class CPeriodicRunner;

// Watches the free space of the download directory's volume while the server runs
// and calls a handler, once, when fewer than 256 MiB are free. The checks run on a
// periodic runner (AddTo), every Timing().nDiskCheckPeriodMs.
class CDiskSpaceMonitor {
public:
    using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::string& path)>;
    using LowSpaceHandler = std::function<void()>;

    static constexpr std::uint64_t kMinFreeMiB = 256;

    CDiskSpaceMonitor();
    CDiskSpaceMonitor(const CDiskSpaceMonitor&) = delete;
    CDiskSpaceMonitor& operator=(const CDiskSpaceMonitor&) = delete;

    // Replaces the free-space query (tests). Any thread; the next check uses it.
    void SetQuery(FreeSpaceQuery query) EXCLUDES(m_lock);

    // Adds the check to runner. Before the runner starts.
    void AddTo(CPeriodicRunner& runner);

    // Watches path from the next check on (the runner's start checks at once); onLow
    // runs on the runner's thread, after which the monitor watches no more. Window
    // thread (server start).
    void Start(const std::string& path, LowSpaceHandler onLow) EXCLUDES(m_lock);

    // Ends the watch: no check that begins after it calls onLow. Any thread, onLow's
    // included.
    void Stop() EXCLUDES(m_lock);

    // One check, when watching. The runner's thread (or a test).
    void Check() EXCLUDES(m_lock);

private:
    CMutex m_lock;
    FreeSpaceQuery m_query GUARDED_BY(m_lock);
    std::string m_path GUARDED_BY(m_lock);
    LowSpaceHandler m_onLow GUARDED_BY(m_lock);
    bool m_bWatching GUARDED_BY(m_lock) = false;
    std::uint64_t m_nWatch GUARDED_BY(m_lock) = 0;  // counts Starts, so that a check ends only its own watch
};

#pragma once

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

// Deletes finished recordings (.mp4) from the store so that a depot left alone
// never fills its disk: those whose date directory is older than a number of days,
// and, when free space falls below a floor, the oldest ones until it is 10% above
// it. Never a partial file (.td), never a file of a vehicle that is downloading.
// Each deletion is logged; directories left empty below the vehicle's are removed.
class CRetention {
public:
    using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::string& path)>;
    // Names of the vehicles whose files must not be touched now.
    using BusyVehicles = std::function<std::set<std::string>()>;
    // The current wall-clock seconds.
    using Clock = std::function<std::uint32_t()>;

    CRetention();
    ~CRetention();  // Stop()
    CRetention(const CRetention&) = delete;
    CRetention& operator=(const CRetention&) = delete;

    // Replace the free-space query (default FreeDiskSpace), the busy list (default
    // none) and the clock (default WallClockNow). Before Start.
    void SetQuery(FreeSpaceQuery query);
    void SetBusyVehicles(BusyVehicles busy);
    void SetClock(Clock clock);

    // One sweep of a rule over root; 0 turns it off. The number of files deleted.
    // Any thread (the retention thread, or a test).
    int ApplyAge(const std::string& root, std::uint32_t nRetainDays) EXCLUDES(m_sweepLock);
    int ApplySpace(const std::string& root, std::uint32_t nMinFreeMb) EXCLUDES(m_sweepLock);

    // Runs both rules at once, then the age rule every Timing().nRetentionAgeMs and the
    // space rule every Timing().nRetentionSpaceMs, on its own thread; starts nothing
    // when both are 0. Window thread (server start).
    void Start(const std::string& root, std::uint32_t nRetainDays, std::uint32_t nMinFreeMb) EXCLUDES(m_threadLock);
    // Ends the thread and waits for it. Any thread; later calls do nothing.
    void Stop() EXCLUDES(m_threadLock);

private:
    // The sweeps; pQuit, when given, ends a sweep between two deletions.
    int SweepAge(const std::string& root, std::uint32_t nRetainDays, const CEvent* pQuit) EXCLUDES(m_sweepLock);
    int SweepSpace(const std::string& root, std::uint32_t nMinFreeMb, const CEvent* pQuit) EXCLUDES(m_sweepLock);
    // The thread's body; it never takes m_threadLock, which Stop holds while it joins.
    void Run(std::string root, std::uint32_t nRetainDays, std::uint32_t nMinFreeMb)
        EXCLUDES(m_sweepLock, m_threadLock);

    FreeSpaceQuery m_query;
    BusyVehicles m_busy;
    Clock m_clock;
    CMutex m_sweepLock;           // one sweep at a time; guards m_bFloorReported
    // "no recording left" logged since space was last above the floor
    bool m_bFloorReported GUARDED_BY(m_sweepLock) = false;
    CEvent m_hQuit {CEvent::Mode::ManualReset};
    CMutex m_threadLock;          // guards m_thread
    std::thread m_thread GUARDED_BY(m_threadLock);
};

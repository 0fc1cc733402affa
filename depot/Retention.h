#pragma once

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CPeriodicRunner;

// Deletes finished recordings (.mp4) from the store so that a depot left alone
// never fills its disk: those whose date directory is older than a number of days,
// and, when free space falls below a floor, the oldest ones until it is 10% above
// it. Never a partial file (.td), never a file of a vehicle that is downloading.
// Each deletion is logged; directories left empty below the vehicle's are removed.
// On a periodic runner (AddTo) a sweep goes in steps of at most kDeletionsPerStep
// deletions, so that the runner's other tasks wait at most one step for their turn.
class CRetention {
public:
    using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::string& path)>;
    // Names of the vehicles whose files must not be touched now.
    using BusyVehicles = std::function<std::set<std::string>()>;
    // The current wall-clock seconds.
    using Clock = std::function<std::uint32_t()>;
    // Told of each recording deleted: its path relative to the root, as
    // vehicle/date/chNN/name.mp4.
    using OnDeleted = std::function<void(const std::string& relPath)>;
    // One finished recording of the store, with the directories that hold it.
    struct Recording;

    static constexpr std::size_t kDeletionsPerStep = 16;

    CRetention();
    ~CRetention();
    CRetention(const CRetention&) = delete;
    CRetention& operator=(const CRetention&) = delete;

    // Replace the free-space query (default FreeDiskSpace), the busy list (default
    // none) and the clock (default WallClockNow). Before Start.
    void SetQuery(FreeSpaceQuery query);
    void SetBusyVehicles(BusyVehicles busy);
    void SetClock(Clock clock);
    // Who is told of each deletion (default nobody). Before Start.
    void SetOnDeleted(OnDeleted onDeleted);

    // One whole sweep of a rule over root; 0 turns it off. The number of files deleted.
    // Any thread (a test).
    int ApplyAge(const std::string& root, std::uint32_t nRetainDays) EXCLUDES(m_sweepLock);
    int ApplySpace(const std::string& root, std::uint32_t nMinFreeMb) EXCLUDES(m_sweepLock);

    // Adds the age rule, every Timing().nRetentionAgeMs, and the space rule, every
    // Timing().nRetentionSpaceMs, to runner. Before the runner starts.
    void AddTo(CPeriodicRunner& runner);
    // The rules the runner's tasks apply from now on (the runner's start runs both at
    // once); 0 turns a rule off. Window thread (server start).
    void Start(const std::string& root, std::uint32_t nRetainDays, std::uint32_t nMinFreeMb)
        EXCLUDES(m_configLock, m_sweepLock);
    // Ends a step under way between two deletions; the tasks do nothing until the next
    // Start. Any thread; later calls do nothing.
    void Stop() EXCLUDES(m_configLock);

    // One step of a rule, as the runner's tasks run it; true while its sweep goes on.
    // The space rule waits while an age sweep goes on: what that deletes may already
    // satisfy it. The runner's thread (or a test).
    bool StepAge() EXCLUDES(m_configLock, m_sweepLock);
    bool StepSpace() EXCLUDES(m_configLock, m_sweepLock);

private:
    // A sweep under way: what it found, and how far it got.
    struct Pass {
        bool bActive = false;
        std::vector<Recording> todo;
        std::size_t nNext = 0;
        std::uint64_t nFree = 0;  // the space rule's last figure
    };
    struct Config {
        bool bOn = false;
        std::string root;
        std::uint32_t nRetainDays = 0;
        std::uint32_t nMinFreeMb = 0;
    };

    // Up to nMax deletions of a sweep, begun when pass is not active; pass stays active
    // while the sweep has more to do. pQuit, when given, ends the sweep between two
    // deletions. The number of files deleted.
    int x_AgeStep(const std::string& root, std::uint32_t nRetainDays, Pass& pass, std::size_t nMax,
                  const CEvent* pQuit) REQUIRES(m_sweepLock);
    int x_SpaceStep(const std::string& root, std::uint32_t nMinFreeMb, Pass& pass, std::size_t nMax,
                    const CEvent* pQuit) REQUIRES(m_sweepLock);
    // Begins a space sweep when free space is below nFloor: the recordings of the vehicles
    // not busy (busy, asked here), oldest first. False when there is nothing to do.
    bool x_BeginSpacePass(const std::string& root, std::uint64_t nFloor, Pass& pass, std::set<std::string>& busy,
                          const CEvent* pQuit) REQUIRES(m_sweepLock);
    // At a space sweep's end with nFree bytes free: logs once while still below the floor.
    void x_ReportFloor(std::uint64_t nFree, std::uint32_t nMinFreeMb) REQUIRES(m_sweepLock);
    Config x_Config() EXCLUDES(m_configLock);

    FreeSpaceQuery m_query;
    BusyVehicles m_busy;
    Clock m_clock;
    OnDeleted m_onDeleted;
    CMutex m_sweepLock;           // one step at a time
    // "no recording left" logged since space was last above the floor
    bool m_bFloorReported GUARDED_BY(m_sweepLock) = false;
    Pass m_agePass GUARDED_BY(m_sweepLock);
    Pass m_spacePass GUARDED_BY(m_sweepLock);
    CEvent m_hQuit {CEvent::Mode::ManualReset};
    CMutex m_configLock;
    Config m_config GUARDED_BY(m_configLock);
};

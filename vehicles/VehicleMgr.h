#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "vehicles/Vehicle.h"
#include "vehicles/VehicleStatus.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class CNotifyCenter;

// The table of online vehicles, keyed by name. Lock order: registry lock, then
// table lock. The registry lock keeps a vehicle alive between Find and Release.
// The analysis checks that Add runs under a CVehicleLookup of the same registry.
class CVehicleMgr {
public:
    using Clock = std::function<std::uint32_t()>;

    // Vehicles get parts and post to its notification center. Any thread.
    explicit CVehicleMgr(const ServerParts& parts);
    virtual ~CVehicleMgr();
    CVehicleMgr(const CVehicleMgr&) = delete;
    CVehicleMgr& operator=(const CVehicleMgr&) = delete;

    // Creates and stores a vehicle; the caller holds the registry lock through a
    // CVehicleLookup. Receive thread.
    CVehicle* Add(const VehicleInfo& info) REQUIRES(m_registryLock) EXCLUDES(m_tableLock);

    // Stops, destroys and erases a vehicle; absent names are no error. Window thread.
    void Remove(const std::string& name) EXCLUDES(m_registryLock, m_tableLock);
    // Removes every vehicle in name order, posting NOTIFY_VEHICLE 0 for each.
    // Whichever thread stops the server.
    void RemoveAll() EXCLUDES(m_registryLock, m_tableLock);
    // Replaces names with the online vehicles' names in order. Window thread.
    void GetNames(std::vector<std::string>& names) EXCLUDES(m_registryLock, m_tableLock);

    // Online vehicles, and whether name is one. Any thread.
    std::size_t Count() EXCLUDES(m_tableLock);
    bool IsOnline(const std::string& name) EXCLUDES(m_tableLock);
    // Every online vehicle's figures, in name order. Any thread.
    std::vector<VehicleStatus> Snapshot() EXCLUDES(m_tableLock);
    // Names of the vehicles whose download pass runs now. Any thread.
    std::set<std::string> DownloadingNames() EXCLUDES(m_tableLock);

    // The one-second tick: posts speed and progress of fresh vehicles, removes those
    // silent for more than the expiry. The server's periodic runner (or a test).
    void OnTimer() EXCLUDES(m_registryLock, m_tableLock);
    void OnTimer(std::uint32_t nNow) EXCLUDES(m_registryLock, m_tableLock);

    // The current time in seconds, as keepalives and expiry reckon it. Any thread.
    std::uint32_t Now() const;
    // The parts its vehicles use. Any thread.
    const ServerParts& Parts() const { return m_parts; }

    // Replaces the clock (tests). Before any vehicle exists.
    void SetClock(Clock clock);
    // The body of each channel's download, given to new vehicles (CDownloadTask by
    // default). Before Start.
    void SetTaskFunction(CVehicle::TaskFunction task);

private:
    friend class CVehicleLookup;
    // Looks a vehicle up and returns with the registry lock held, found or not;
    // Release must follow (CVehicleLookup pairs them).
    CVehicle* Find(const std::string& name) ACQUIRE(m_registryLock) EXCLUDES(m_tableLock);
    void Release() RELEASE(m_registryLock);

    CNotifyCenter& Center();
    // Tells the fleet history that a vehicle left. Any thread.
    void RecordDeparture(const CVehicle& vehicle);

    const ServerParts m_parts;
    Clock m_clock;
    CVehicle::TaskFunction m_task;
    CMutex m_registryLock ACQUIRED_BEFORE(m_tableLock);
    CMutex m_tableLock;  // guards m_table
    std::map<std::string, std::unique_ptr<CVehicle>> m_table GUARDED_BY(m_tableLock);
};

#pragma once

#include "central/CentralStore.h"
#include "depot/FleetHistory.h"
#include "depot/Retention.h"
#include "footage/AuditLog.h"
#include "footage/FootageHasher.h"
#include "footage/FootageRequests.h"
#include "footage/RecordingCatalogue.h"
#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "server/DepotServer.h"
#include "shell/DiskSpaceMonitor.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

class CLogRing;
class CSettingsFile;

// Starting and stopping the server, as the window's Start and Stop and the headless
// server do it: at each Start the settings are read into a fresh snapshot and a new
// CDepotServer is built and bound; at Stop it is stopped and let go. What outlives
// the runs lives here: the fleet history (the window shows it while stopped), the
// recordings catalogue with its hasher and the audit trail (in the history's
// fleet.db), the disk monitor, and the hooks tests set.
class CServerControl {
public:
    // home holds QorConfig.xml and fleet.db, and a relative download directory is
    // taken inside it; empty means the working directory, as the programs run. The
    // record index lives in indexDir; empty means beside the executable
    // (CRecordIndex::DefaultDirectory), or in home when one is given. Window thread
    // (main thread).
    explicit CServerControl(std::filesystem::path home = {}, std::string indexDir = {});
    ~CServerControl();  // Stop()
    CServerControl(const CServerControl&) = delete;
    CServerControl& operator=(const CServerControl&) = delete;

    // Reads the settings, depot settings and special configuration into a snapshot,
    // opens the fleet history, binds the control port and starts receiving, then the
    // disk monitor, retention and the web dashboard. 0, or -1 ("failed to create udp
    // server" logged) when the port cannot be bound; a dashboard that cannot start is
    // only logged. Window thread.
    int Start() EXCLUDES(m_lock, m_serverLock);

    // Stops the running server (see CDepotServer::Stop), writes what the fleet history
    // holds and logs "Server stops". Does nothing when not running. Any thread, the
    // disk check's (the run's runner) included: the stopped server is kept until the
    // next Start, ReleaseStopped or the destructor, so that no thread waits for itself.
    void Stop() EXCLUDES(m_lock, m_serverLock);

    // Lets the stopped server go, waiting for a runner whose disk check stopped it.
    // Not on that runner's thread. Window thread (main thread).
    void ReleaseStopped() EXCLUDES(m_lock, m_serverLock);

    bool IsRunning() const { return m_bRunning; }
    // Wall-clock seconds of the last Start; 0 before any. Any thread.
    std::uint32_t StartedAt() const { return m_tStarted; }

    // The running server, null when stopped; the caller's reference keeps its parts
    // alive (a Stop meanwhile still stops it). Any thread.
    std::shared_ptr<CDepotServer> Server() const EXCLUDES(m_serverLock);

    // Runs on the run's periodic runner when space runs low; the default stops the
    // server. Before Start.
    void SetLowSpaceHandler(std::function<void()> handler);
    CDiskSpaceMonitor& DiskMonitor() { return m_monitor; }
    // The history of the whole fleet, open from the first Start (or Open) to the end.
    CFleetHistory& History() { return m_history; }
    // The footage requests, kept in the fleet history's file and opened after it, at
    // the first Start (or Open); like the history they outlive every run.
    CFootageRequests& Requests() { return m_requests; }
    // The catalogue of every stored recording and the audit trail, open from the first
    // Start to the end; the hasher runs while the server runs. Any thread.
    CRecordingCatalogue& Catalogue() { return m_catalogue; }
    CFootageHasher& Hasher() { return m_hasher; }
    CAuditLog& Audit() { return m_audit; }
    // The sender to the shared fleet database, running while the server runs when
    // centraldb is set. Any thread.
    CCentralStore& Central() { return m_central; }
    // The record index, read (and repaired) at the first call: the programs make it
    // as they start, so an index held locked from outside delays the program's start,
    // never a Start; a Start in component mode makes it when nothing did. Any thread.
    CRecordIndex& Index() EXCLUDES(m_indexLock);

    // Tests' hooks, taken by every later Start: the body of each channel's download,
    // the registry's clock, retention's free-space query. Before Start.
    void SetTaskFunction(CVehicle::TaskFunction task) { m_hooks.task = std::move(task); }
    void SetClock(CVehicleMgr::Clock clock) { m_hooks.clock = std::move(clock); }
    void SetRetentionQuery(CRetention::FreeSpaceQuery query) { m_hooks.freeSpace = std::move(query); }

    // Where the settings file is. Any thread.
    std::filesystem::path SettingsPath() const;

private:
    // A file the programs keep in their working directory, in home.
    std::filesystem::path InHome(const char* szName) const;
    // Opens the fleet history, the catalogue (over the download directory of config)
    // and the audit trail, all in fleet.db; each logs what it cannot open.
    void OpenDatabases(const ServerConfig& config);
    // What a run is made of: the snapshot, the dashboard's keys from file, the parts
    // that outlive it and the test hooks. Start's thread, holding m_lock.
    CDepotServer::Setup MakeSetup(const ServerConfigPtr& pConfig, CSettingsFile& file) REQUIRES(m_lock);

    const std::filesystem::path m_home;
    const std::string m_strIndexDir;
    CMutex m_lock;  // serialises the work of Start and Stop
    std::atomic<bool> m_bRunning {false};
    // Told when a Stop has let go of its server: a Start that took m_lock before a Stop
    // under way waits for it instead of binding the port the old server still holds.
    CCondition m_stopDone;
    std::atomic<std::uint32_t> m_tStarted {0};
    std::atomic<std::uint32_t> m_nLastTransaction {0};
    std::function<void()> m_onLowSpace;
    CDepotServer::Setup m_hooks;  // only its test hooks are used
    CFleetHistory m_history;
    CFootageRequests m_requests;  // after the history: it opens the file first
    CRecordingCatalogue m_catalogue;
    CFootageHasher m_hasher {m_catalogue};
    CAuditLog m_audit;
    CCentralStore m_central;  // after the tables it feeds from
    CMutex m_indexLock;
    std::unique_ptr<CRecordIndex> m_pIndex GUARDED_BY(m_indexLock);
    CLogRing& m_log;
    CDiskSpaceMonitor m_monitor;
    mutable CMutex m_serverLock ACQUIRED_AFTER(m_lock);
    std::shared_ptr<CDepotServer> m_pServer GUARDED_BY(m_serverLock);
    std::shared_ptr<CDepotServer> m_pStopped GUARDED_BY(m_serverLock);  // see Stop
};

#pragma once

#include "control/PendingReplyTable.h"
#include "control/TransactionCounter.h"
#include "control/UDPSrv.h"
#include "core/PeriodicRunner.h"
#include "core/ServerCounters.h"
#include "depot/Retention.h"
#include "depot/TransferScheduler.h"
#include "settings/RecordIndex.h"
#include "settings/ServerConfig.h"
#include "vehicles/ControlRouter.h"
#include "vehicles/ServerParts.h"
#include "vehicles/VehicleMgr.h"
#include "web/FootageApi.h"
#include "web/WebServer.h"
#include "web/WebSettings.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CAuditLog;
class CFleetHistory;
class CFootageRequests;
class CRecordingCatalogue;
class CLogRing;
class CCentralStore;
class CNotifyCenter;

// One run of the download server, from a Start to its Stop: it owns the control
// socket, the pending-reply table, the transaction counter, the registry with its
// vehicles, the transfer scheduler, retention, the dashboard and the counters, and
// gives each part references to the others it uses. The settings snapshot, the
// notification center, the fleet history and the record index are lent to it: the
// snapshot is shared read-only; the others outlive every run (the log and the window
// use the center and the history while no server runs, and the index is read and
// repaired once, when the program starts, not at every Start).
class CDepotServer {
public:
    // What a run is made of besides its own parts.
    struct Setup {
        ServerConfigPtr pConfig;              // never null
        WebSettings web;                      // the dashboard's keys
        CRecordIndex* pIndex = nullptr;       // written in component mode
        CFootageRequests* pRequests = nullptr;  // footage requests; they outlive the run
        // Every stored recording gets a row, and retention marks the rows of what it
        // deletes. Optional; it outlives the run.
        CRecordingCatalogue* pCatalogue = nullptr;
        CAuditLog* pAudit = nullptr;  // the footage API's audit trail; optional, outlives the run
        CCentralStore* pCentral = nullptr;  // the shared fleet database's sender; optional, outlives the run
        std::uint32_t nLastTransaction = 0;   // ids go on from the previous run's
        std::uint32_t tStartedAt = 0;         // wall-clock seconds, for the dashboard
        // Tests' hooks: a task body, a registry clock, a free-space query for
        // retention; empty keeps the program's own.
        CVehicle::TaskFunction task;
        CVehicleMgr::Clock clock;
        CRetention::FreeSpaceQuery freeSpace;
        // Adds the periodic work of what outlives the run (the disk check, the fleet
        // history's writes) to the run's runner. Optional.
        std::function<void(CPeriodicRunner&)> addTasks;
    };

    // Builds every part; binds nothing yet. Window thread (the thread that starts).
    CDepotServer(Setup setup, CNotifyCenter& center, CFleetHistory& history, CLogRing& log);
    // Stop(), then destroys the parts in reverse order.
    ~CDepotServer();
    CDepotServer(const CDepotServer&) = delete;
    CDepotServer& operator=(const CDepotServer&) = delete;

    // Binds the control port and starts receiving. 0, or -1 with nothing running when
    // the port cannot be bound. Then, once the start is logged, StartServices starts
    // retention, the periodic runner and the dashboard (isRunning tells the dashboard
    // whether the server runs). The thread that starts.
    int BindControl();
    void StartServices(std::function<bool()> isRunning);

    // Stops the periodic runner, retention, the dashboard and receiving, removes every
    // vehicle and writes the record index's queue (within Timing().nIndexFlushMs).
    // Later calls do nothing. Any thread; from the runner's own task (a low-space
    // stop) the runner's thread is only told to end, and the destructor, which must
    // then run on another thread, waits for it.
    void Stop();

    // What its vehicles use. Any thread while the server lives.
    const ServerParts& Parts() const { return m_registry.Parts(); }
    // The parts, for the window and the tests. Any thread while the server lives.
    const ServerConfig& Config() const { return *m_setup.pConfig; }
    CVehicleMgr& Registry() { return m_registry; }
    CTransferScheduler& Scheduler() { return m_scheduler; }
    CServerCounters& Counters() { return m_counters; }
    CRetention& Retention() { return m_retention; }
    CWebServer& Web() { return m_web; }
    CUDPSrv& Control() { return m_control; }
    CRecordIndex* Index() { return m_pIndex; }
    // The footage requests the run's passes take up; null when none are served.
    CFootageRequests* Requests() { return m_setup.pRequests; }
    // The one thread of the run's periodic work: the registry's tick, retention, and
    // what addTasks added.
    CPeriodicRunner& Runner() { return m_runner; }
    // The last transaction id handed out. Any thread.
    std::uint32_t LastTransaction() { return m_transactions.Last(); }

private:
    ServerParts MakeParts();

    const Setup m_setup;
    CNotifyCenter& m_center;
    CFleetHistory& m_history;
    CLogRing& m_log;
    CServerCounters m_counters;
    CPendingReplyTable m_replies;
    CTransactionCounter m_transactions;
    CUDPSrv m_control {&m_counters};
    CTransferScheduler m_scheduler;
    CRecordIndex* const m_pIndex;  // null unless component mode
    CVehicleMgr m_registry;
    CControlRouter m_router {m_registry};
    CRetention m_retention;
    CFootageApi m_footage;  // its routes are the dashboard's: it outlives it
    CWebServer m_web;
    CPeriodicRunner m_runner;  // last: ends before what its tasks use
    std::atomic<bool> m_bStopped {false};
};

#pragma once

#include "central/CentralSettings.h"
#include "central/Outbox.h"
#include "central/PgConnection.h"
#include "central/RequestBroker.h"
#include "footage/EvidenceManifest.h"
#include "footage/RecordingCatalogue.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "platform/WakeFd.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// How the sending stands, for the dashboard and the metrics.
struct CentralStatus {
    bool bEnabled = false;        // a shared database is configured and the sender runs
    bool bConnected = false;
    std::string strDepot;
    std::int64_t nOutboxRows = 0; // rows waiting; -1 when the outbox cannot be read
    std::uint32_t tOldest = 0;    // wall-clock seconds the oldest of them waits since; 0 none
    std::uint64_t nSent = 0;      // rows the shared database took since the start
    std::int64_t nRejected = 0;   // rows it refused, kept in fleet.db's central_rejected
    std::string strLastError;     // of the last failed attempt; empty once one succeeds
};

// A vehicle as one depot last saw it, read from the shared database.
struct DepotVehicle {
    std::string strDepot;
    std::string strName;
    std::uint32_t tFirstSeen = 0;
    std::uint32_t tLastSeen = 0;
    std::uint64_t nVisits = 0;
    std::uint64_t nFiles = 0;
    std::uint64_t nBytes = 0;
    std::uint32_t tLastCompleteOffload = 0;
    std::int64_t nPending = -1;
};

// A recording as the shared catalogue lists it: the row of the depot holding its bytes.
struct DepotRecording {
    std::string strDepot;
    std::string strDepotUrl;  // that depot's dashboard, as it gave it; may be empty
    CatalogueRow row;         // its id is that depot's
};

struct DepotRecordingPage {
    std::vector<DepotRecording> rows;
    std::string strNext;      // the cursor of the next page; empty when there is none
    bool bValid = true;       // false: the cursor given was no cursor of this list
};

// The depot's side of the shared fleet database. While a run lasts, one sender thread
// drains fleet.db's outbox (COutbox) into PostgreSQL in batches, oldest first, each
// batch in one transaction whose rows carry this depot's name; rows are removed from
// the outbox only once the transaction is committed, and a row sent twice is the same
// row, so a cut, a restart of either side or a kill loses and repeats nothing. No other
// thread ever waits for the shared database: the download threads only write fleet.db.
// The sender creates and migrates the schema when it connects.
class CCentralStore {
public:
    // Rows per batch sent.
    static constexpr std::size_t kBatchRows = 1000;
    // At a stop, what is waiting is sent for at most this long.
    static constexpr std::int64_t kFinalDrainMs = 2000;

    CCentralStore() = default;
    ~CCentralStore();  // Stop()
    CCentralStore(const CCentralStore&) = delete;
    CCentralStore& operator=(const CCentralStore&) = delete;

    // With a connection string and a depot name in settings, feeds fleet.db at dbPath
    // into the outbox and starts the sender; without one, stops feeding it (an outbox
    // left is emptied). Problems are logged. 0, or -1 when set but unusable. The thread
    // that starts the server, after the fleet history and the footage tables opened.
    // With pRequests, the depots decide through the shared database which one fetches
    // each footage request (CRequestBroker): a pass then takes up only the requests this
    // depot took.
    int Start(const CentralSettings& settings, const std::string& dbPath, CFootageRequests* pRequests = nullptr)
        EXCLUDES(m_lock, m_readLock);
    // Ends the sender: what waits is sent for at most kFinalDrainMs when the database
    // is connected; the rest (and a batch cut short) is sent at the next start. Any
    // thread but the sender; later calls do nothing.
    void Stop() EXCLUDES(m_lock, m_readLock);
    CentralStatus Status() const EXCLUDES(m_lock);
    // The vehicle is at this depot now: the footage requests it needs are taken at once.
    // Any thread; returns at once.
    void VehicleSeen(const std::string& name);

    // Every depot's row of every vehicle, by name then newest first, from the shared
    // database; nullopt when it cannot be read (strError). Any thread; waits for the
    // shared database at most the statement time-out.
    std::optional<std::vector<DepotVehicle>> FleetAcrossDepots(std::string& strError) EXCLUDES(m_lock, m_readLock);

    // The present recordings of every depot overlapping the query's window (its vehicle,
    // channel, limit and cursor as CRecordingCatalogue::Find takes them), newest first;
    // nullopt when the shared database cannot be read (strError). Any thread; waits at
    // most the statement time-out.
    std::optional<DepotRecordingPage> RecordingsAcrossDepots(const CatalogueQuery& query, std::string& strError)
        EXCLUDES(m_lock, m_readLock);

    // The files another depot (taker) fetched for this depot's request nId, from the
    // copy it keeps in the shared database: path, size, times and SHA-256 (empty while
    // that depot has not hashed the file). nullopt when it cannot be read (strError).
    // Any thread.
    std::optional<std::vector<EvidenceFile>> TakersFiles(const std::string& taker, std::int64_t nId,
                                                         std::string& strError) EXCLUDES(m_lock, m_readLock);

private:
    // A statement on the readers' connection, connecting first when needed.
    std::optional<PgResult> x_Read(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                                   std::string& strError) REQUIRES(m_readLock);
    // The sender's loop and its steps.
    void x_Run();
    bool x_Connect();
    // Sends one batch; true when a whole batch went (more may wait).
    bool x_DrainOnce();
    // Sends rows in one transaction. False with strError and the SQLSTATE; bLost when the
    // connection went.
    bool x_SendBatch(const std::vector<OutboxRow>& rows, std::string& strError, std::string& strState, bool& bLost);
    // Sends rows one at a time after their batch was refused, keeping aside those
    // refused for what they hold; false when another refusal or a cut stops it.
    bool x_SendEach(const std::vector<OutboxRow>& rows, bool& bLost);
    void x_UpdateDepth();
    // The stop's last sends, see Stop.
    void x_FinalDrain();
    // A statement's time-out: shortened to the final drain's end while stopping.
    int x_TimeoutMs() const;
    // A turn of the request broker when one is due.
    void x_Requests();
    void x_Failed(const std::string& strError);
    // A round went through: says so once after a start or an outage (nWaiting rows were waiting).
    void x_Working(std::int64_t nWaiting);

    // The sender's own; set before it starts.
    CentralSettings m_settings;
    std::string m_strDbPath;
    COutbox m_outbox;
    CPgConnection m_conn;
    CWakeFd m_stop;
    std::thread m_thread;
    std::atomic<bool> m_bStopping {false};
    std::atomic<bool> m_bBrokering {false};  // requests are decided through the shared database
    CRequestBroker m_broker;
    bool m_bRequestErrorLogged = false;  // the sender's: the current run of failed turns is logged
    bool m_bOutageLogged = false;  // the sender's: the current outage is logged
    bool m_bWorking = false;       // the sender's: the database took rows since the last failure
    std::int64_t m_nFinalDeadlineMs = 0;  // the sender's: while stopping, when the final drain ends

    mutable CMutex m_lock;
    CentralStatus m_status GUARDED_BY(m_lock);

    CMutex m_readLock ACQUIRED_AFTER(m_lock);  // the readers' connection, one reader at a time
    CPgConnection m_readConn GUARDED_BY(m_readLock);
    std::string m_strReadConnInfo GUARDED_BY(m_readLock);  // empty while stopped
};

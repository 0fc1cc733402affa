#pragma once

#include "footage/FootageRequest.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

// Footage requests: a vehicle's recordings of a time window, fetched ahead of
// everything else at the vehicle's next download pass. Kept in fleet.db beside the
// fleet history, on a connection of their own (WAL, busy timeout), in tables of their
// own with a layout version of their own; the file's user_version belongs to the fleet
// history and is never touched here. Every read goes to the database, so what a
// request says survives any restart, and each write is synced: an id handed out is
// never lost.
//
// States: waiting (the vehicle is away) -> fetching (a pass took it up) -> done, or
// partial with reasons. A partial request with recordings that could not be fetched
// keeps bRetry and is taken up again by the next pass; one whose recorder lacks part
// of the window is final. Waiting, fetching and retried requests can be cancelled.
class CFootageRequests {
public:
    static constexpr const char* kDefaultPath = "fleet.db";
    static constexpr std::size_t kListMax = 200;          // requests per List page at most
    static constexpr std::uint32_t kWindowMaxS = 7 * 86400;  // longest window asked for
    static constexpr std::size_t kReasonMax = 2000;       // bytes of a reason
    static constexpr std::size_t kRequestedByMax = 200;   // bytes of who asked
    static constexpr std::uint8_t kChannelMax = 63;       // channels are 1..63

    enum class CreateResult { Created, Invalid, Failed };
    enum class CancelResult { Cancelled, NotFound, Ended, Failed };

    explicit CFootageRequests(std::string path = kDefaultPath);
    ~CFootageRequests();  // Close()
    CFootageRequests(const CFootageRequests&) = delete;
    CFootageRequests& operator=(const CFootageRequests&) = delete;

    // Opens the database and creates or upgrades the tables; does nothing when open.
    // 0, or -1 with a log line (every call then finds nothing and changes nothing).
    // Open it after the fleet history, which keeps a damaged file aside. Any thread.
    int Open() EXCLUDES(m_lock);
    void Close() EXCLUDES(m_lock);
    bool IsOpen() const EXCLUDES(m_lock);

    // Why ask cannot be a request ("" when it can): vehicle name, channels, window,
    // text lengths. Any thread.
    static std::string CheckAsk(const FootageAsk& ask);

    // Stores a new request, waiting. Created with its id in nId; Invalid with strError
    // (see CheckAsk); Failed when not open or the write failed. The web and window threads.
    CreateResult Create(const FootageAsk& ask, std::uint32_t tNow, std::int64_t& nId,
                        std::string& strError) EXCLUDES(m_lock);
    // Newest first: at most nLimit (cut to kListMax) requests with an id below
    // nBeforeId (0: from the newest), without their recordings and history. Any thread.
    std::vector<FootageRequest> List(std::size_t nLimit, std::int64_t nBeforeId = 0) const EXCLUDES(m_lock);
    // One request with its recordings and its states. Any thread.
    std::optional<FootageRequest> Get(std::int64_t nId) const EXCLUDES(m_lock);
    // Ends an open request; a pass fetching it stops before its next recording. Any thread.
    CancelResult Cancel(std::int64_t nId, std::uint32_t tNow) EXCLUDES(m_lock);

    // For the download passes.
    // The vehicle's open requests, oldest first, without recordings. Download thread.
    std::vector<FootageRequest> OpenRequests(const std::string& strVehicle) const EXCLUDES(m_lock);
    // Whether the request is still open (not cancelled meanwhile). Channel task threads.
    bool StillOpen(std::int64_t nId) const EXCLUDES(m_lock);
    // A pass takes the request up: a waiting one becomes fetching. Download thread.
    void OnTakenUp(std::int64_t nId, std::uint32_t tNow) EXCLUDES(m_lock);
    // A recording of the window is stored: fetched now, or found stored. Listed once;
    // found again later it keeps what it was first. Channel task threads.
    void OnRecording(std::int64_t nId, const std::string& strVehicle, const FootageRecording& rec)
        EXCLUDES(m_lock);
    // The pass ended: passChannels are the channels it downloaded, results what each
    // did for this request. Done when every requested channel asked for the whole
    // window, lacked nothing and fetched everything; partial with the reasons otherwise.
    // A cancelled request stays cancelled. Download thread.
    void OnPassEnded(std::int64_t nId, const std::vector<std::uint8_t>& passChannels,
                     const std::vector<FootageChannelResult>& results, std::uint32_t tNow) EXCLUDES(m_lock);

    // With a shared fleet, one depot takes each request (see CCentralStore).
    // Sets this depot's name: from then on a pass takes up only the requests this depot
    // took. Empty (the default): every open request, as a depot alone. Before a run starts.
    void SetTakingDepot(const std::string& depot) EXCLUDES(m_lock);
    // The open requests made here for vehicle (empty: any) that no depot took yet. Any thread.
    std::vector<FootageRequest> Untaken(const std::string& strVehicle) const EXCLUDES(m_lock);
    // Notes the depot that took request nId; a request another depot took is no longer
    // fetched here, its state follows the taker's (Mirror). Any thread.
    bool SetTakenBy(std::int64_t nId, const std::string& depot) EXCLUDES(m_lock);
    // Stores the copy of another depot's request (originDepot, nOriginId) that takenBy
    // (this depot) took; a copy stored before keeps its id. Created (or found) with nId;
    // Invalid or Failed as Create. Any thread.
    CreateResult Import(const FootageAsk& ask, std::uint32_t tCreated, const std::string& originDepot,
                        std::int64_t nOriginId, const std::string& takenBy, std::int64_t& nId, std::string& strError)
        EXCLUDES(m_lock);
    // Open requests whose state another depot decides: made here and taken elsewhere, or
    // copies taken here of a request made elsewhere (which it may cancel). Any thread.
    std::vector<FootageRequest> Shared() const EXCLUDES(m_lock);
    // Puts the request into the state the depot deciding it reports (logged as any
    // change; recordings stay with that depot). Any thread.
    void Mirror(std::int64_t nId, FootageRequest::State eState, const std::vector<std::string>& reasons,
                std::uint32_t tChanged) EXCLUDES(m_lock);

    // Grows with every change made through this object, so a view can skip a reload.
    // Any thread.
    std::uint64_t Version() const EXCLUDES(m_lock);

private:
    // Stores a new waiting request (of another depot when originDepot is set). Created
    // with nId, or Failed with strError.
    CreateResult x_Insert(const FootageAsk& ask, std::uint32_t tNow, const std::string& originDepot,
                          std::int64_t nOriginId, const std::string& takenBy, std::int64_t& nId,
                          std::string& strError) REQUIRES(m_lock);
    // The tables at this layout; SQLite's code.
    int x_CreateTables() REQUIRES(m_lock);
    // Moves the request to eState with reasons, unless it is cancelled or already
    // there with the same reasons; logs the change. True when it changed.
    bool x_SetState(std::int64_t nId, FootageRequest::State eState, const std::vector<std::string>& reasons,
                    bool bRetry, std::uint32_t tNow) REQUIRES(m_lock);
    // The request's row, without recordings and history.
    std::optional<FootageRequest> x_Read(std::int64_t nId) const REQUIRES(m_lock);
    void x_ReadDetails(FootageRequest& request) const REQUIRES(m_lock);
    // Logs a failed statement once per run of failures.
    void x_Failed(const char* szWhat) const REQUIRES(m_lock);

    const std::string m_strPath;
    mutable CMutex m_lock;  // guards the connection and everything below
    sqlite3* m_pDb GUARDED_BY(m_lock) = nullptr;
    std::uint64_t m_nVersion GUARDED_BY(m_lock) = 0;
    mutable bool m_bFailureLogged GUARDED_BY(m_lock) = false;
    std::string m_strTakingDepot GUARDED_BY(m_lock);  // empty: every open request is this depot's
};

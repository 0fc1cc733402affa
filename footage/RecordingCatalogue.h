#pragma once

#include "footage/CatalogueRow.h"
#include "footage/Sha256File.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class CPeriodicRunner;
struct sqlite3;
struct sqlite3_stmt;

// What Find lists: the recordings overlapping [tFrom, tTo) (start < tTo and
// end > tFrom; a window only touching a recording does not list it), newest first.
struct CatalogueQuery {
    std::string strVehicle;     // empty: every vehicle
    int nChannel = -1;          // -1: every channel
    std::uint32_t tFrom = 0;    // 0: open
    std::uint32_t tTo = 0;      // 0: open
    std::size_t nLimit = 100;   // rows per page, 1 to kMaxLimit (0 reads as 1, more as kMaxLimit)
    std::string strAfter;       // the previous page's strNext; empty for the first page
    bool bWithDeleted = false;  // also the rows retention deleted the files of
};

struct CataloguePage {
    std::vector<CatalogueRow> rows;
    std::string strNext;        // the cursor of the next page; empty when there is none
    bool bValid = true;         // false: strAfter was no cursor of Find's (rows empty)
};

// What Verify found.
struct CatalogueVerify {
    bool bFound = false;        // the row exists
    bool bMatch = false;        // the file's hash equals the stored one
    std::string strExpected;    // the stored hash; empty when the row was not hashed yet
    std::string strActual;      // the file's hash now; empty when it cannot be read
};

// One row for every stored recording, in the recording table of fleet.db (its own
// connections to the file the fleet history keeps; WAL lets them read while another
// writes). Adds and deletion marks are queued and written in batches by a periodic
// runner's task (AddTo), so no download thread waits for the disk; Flush writes at
// once. Reads go through a connection of their own and see what was written.
//
// At every Open a walk of the download tree (in steps on the runner) adds the finished
// recordings the table lacks, so files stored while the catalogue could not write are
// catalogued at the next start. New and re-stored rows are handed to the hash
// listener (SetOnUnhashed) once written.
class CRecordingCatalogue {
public:
    static constexpr std::size_t kMaxLimit = 1000;
    // Queued adds beyond this are dropped (with one log line): the next start's walk
    // finds their files again. Deletion marks are never dropped.
    static constexpr std::size_t kQueueMax = 100000;
    // Operations written per transaction; the rest go in the runner's next turn.
    static constexpr std::size_t kBatchMax = 5000;

    CRecordingCatalogue();
    ~CRecordingCatalogue();  // Close()
    CRecordingCatalogue(const CRecordingCatalogue&) = delete;
    CRecordingCatalogue& operator=(const CRecordingCatalogue&) = delete;

    // Opens (creating or upgrading its tables in) the database at dbPath, takes
    // downloadRoot as the root of the relative paths and begins the walk that adds
    // what the table lacks. Already open: only takes the root (the walk begins
    // again). 0, or -1 with a log line; while closed, Add and MarkDeleted are dropped
    // and reads find nothing. The thread that starts the server.
    int Open(const std::string& dbPath, const std::string& downloadRoot)
        EXCLUDES(m_writeLock, m_readLock, m_lock, m_walkLock);
    // Writes what is queued and closes. Any thread; later calls do nothing.
    void Close() EXCLUDES(m_writeLock, m_readLock, m_lock, m_walkLock);
    bool IsOpen() const EXCLUDES(m_lock);

    // Called with the ids of rows written without a hash (new, re-stored or found by
    // the walk). The writer's thread; it must return quickly. Before Open.
    void SetOnUnhashed(std::function<void(std::int64_t)> onUnhashed);

    // Queues a stored recording: its path relative to the download root in the store's
    // layout, size and tStoredAt; vehicle, channel and times are taken from the path. A row of the same path is replaced (a file stored
    // again after a deletion). False when not open or the path is no recording's.
    // The thread that stored the recording.
    bool Add(CatalogueRow row) EXCLUDES(m_lock);
    // Queues the deletion of the recording at relPath (relative to the root): its row
    // stays, with deleted_at tNow. Any thread (retention's).
    void MarkDeleted(const std::string& relPath, std::uint32_t tNow) EXCLUDES(m_lock);

    // A page of rows overlapping the query's window, newest first (start, then id,
    // descending). One vehicle's pages cost a few index seeks per channel, whatever
    // the window; a fleet-wide page reads every row of its window (all of them when
    // tFrom is open), so the fleet is best listed by windows. Any thread.
    CataloguePage Find(const CatalogueQuery& query) const EXCLUDES(m_readLock, m_lock);
    // The row of id, deleted or not. Any thread.
    std::optional<CatalogueRow> Get(std::int64_t nId) const EXCLUDES(m_readLock);
    // The present rows of a vehicle overlapping [tFrom, tTo) (0: open) on the given
    // channels (empty: all), oldest first. Any thread.
    std::vector<CatalogueRow> Covering(const std::string& vehicle, const std::vector<int>& channels,
                                       std::uint32_t tFrom, std::uint32_t tTo) const
        EXCLUDES(m_readLock, m_lock);
    // The path below the download root of a file path that starts with the root as
    // Open was given it (as the receiver names its files); empty for any other.
    // Any thread.
    std::string RelativePath(const std::string& path) const EXCLUDES(m_lock);
    // Where the row's file is; empty for a path that could leave the root. Any thread.
    std::string AbsolutePath(const CatalogueRow& row) const EXCLUDES(m_lock);
    // Hashes the row's file again and compares. Logs a line when they differ and when
    // the file of a present row is missing. A row not hashed yet gets the hash now
    // (bMatch false, strExpected empty). Any thread; reads the whole file.
    CatalogueVerify Verify(std::int64_t nId) EXCLUDES(m_writeLock, m_readLock, m_lock);

    // Up to nMax present rows without a hash whose id is above nAfterId, by id. Any
    // thread (the hasher's).
    std::vector<CatalogueRow> Unhashed(std::int64_t nAfterId, std::size_t nMax) const EXCLUDES(m_readLock);
    // Stores the digest taken of row's file, unless the row changed since it was read
    // (stored again, deleted, hashed meanwhile). True when stored. Writes at once: not
    // on a download thread (the hasher's, Verify's).
    bool StoreHash(const CatalogueRow& row, const FileDigest& digest) EXCLUDES(m_writeLock);

    // The query plan of each statement Find runs for query (EXPLAIN QUERY PLAN, one
    // text per step), for the tests and the benchmark. Any thread.
    std::vector<std::string> PlanOf(const CatalogueQuery& query) const EXCLUDES(m_readLock);

    // Returns once everything queued before the call is written, or after a failed
    // write (logged). Any thread.
    void Flush() EXCLUDES(m_writeLock, m_lock);
    // Adds the batched writes, every Timing().nCatalogueFlushMs, and the walk's steps to
    // runner. Before the runner starts.
    void AddTo(CPeriodicRunner& runner);
    // One batch of what is queued; true while more is queued. The runner's thread (or a test).
    bool WriteQueued() EXCLUDES(m_writeLock, m_lock);
    // One step of the walk (one channel directory); true while it goes on. The
    // runner's thread (or a test).
    bool StepWalk() EXCLUDES(m_walkLock, m_readLock, m_lock);

private:
    // One queued change, written in queue order.
    struct Op {
        enum class Kind { Stored, Found, Deleted } eKind = Kind::Stored;
        CatalogueRow row;  // Deleted: only the path and tDeletedAt
    };
    // The walk over the download tree: names of one level at a time.
    struct Walk {
        bool bActive = false;
        std::string root;
        std::vector<std::string> vehicles, dates, chans;
        std::size_t nVehicle = 0, nDate = 0, nChan = 0;
    };

    // The open connection's table setup: creates or upgrades, and reads the longest
    // recording. SQLite code, with strError.
    int x_Prepare(sqlite3* pDb, std::string& strError) REQUIRES(m_writeLock);
    int x_PrepareWriter(std::string& strError) REQUIRES(m_writeLock);
    void x_CloseConnections() REQUIRES(m_writeLock, m_readLock);
    // Writes ops in one transaction; the ids of the rows left without a hash in
    // unhashed. SQLITE_OK or the failing code.
    int x_WriteOps(const std::vector<Op>& ops, std::vector<std::int64_t>& unhashed) REQUIRES(m_writeLock);
    int x_WriteOp(const Op& op, std::vector<std::int64_t>& unhashed) REQUIRES(m_writeLock);
    // Takes up to kBatchMax ops off the queue, writes them and, on failure, puts them
    // back in front. Caller holds m_writeLock.
    bool x_WriteBatch() REQUIRES(m_writeLock) EXCLUDES(m_lock);
    // A statement of the read connection, prepared once. Caller holds m_readLock.
    sqlite3_stmt* x_Read(const char* szSql) const REQUIRES(m_readLock);
    // The channels with rows of vehicle, ascending, seeking the index once per channel.
    std::vector<int> x_Channels(const std::string& vehicle) const REQUIRES(m_readLock);
    // Rows of one vehicle and channel in a window, up to nMax, in the order asked.
    struct Range {
        std::int64_t nStartMin, nStartMax;  // start_time in [min, max)
        std::int64_t nEndAbove;             // end_time > this
        std::int64_t nCursorStart, nCursorId;  // newest-first paging: (start, id) below these
        bool bWithDeleted;
    };
    void x_ChannelRows(const std::string& vehicle, int nChannel, const Range& range, bool bNewestFirst,
                       std::size_t nMax, std::vector<CatalogueRow>& rows) const REQUIRES(m_readLock);
    void x_FleetRows(const CatalogueQuery& query, const Range& range, std::size_t nMax,
                     std::vector<CatalogueRow>& rows) const REQUIRES(m_readLock);
    // The window's bounds; the longest recording bounds the start from below.
    Range x_Range(std::uint32_t tFrom, std::uint32_t tTo, bool bWithDeleted) const;
    // Queues op; false when dropped.
    bool x_Queue(Op op) EXCLUDES(m_lock);
    // Begins the walk over root; the next steps go on from there.
    void x_BeginWalk(const std::string& root) EXCLUDES(m_walkLock);
    // Queues the recordings of one channel directory (relative to root) the table lacks.
    void x_WalkChannelDir(const std::string& root, const std::string& relDir) REQUIRES(m_walkLock);
    // Whether the path's row exists (the walk's question).
    bool x_Known(const std::string& relPath) const EXCLUDES(m_readLock);

    std::function<void(std::int64_t)> m_onUnhashed;

    // One write at a time; guards the writing connection and its statements.
    CMutex m_writeLock ACQUIRED_BEFORE(m_readLock, m_lock);
    sqlite3* m_pDb GUARDED_BY(m_writeLock) = nullptr;
    std::map<int, sqlite3_stmt*> m_writers GUARDED_BY(m_writeLock);  // by Op::Kind, and kHashStatement
    bool m_bFailureLogged GUARDED_BY(m_writeLock) = false;

    // One read at a time on the reading connection.
    mutable CMutex m_readLock ACQUIRED_BEFORE(m_lock);
    sqlite3* m_pReadDb GUARDED_BY(m_readLock) = nullptr;
    mutable std::map<const char*, sqlite3_stmt*> m_readers GUARDED_BY(m_readLock);

    // The longest recording written (end - start), for the windows' lower bound.
    // Only grows; raised before the rows that need it are committed.
    std::atomic<std::int64_t> m_nLongest {0};

    mutable CMutex m_lock;  // guards the queue and the state below
    bool m_bOpen GUARDED_BY(m_lock) = false;
    std::string m_strRoot GUARDED_BY(m_lock);
    std::deque<Op> m_queue GUARDED_BY(m_lock);
    std::uint64_t m_nQueued GUARDED_BY(m_lock) = 0;   // ops ever queued
    std::uint64_t m_nWritten GUARDED_BY(m_lock) = 0;  // of those, written (or dropped)
    bool m_bDropLogged GUARDED_BY(m_lock) = false;

    CMutex m_walkLock ACQUIRED_BEFORE(m_readLock, m_lock);  // one step at a time
    Walk m_walk GUARDED_BY(m_walkLock);
};

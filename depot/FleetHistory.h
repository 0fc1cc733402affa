#pragma once

#include "depot/ChannelMark.h"
#include "depot/FleetRecord.h"
#include "depot/MissedRecording.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

class CPeriodicRunner;
struct sqlite3;
struct sqlite3_stmt;

// The history of every vehicle ever registered, kept in an SQLite database
// (fleet.db in the working directory, WAL journal). The recorders below only change
// an in-memory copy and mark the vehicle dirty; a periodic runner's task (AddTo)
// stores the dirty rows in batches, so no download thread ever waits for the disk.
// Only a Flush writes at once, on the thread that asks for it.
// A damaged database is kept aside as a backup and started afresh, with a log line.
// Besides the vehicles it keeps, per channel, the point up to which everything the
// recorder offered is stored, and the recordings a download pass did not store.
//
// A stored recording is counted exactly once whenever the process ends: before a
// recording takes its finished name, a note of it (path, size, time) is written and
// waited for (OnStoring); its count and the note's removal are then written in one
// transaction (OnFileStored). A note still there at Open belongs to a process that
// ended in between: the recording is counted then if its finished file is there.
class CFleetHistory {
public:
    static constexpr const char* kDefaultPath = "fleet.db";
    static constexpr std::uint32_t kDayTotalDays = 90;  // per-day totals kept this long
    // A recording missed in this many distinct visits is unfetchable.
    static constexpr std::uint32_t kUnfetchableVisits = 3;
    // Missed recordings kept per vehicle; beyond, left-behind ones go first.
    static constexpr std::size_t kMissedMax = 1000;

    explicit CFleetHistory(std::string path = kDefaultPath);
    ~CFleetHistory();  // Close()
    CFleetHistory(const CFleetHistory&) = delete;
    CFleetHistory& operator=(const CFleetHistory&) = delete;

    // Opens (or creates) the database and loads it; does nothing when already open. 0, or -1 with a log line when no database can be had (the
    // recorders then only keep the in-memory copy). Window thread.
    int Open() EXCLUDES(m_openLock, m_writeLock, m_lock);
    // Writes what is dirty and closes the database. Any thread; later calls do nothing.
    void Close() EXCLUDES(m_openLock, m_writeLock, m_lock);
    // Forgets the in-memory copy while closed, so that the next Open starts from the
    // file as a fresh process does (a test's own fleet.db). Any thread; does nothing
    // while open.
    void Forget() EXCLUDES(m_openLock, m_lock);
    bool IsOpen() const EXCLUDES(m_lock);

    // Recorders: change the in-memory copy and return at once. Any thread.
    // A registration that made the vehicle online: a new visit from "ip:port".
    void OnArrival(const std::string& name, const std::string& address, std::uint32_t tNow) EXCLUDES(m_lock);
    // The vehicle went offline (expiry or server stop); tLastSeen is its last keepalive.
    void OnDeparture(const std::string& name, std::uint32_t tLastSeen) EXCLUDES(m_lock);
    // One recording stored whole (renamed to .mp4) of nBytes, the size of the whole file.
    void OnFileStored(const std::string& name, std::uint64_t nBytes, std::uint32_t tNow) EXCLUDES(m_lock);
    // The recording at path, nBytes in all, is about to take that finished name: keeps a
    // note of it and returns once the note is in the database (at once when the history
    // is not open, or after a failed write, which is logged). The note is written on the
    // calling thread (Flush), so it never waits for the runner's other tasks. The thread
    // that stores it.
    void OnStoring(const std::string& name, const std::string& path, std::uint64_t nBytes, std::uint32_t tNow)
        EXCLUDES(m_writeLock, m_lock);
    // The recording noted for path took its name: counted as OnFileStored does, and
    // its note goes in the same write. Any thread.
    void OnFileStored(const std::string& name, const std::string& path, std::uint64_t nBytes, std::uint32_t tNow)
        EXCLUDES(m_lock);
    // The recording noted for path did not take its name after all: the note goes.
    // Any thread.
    void OnStoreAbandoned(const std::string& name, const std::string& path) EXCLUDES(m_lock);
    // Every channel of a pass reached "download finished!".
    void OnCompleteOffload(const std::string& name, std::uint32_t tNow) EXCLUDES(m_lock);
    // Recordings still on the recorder; -1 when it did not say.
    void OnPending(const std::string& name, std::int64_t nPending) EXCLUDES(m_lock);
    // A transfer or request that failed, in a few words.
    void OnFailure(const std::string& name, const std::string& text, std::uint32_t tNow) EXCLUDES(m_lock);
    // How far the channel is fetched without a gap. Set to exactly what is given,
    // earlier too: the download task lowers it when it finds an older gap.
    void OnCompleteMark(const std::string& name, std::uint8_t nChannel, const ChannelMark& mark) EXCLUDES(m_lock);
    // The recording was not stored in this pass. Counts the vehicle's current visit once;
    // missed in kUnfetchableVisits distinct visits it becomes Unfetchable, with a log
    // line. rec's nVisits, tLastMissed and eState are the history's own.
    void OnRecordingMissed(const std::string& name, const MissedRecording& rec, std::uint32_t tNow)
        EXCLUDES(m_lock);
    // The recording fell out of the span being fetched (or the recorder no longer has it)
    // before it was stored: LeftBehind, kept for the operator to see.
    void OnRecordingLeftBehind(const std::string& name, const MissedRecording& rec, std::uint32_t tNow)
        EXCLUDES(m_lock);
    // The recording (channel, recorder's file name, start) was stored after all: its
    // entry goes.
    void OnRecordingStored(const std::string& name, std::uint8_t nChannel, const std::string& strFileName,
                           std::uint32_t tStart) EXCLUDES(m_lock);

    // Every vehicle in name order, with files and bytes of the day of tNow. Any thread.
    std::vector<FleetRecord> Snapshot(std::uint32_t tNow) const EXCLUDES(m_lock);
    // One vehicle's per-day totals, oldest first. Any thread.
    std::vector<FleetDayTotal> DayTotals(const std::string& name) const EXCLUDES(m_lock);
    // Whether the history knows the vehicle. Any thread.
    bool Knows(const std::string& name) const EXCLUDES(m_lock);
    // How far the channel is fetched without a gap; bSet false when never set. Any thread.
    ChannelMark CompleteMark(const std::string& name, std::uint8_t nChannel) const EXCLUDES(m_lock);
    // The vehicle's missed recordings, oldest first (by start). Any thread.
    std::vector<MissedRecording> MissedRecordings(const std::string& name) const EXCLUDES(m_lock);
    // Grows with every change of the in-memory copy, so a view can skip a redraw. Any thread.
    std::uint64_t Version() const EXCLUDES(m_lock);
    // Returns when everything recorded before the call is in the database, or after a
    // failed write (logged): writes it on the calling thread unless a write under way
    // takes it along. Any thread.
    void Flush() EXCLUDES(m_writeLock, m_lock);
    // Adds the batched write, every Timing().nHistoryFlushMs, to runner. Before the
    // runner starts.
    void AddTo(CPeriodicRunner& runner);
    // Writes what is dirty, if anything. The runner's thread (or a test).
    void WriteDirty() EXCLUDES(m_writeLock, m_lock);

private:
    // A missed recording's identity, ordered oldest first: start, channel, file name.
    using MissedKey = std::tuple<std::uint32_t, std::uint8_t, std::string>;
    struct MissedEntry {
        MissedRecording rec;
        std::uint32_t nLastVisit = 0;   // the vehicle's nVisits when last counted
        std::uint32_t nFirstVisit = 0;  // when first counted; only to merge changes made before loading
    };
    // A recording about to take its finished name, not yet counted.
    struct StoreNote {
        std::uint64_t nBytes = 0;
        std::uint32_t tStored = 0;
    };
    // One vehicle of the in-memory copy.
    struct Vehicle {
        FleetRecord rec;                                     // the "today" fields unused
        std::map<std::uint32_t, FleetDayTotal> days;         // by tDay
        std::set<std::uint32_t> dirtyDays;                   // days not yet written
        std::map<std::uint8_t, ChannelMark> marks;           // by channel
        std::set<std::uint8_t> dirtyMarks;
        std::map<MissedKey, MissedEntry> missed;
        std::set<MissedKey> dirtyMissed;                     // to write, or to delete when gone from missed
        // Stored before the database was read: a stored row of the key is outdated.
        std::set<MissedKey> storedBeforeLoad;
        std::map<std::string, StoreNote> notes;              // by finished path
        std::set<std::string> dirtyNotes;                    // to write, or to delete when gone from notes
        // Counted before the database was read: a stored note of the path is counted already.
        std::set<std::string> countedBeforeLoad;
    };
    using VehicleMap = std::map<std::string, Vehicle>;

    // The dirty rows copied out for one write, and the change count they cover.
    struct Batch {
        std::vector<FleetRecord> rows;
        std::vector<std::pair<std::string, FleetDayTotal>> days;
        std::vector<std::tuple<std::string, std::uint8_t, ChannelMark>> marks;
        std::vector<std::pair<std::string, MissedEntry>> missed;
        std::vector<std::pair<std::string, MissedKey>> unmissed;  // rows to delete
        std::vector<std::tuple<std::string, std::string, StoreNote>> notes;  // name, path, note
        std::vector<std::pair<std::string, std::string>> unnoted;            // name, path: rows to delete
        std::uint64_t nVersion = 0;
    };
    // Log lines made under m_lock, written after it is released: text and vehicle.
    using LogLines = std::vector<std::pair<std::string, std::string>>;

    enum class OpenResult { Ok, Damaged, Failed };

    // Opens m_strPath, checks it, creates or prunes the tables and reads every row into
    // loaded. On anything but Ok the database is closed again and strError says why.
    OpenResult x_OpenDatabase(VehicleMap& loaded, std::string& strError) REQUIRES(m_openLock, m_writeLock);
    // Reads every table into loaded and prepares the statements of the writes.
    OpenResult x_ReadRows(VehicleMap& loaded, std::string& strError) REQUIRES(m_openLock, m_writeLock);
    // Gives a database of schema nVersion (older than ours) the tables it lacks, in one
    // transaction. SQLITE_OK, or the code with strError after a rollback.
    int x_Upgrade(int nVersion, std::string& strError) REQUIRES(m_openLock, m_writeLock);
    // Deletes the day totals too old to keep; strError only on damage. The SQLite code.
    int x_PruneAtOpen(std::string& strError) REQUIRES(m_openLock, m_writeLock);
    // The rows of every table into loaded. SQLITE_DONE, or the failing code.
    int x_ReadTables(VehicleMap& loaded) REQUIRES(m_openLock, m_writeLock);
    // Prepares the statements of the writes. SQLITE_OK, or the failing code.
    int x_PrepareWriter() REQUIRES(m_openLock, m_writeLock);
    // x_OpenDatabase, keeping a damaged file aside and starting afresh. 0, or -1 (logged).
    int x_LoadDatabase(VehicleMap& loaded) REQUIRES(m_openLock, m_writeLock);
    // Of the notes in loaded, left by a process that ended between noting a recording
    // and counting it, the paths whose recording took its finished name.
    static std::set<std::string> x_PresentNotes(const VehicleMap& loaded);
    // Renames a damaged database to a dated backup (strBackup) and removes its journal
    // files. False with strError when the rename fails.
    bool x_KeepAside(std::string& strBackup, std::string& strError) REQUIRES(m_openLock, m_writeLock);
    // Open and Close, holding the write lock.
    void x_CloseDatabase() REQUIRES(m_openLock, m_writeLock);
    // The vehicle called name, created when new; caller holds m_lock.
    Vehicle& x_Touch(const std::string& name) REQUIRES(m_lock);
    // The same, first seen at tSeen when never seen before; caller holds m_lock.
    Vehicle& x_Seen(const std::string& name, std::uint32_t tSeen) REQUIRES(m_lock);
    // Marks name dirty, counts the change; caller holds m_lock.
    void x_Changed(const std::string& name) REQUIRES(m_lock);
    // Counts one stored recording into the totals, the last visit and the day of
    // tStored. Of m_vehicles (caller holds m_lock) or of the rows being loaded.
    static void x_CountStored(Vehicle& vehicle, std::uint64_t nBytes, std::uint32_t tStored);
    // Counts the recordings of the notes left in loaded whose finished file is there
    // (present: the paths found with their noted size), except those counted before
    // the database was read (changes), and drops every note.
    static void x_SettleNotes(VehicleMap& loaded, const VehicleMap& changes, const std::set<std::string>& present,
                              LogLines& logs);
    // The helpers below change one vehicle of m_vehicles (or of the rows being loaded);
    // the caller holds m_lock for the former.
    // Puts the entry of key into vehicle.missed (replacing one there), keeping the
    // state counts of its record, and marks it dirty.
    static void x_PutMissed(Vehicle& vehicle, const MissedKey& key, MissedEntry entry);
    // Removes the entry of key, when there is one, and marks it dirty.
    static void x_EraseMissed(Vehicle& vehicle, const MissedKey& key);
    // Drops entries beyond kMissedMax, oldest first: left-behind ones, then retrying,
    // then unfetchable ones (those two counted in nMissedDropped). True when it dropped any.
    static bool x_BoundMissed(const std::string& name, Vehicle& vehicle, LogLines& logs);
    // Reopened after a Close: every row of the copy is to be written again.
    void x_MarkAllDirty() REQUIRES(m_lock);
    // First opened: the rows read (loaded, taken) become the copy, with the changes
    // made before on top and the notes left settled.
    void x_TakeLoaded(VehicleMap& loaded, const std::set<std::string>& present, LogLines& logs) REQUIRES(m_lock);
    // Drops day totals before tKeepFrom, recounts the missed states and bounds the lists.
    void x_PruneAndRecount(std::uint32_t tKeepFrom, LogLines& logs) REQUIRES(m_lock);
    // Merges the marks and missed recordings recorded before the database was read
    // (changes, whose visit numbers start at 0) into the stored vehicle, whose record
    // had nStoredVisits visits before its own merge.
    static void x_MergeMissed(const std::string& name, Vehicle& vehicle, const Vehicle& changes,
                              std::uint32_t nStoredVisits, LogLines& logs);
    bool x_HasDirty() const REQUIRES(m_lock);
    // Takes a batch of what is dirty (an empty one too, for the day's pruning) and
    // writes it; on failure its rows stay dirty. Caller holds m_writeLock, the history
    // is open.
    void x_WriteBatch() REQUIRES(m_writeLock) EXCLUDES(m_lock);
    // Copies the dirty rows out and marks them clean; caller holds m_lock.
    Batch x_TakeBatch() REQUIRES(m_lock);
    // Writes one batch (and deletes day totals before tPruneBefore, when not 0) in one
    // transaction. 0, or -1 with strError after a rollback.
    int x_WriteRows(const Batch& batch, std::uint32_t tPruneBefore, std::string& strError) REQUIRES(m_writeLock);
    // The batch's vehicle, day and mark rows, then its missed and note rows, within the
    // transaction of x_WriteRows. SQLITE_OK, or the failing code.
    int x_WriteVehicleRows(const Batch& batch) REQUIRES(m_writeLock);
    int x_WriteMissedRows(const Batch& batch) REQUIRES(m_writeLock);
    // After a batch was committed (with day totals before tPruneBefore deleted, when not 0).
    void x_BatchWritten(const Batch& batch, std::uint32_t tPruneBefore) REQUIRES(m_lock);
    // After a batch failed: its rows are dirty again.
    void x_BatchFailed(const Batch& batch) REQUIRES(m_lock);

    const std::string m_strPath;

    CMutex m_openLock ACQUIRED_BEFORE(m_writeLock, m_lock);  // one Open or Close at a time
    // One write at a time; guards the database's connection and statements.
    CMutex m_writeLock ACQUIRED_BEFORE(m_lock);
    sqlite3* m_pDb GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pUpsertVehicle GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pUpsertDay GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pPruneDays GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pUpsertMark GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pUpsertMissed GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pDeleteMissed GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pUpsertNote GUARDED_BY(m_writeLock) = nullptr;
    sqlite3_stmt* m_pDeleteNote GUARDED_BY(m_writeLock) = nullptr;
    std::uint32_t m_tPrunedDay GUARDED_BY(m_writeLock) = 0;  // the day whose pruning is done
    bool m_bFailureLogged GUARDED_BY(m_writeLock) = false;   // the current run of failed writes is logged

    mutable CMutex m_lock;             // guards everything below
    VehicleMap m_vehicles GUARDED_BY(m_lock);
    std::set<std::string> m_dirtyNames GUARDED_BY(m_lock);
    bool m_bOpen GUARDED_BY(m_lock) = false;
    bool m_bLoaded GUARDED_BY(m_lock) = false;  // m_vehicles holds the database's rows, not only changes
    std::uint64_t m_nVersion GUARDED_BY(m_lock) = 0;
    std::uint64_t m_nCommitted GUARDED_BY(m_lock) = 0;  // every change up to this count is in the database
};

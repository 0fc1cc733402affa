#include "depot/FleetHistory.h"

#include "core/PeriodicRunner.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/MutexUniqueLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace {

// 1: vehicle and day_total. 2: channel_mark, missed_recording and vehicle.missed_dropped.
// 3: store_note.
constexpr int kSchemaVersion = 3;
constexpr std::uint32_t kDaySeconds = 86400;
constexpr std::size_t kFailureTextMax = 200;

// The tables of a new file, at the current layout.
constexpr const char* kCreateVehicleTables =
    "CREATE TABLE IF NOT EXISTS vehicle("
    " name TEXT PRIMARY KEY NOT NULL,"
    " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, last_address TEXT NOT NULL,"
    " visits INTEGER NOT NULL, files_total INTEGER NOT NULL, bytes_total INTEGER NOT NULL,"
    " files_last_visit INTEGER NOT NULL, bytes_last_visit INTEGER NOT NULL,"
    " last_complete_offload INTEGER NOT NULL, pending INTEGER NOT NULL,"
    " last_failure_time INTEGER NOT NULL, last_failure TEXT NOT NULL,"
    " missed_dropped INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS day_total("
    " name TEXT NOT NULL, day INTEGER NOT NULL, files INTEGER NOT NULL, bytes INTEGER NOT NULL,"
    " PRIMARY KEY(name, day)) WITHOUT ROWID;"
    // Pruning goes by day across all vehicles.
    "CREATE INDEX IF NOT EXISTS day_total_by_day ON day_total(day);";
// What layout 1 lacks.
constexpr const char* kAddMissedDropped = "ALTER TABLE vehicle ADD COLUMN missed_dropped INTEGER NOT NULL DEFAULT 0;";
constexpr const char* kCreateMissedTables =
    "CREATE TABLE IF NOT EXISTS channel_mark("
    " name TEXT NOT NULL, channel INTEGER NOT NULL, complete_up_to INTEGER NOT NULL,"
    " complete_from INTEGER NOT NULL, file_type INTEGER NOT NULL,"
    " PRIMARY KEY(name, channel)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS missed_recording("
    " name TEXT NOT NULL, channel INTEGER NOT NULL, file_name TEXT NOT NULL, start_time INTEGER NOT NULL,"
    " end_time INTEGER NOT NULL, reason TEXT NOT NULL, visits INTEGER NOT NULL, last_visit INTEGER NOT NULL,"
    " last_missed INTEGER NOT NULL, state TEXT NOT NULL,"
    " PRIMARY KEY(name, channel, file_name, start_time)) WITHOUT ROWID;";
// What layout 2 lacks: recordings about to take their finished name, not yet counted.
constexpr const char* kCreateNoteTable =
    "CREATE TABLE IF NOT EXISTS store_note("
    " path TEXT PRIMARY KEY NOT NULL, name TEXT NOT NULL, bytes INTEGER NOT NULL, stored_at INTEGER NOT NULL)"
    " WITHOUT ROWID;";

constexpr const char* kSelectVehicles =
    "SELECT name, first_seen, last_seen, last_address, visits, files_total, bytes_total,"
    " files_last_visit, bytes_last_visit, last_complete_offload, pending, last_failure_time,"
    " last_failure, missed_dropped FROM vehicle";
constexpr const char* kSelectDays = "SELECT name, day, files, bytes FROM day_total";
constexpr const char* kSelectMarks =
    "SELECT name, channel, complete_up_to, complete_from, file_type FROM channel_mark";
constexpr const char* kSelectMissed =
    "SELECT name, channel, file_name, start_time, end_time, reason, visits, last_visit, last_missed, state"
    " FROM missed_recording";
constexpr const char* kSelectNotes = "SELECT path, name, bytes, stored_at FROM store_note";
constexpr const char* kUpsertVehicle =
    "INSERT INTO vehicle(name, first_seen, last_seen, last_address, visits, files_total, bytes_total,"
    " files_last_visit, bytes_last_visit, last_complete_offload, pending, last_failure_time, last_failure,"
    " missed_dropped)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)"
    " ON CONFLICT(name) DO UPDATE SET first_seen=excluded.first_seen, last_seen=excluded.last_seen,"
    " last_address=excluded.last_address, visits=excluded.visits, files_total=excluded.files_total,"
    " bytes_total=excluded.bytes_total, files_last_visit=excluded.files_last_visit,"
    " bytes_last_visit=excluded.bytes_last_visit, last_complete_offload=excluded.last_complete_offload,"
    " pending=excluded.pending, last_failure_time=excluded.last_failure_time,"
    " last_failure=excluded.last_failure, missed_dropped=excluded.missed_dropped";
constexpr const char* kUpsertDay =
    "INSERT INTO day_total(name, day, files, bytes) VALUES(?1, ?2, ?3, ?4)"
    " ON CONFLICT(name, day) DO UPDATE SET files=excluded.files, bytes=excluded.bytes";
constexpr const char* kPruneDays = "DELETE FROM day_total WHERE day < ?1";
constexpr const char* kUpsertMark =
    "INSERT INTO channel_mark(name, channel, complete_up_to, complete_from, file_type) VALUES(?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(name, channel) DO UPDATE SET complete_up_to=excluded.complete_up_to,"
    " complete_from=excluded.complete_from, file_type=excluded.file_type";
constexpr const char* kUpsertMissed =
    "INSERT INTO missed_recording(name, channel, file_name, start_time, end_time, reason, visits, last_visit,"
    " last_missed, state) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
    " ON CONFLICT(name, channel, file_name, start_time) DO UPDATE SET end_time=excluded.end_time,"
    " reason=excluded.reason, visits=excluded.visits, last_visit=excluded.last_visit,"
    " last_missed=excluded.last_missed, state=excluded.state";
constexpr const char* kDeleteMissed =
    "DELETE FROM missed_recording WHERE name=?1 AND channel=?2 AND file_name=?3 AND start_time=?4";
constexpr const char* kUpsertNote =
    "INSERT INTO store_note(path, name, bytes, stored_at) VALUES(?1, ?2, ?3, ?4)"
    " ON CONFLICT(path) DO UPDATE SET name=excluded.name, bytes=excluded.bytes, stored_at=excluded.stored_at";
constexpr const char* kDeleteNote = "DELETE FROM store_note WHERE path=?1";

MissedRecording::State StateFromName(const std::string& text)
{
    for (auto eState : {MissedRecording::State::Unfetchable, MissedRecording::State::LeftBehind})
        if (text == MissedStateName(eState))
            return eState;
    // Anything else is tried again rather than forgotten.
    return MissedRecording::State::Retrying;
}

void WriteLogLines(const std::vector<std::pair<std::string, std::string>>& lines)
{
    for (const auto& [text, vehicle] : lines)
        WriteLog(text, vehicle.c_str());
}

std::string UnfetchableText(const std::string& name, const MissedRecording& rec)
{
    return Format("vehname=%s, chan=%d, recording %s unfetchable after %u visits: %s", name.c_str(), rec.nChannel,
                  rec.strFileName.c_str(), rec.nVisits, rec.strReason.c_str());
}

// Adds nDelta to the count of eState in rec.
void CountState(FleetRecord& rec, MissedRecording::State eState, int nDelta)
{
    if (eState == MissedRecording::State::Unfetchable)
        rec.nUnfetchable += static_cast<std::uint32_t>(nDelta);
    else if (eState == MissedRecording::State::LeftBehind)
        rec.nLeftBehind += static_cast<std::uint32_t>(nDelta);
}

std::uint32_t DayOf(std::uint32_t t)
{
    return t - t % kDaySeconds;
}

// The oldest day still kept when today is tToday: kDayTotalDays days including today.
std::uint32_t KeepFrom(std::uint32_t tToday)
{
    std::uint32_t nSpan = (CFleetHistory::kDayTotalDays - 1) * kDaySeconds;
    return tToday > nSpan ? tToday - nSpan : 0;
}

// Codes that say the file is not a usable database of ours, as opposed to one that
// cannot be reached just now (locked, unreadable, disk full).
bool IsDamage(int rc)
{
    rc &= 0xff;
    return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

// At most nMax bytes of text, never ending inside a UTF-8 sequence.
std::string CutUtf8(const std::string& text, std::size_t nMax)
{
    if (text.size() <= nMax)
        return text;
    std::size_t nLen = nMax;
    while (nLen > 0 && (static_cast<unsigned char>(text[nLen]) & 0xC0) == 0x80)
        --nLen;
    return text.substr(0, nLen);
}

std::string ColumnText(sqlite3_stmt* pStmt, int nCol)
{
    const auto* p = static_cast<const char*>(sqlite3_column_blob(pStmt, nCol));
    int nBytes = sqlite3_column_bytes(pStmt, nCol);
    return p ? std::string(p, static_cast<std::size_t>(nBytes)) : std::string();
}

std::uint64_t ColumnU64(sqlite3_stmt* pStmt, int nCol)
{
    return static_cast<std::uint64_t>(sqlite3_column_int64(pStmt, nCol));
}

std::uint32_t ColumnU32(sqlite3_stmt* pStmt, int nCol)
{
    return static_cast<std::uint32_t>(sqlite3_column_int64(pStmt, nCol));
}

void BindText(sqlite3_stmt* pStmt, int nParam, const std::string& text)
{
    sqlite3_bind_text(pStmt, nParam, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

void BindInt(sqlite3_stmt* pStmt, int nParam, std::int64_t nValue)
{
    sqlite3_bind_int64(pStmt, nParam, nValue);
}

// Runs a statement that yields at most one row and keeps its first column in strValue.
// SQLITE_OK or the failing code, with strError.
int QueryOne(sqlite3* pDb, const char* szSql, std::string& strValue, std::string& strError)
{
    sqlite3_stmt* pStmt = nullptr;
    int rc = sqlite3_prepare_v2(pDb, szSql, -1, &pStmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(pStmt);
        if (rc == SQLITE_ROW) {
            strValue = ColumnText(pStmt, 0);
            rc = SQLITE_OK;
        } else if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK)
        strError = sqlite3_errmsg(pDb);
    sqlite3_finalize(pStmt);
    return rc;
}

// Whether szTable has a column szColumn.
bool HasColumn(sqlite3* pDb, const char* szTable, const char* szColumn)
{
    sqlite3_stmt* pStmt = nullptr;
    std::string strSql = Format("SELECT %s FROM %s LIMIT 0", szColumn, szTable);
    bool bHas = sqlite3_prepare_v2(pDb, strSql.c_str(), -1, &pStmt, nullptr) == SQLITE_OK;
    sqlite3_finalize(pStmt);
    return bHas;
}

// A vehicle first met before the database was read carries only what was recorded
// since; adds it to the stored row.
void MergeChanges(FleetRecord& stored, const FleetRecord& changes)
{
    if (stored.tFirstSeen == 0 || (changes.tFirstSeen != 0 && changes.tFirstSeen < stored.tFirstSeen))
        stored.tFirstSeen = changes.tFirstSeen;
    stored.tLastSeen = std::max(stored.tLastSeen, changes.tLastSeen);
    if (changes.nVisits > 0) {
        stored.strLastAddress = changes.strLastAddress;
        stored.nFilesLastVisit = changes.nFilesLastVisit;
        stored.nBytesLastVisit = changes.nBytesLastVisit;
    } else {
        stored.nFilesLastVisit += changes.nFilesLastVisit;
        stored.nBytesLastVisit += changes.nBytesLastVisit;
    }
    stored.nVisits += changes.nVisits;
    stored.nFilesTotal += changes.nFilesTotal;
    stored.nBytesTotal += changes.nBytesTotal;
    stored.tLastCompleteOffload = std::max(stored.tLastCompleteOffload, changes.tLastCompleteOffload);
    // A complete offload since cleared the stored drops.
    if (changes.tLastCompleteOffload != 0)
        stored.nMissedDropped = changes.nMissedDropped;
    else
        stored.nMissedDropped += changes.nMissedDropped;
    if (changes.nPending != -1)
        stored.nPending = changes.nPending;
    if (changes.tLastFailure != 0 || !changes.strLastFailure.empty()) {
        stored.tLastFailure = changes.tLastFailure;
        stored.strLastFailure = changes.strLastFailure;
    }
}

// Runs the query szSql and hands each row to onRow. SQLITE_DONE, or the failing code.
template <class OnRow>
int ForEachRow(sqlite3* pDb, const char* szSql, OnRow onRow)
{
    sqlite3_stmt* pStmt = nullptr;
    int rc = sqlite3_prepare_v2(pDb, szSql, -1, &pStmt, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW)
        onRow(pStmt);
    sqlite3_finalize(pStmt);
    return rc;
}

// The columns of a vehicle row after its name.
void ReadVehicleColumns(sqlite3_stmt* pStmt, FleetRecord& rec)
{
    rec.tFirstSeen = ColumnU32(pStmt, 1);
    rec.tLastSeen = ColumnU32(pStmt, 2);
    rec.strLastAddress = ColumnText(pStmt, 3);
    rec.nVisits = ColumnU32(pStmt, 4);
    rec.nFilesTotal = ColumnU64(pStmt, 5);
    rec.nBytesTotal = ColumnU64(pStmt, 6);
    rec.nFilesLastVisit = ColumnU64(pStmt, 7);
    rec.nBytesLastVisit = ColumnU64(pStmt, 8);
    rec.tLastCompleteOffload = ColumnU32(pStmt, 9);
    rec.nPending = sqlite3_column_int64(pStmt, 10);
    rec.tLastFailure = ColumnU32(pStmt, 11);
    rec.strLastFailure = ColumnText(pStmt, 12);
    rec.nMissedDropped = ColumnU64(pStmt, 13);
}

// The recording of a missed row (its last visit, column 7, is the caller's).
MissedRecording ReadMissedColumns(sqlite3_stmt* pStmt)
{
    MissedRecording rec;
    rec.nChannel = static_cast<std::uint8_t>(sqlite3_column_int(pStmt, 1));
    rec.strFileName = ColumnText(pStmt, 2);
    rec.tStart = ColumnU32(pStmt, 3);
    rec.tEnd = ColumnU32(pStmt, 4);
    rec.strReason = ColumnText(pStmt, 5);
    rec.nVisits = ColumnU32(pStmt, 6);
    rec.tLastMissed = ColumnU32(pStmt, 8);
    rec.eState = StateFromName(ColumnText(pStmt, 9));
    return rec;
}

void BindVehicle(sqlite3_stmt* p, const FleetRecord& rec)
{
    BindText(p, 1, rec.strName);
    BindInt(p, 2, rec.tFirstSeen);
    BindInt(p, 3, rec.tLastSeen);
    BindText(p, 4, rec.strLastAddress);
    BindInt(p, 5, rec.nVisits);
    BindInt(p, 6, static_cast<std::int64_t>(rec.nFilesTotal));
    BindInt(p, 7, static_cast<std::int64_t>(rec.nBytesTotal));
    BindInt(p, 8, static_cast<std::int64_t>(rec.nFilesLastVisit));
    BindInt(p, 9, static_cast<std::int64_t>(rec.nBytesLastVisit));
    BindInt(p, 10, rec.tLastCompleteOffload);
    BindInt(p, 11, rec.nPending);
    BindInt(p, 12, rec.tLastFailure);
    BindText(p, 13, rec.strLastFailure);
    BindInt(p, 14, static_cast<std::int64_t>(rec.nMissedDropped));
}

void BindMissed(sqlite3_stmt* p, const std::string& name, const MissedRecording& rec, std::uint32_t nLastVisit)
{
    BindText(p, 1, name);
    BindInt(p, 2, rec.nChannel);
    BindText(p, 3, rec.strFileName);
    BindInt(p, 4, rec.tStart);
    BindInt(p, 5, rec.tEnd);
    BindText(p, 6, rec.strReason);
    BindInt(p, 7, rec.nVisits);
    BindInt(p, 8, nLastVisit);
    BindInt(p, 9, rec.tLastMissed);
    sqlite3_bind_text(p, 10, MissedStateName(rec.eState), -1, SQLITE_STATIC);
}

// Runs a bound statement once and readies it for the next row. SQLITE_OK when done.
int StepOnce(sqlite3_stmt* pStmt)
{
    int nStep = sqlite3_step(pStmt);
    sqlite3_reset(pStmt);
    return nStep == SQLITE_DONE ? SQLITE_OK : nStep;
}

}  // namespace

CFleetHistory::CFleetHistory(std::string path) : m_strPath(std::move(path)) {}

CFleetHistory::~CFleetHistory()
{
    Close();
}

int CFleetHistory::Open()
{
    CMutexLock openGuard(m_openLock);
    CMutexLock writeGuard(m_writeLock);
    {
        CMutexLock guard(m_lock);
        if (m_bOpen)
            return 0;
    }
    VehicleMap loaded;
    if (x_LoadDatabase(loaded) != 0)
        return -1;

    std::uint32_t tKeepFrom = KeepFrom(DayOf(WallClockNow()));
    // Notes left by a process that ended between noting a recording and counting it:
    // which of those recordings took their finished name. Looked up before the lock,
    // the recorders must not wait for the disk.
    const std::set<std::string> present = x_PresentNotes(loaded);
    LogLines logs;
    {
        CMutexLock guard(m_lock);
        if (m_bLoaded)
            x_MarkAllDirty();
        else
            x_TakeLoaded(loaded, present, logs);
        x_PruneAndRecount(tKeepFrom, logs);
        if (m_dirtyNames.empty())
            m_nCommitted = m_nVersion;
        m_bOpen = true;
    }
    m_bFailureLogged = false;
    WriteLogLines(logs);
    return 0;
}

int CFleetHistory::x_LoadDatabase(VehicleMap& loaded)
{
    std::string strError;
    OpenResult result = x_OpenDatabase(loaded, strError);
    if (result == OpenResult::Damaged) {
        std::string strBackup;
        if (x_KeepAside(strBackup, strError)) {
            WriteLog(Format("fleet history %s is damaged, kept as %s and started afresh", m_strPath.c_str(),
                            strBackup.c_str()));
            loaded.clear();
            result = x_OpenDatabase(loaded, strError);
        }
    }
    if (result != OpenResult::Ok) {
        WriteLog(Format("fleet history %s cannot be opened: %s", m_strPath.c_str(), strError.c_str()));
        return -1;
    }
    return 0;
}

std::set<std::string> CFleetHistory::x_PresentNotes(const VehicleMap& loaded)
{
    std::set<std::string> present;
    for (const auto& [name, vehicle] : loaded) {
        for (const auto& [path, note] : vehicle.notes) {
            std::error_code ec;
            if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == note.nBytes &&
                !ec)
                present.insert(path);
        }
    }
    return present;
}

void CFleetHistory::x_MarkAllDirty()
{
    // Reopened after a Close: the copy is the whole truth, and the file may
    // have been started afresh meanwhile, so all of it is written again.
    for (auto& [name, vehicle] : m_vehicles) {
        m_dirtyNames.insert(name);
        for (const auto& [tDay, total] : vehicle.days)
            vehicle.dirtyDays.insert(tDay);
        for (const auto& [nChannel, tUpTo] : vehicle.marks)
            vehicle.dirtyMarks.insert(nChannel);
        for (const auto& [key, entry] : vehicle.missed)
            vehicle.dirtyMissed.insert(key);
        for (const auto& [path, note] : vehicle.notes)
            vehicle.dirtyNotes.insert(path);
    }
    if (!m_dirtyNames.empty())
        ++m_nVersion;
}

void CFleetHistory::x_TakeLoaded(VehicleMap& loaded, const std::set<std::string>& present, LogLines& logs)
{
    // Settled first: a recording noted in the last visit counts in that visit,
    // before an arrival recorded meanwhile starts the next one.
    x_SettleNotes(loaded, m_vehicles, present, logs);
    // What the recorders kept before now are changes on top of the stored rows.
    for (auto& [name, changes] : m_vehicles) {
        auto [it, bNew] = loaded.try_emplace(name);
        Vehicle& vehicle = it->second;
        const std::uint32_t nStoredVisits = vehicle.rec.nVisits;
        if (bNew)
            vehicle.rec = changes.rec;
        else
            MergeChanges(vehicle.rec, changes.rec);
        for (const auto& [tDay, total] : changes.days) {
            FleetDayTotal& day = vehicle.days[tDay];
            day.tDay = tDay;
            day.nFiles += total.nFiles;
            day.nBytes += total.nBytes;
            vehicle.dirtyDays.insert(tDay);
        }
        x_MergeMissed(name, vehicle, changes, nStoredVisits, logs);
    }
    m_vehicles.swap(loaded);
    m_bLoaded = true;
    for (const auto& [name, vehicle] : m_vehicles) {
        if (!vehicle.dirtyNotes.empty()) {
            m_dirtyNames.insert(name);
            ++m_nVersion;
        }
    }
}

void CFleetHistory::x_PruneAndRecount(std::uint32_t tKeepFrom, LogLines& logs)
{
    for (auto& [name, vehicle] : m_vehicles) {
        vehicle.days.erase(vehicle.days.begin(), vehicle.days.lower_bound(tKeepFrom));
        vehicle.dirtyDays.erase(vehicle.dirtyDays.begin(), vehicle.dirtyDays.lower_bound(tKeepFrom));
        // The counts of the stored rows, and a list grown beyond its bound by the merge.
        vehicle.rec.nUnfetchable = 0;
        vehicle.rec.nLeftBehind = 0;
        for (const auto& [key, entry] : vehicle.missed)
            CountState(vehicle.rec, entry.rec.eState, 1);
        if (x_BoundMissed(name, vehicle, logs)) {
            m_dirtyNames.insert(name);
            ++m_nVersion;
        }
    }
}

void CFleetHistory::Forget()
{
    CMutexLock openGuard(m_openLock);
    CMutexLock guard(m_lock);
    if (m_bOpen)
        return;
    m_vehicles.clear();
    m_dirtyNames.clear();
    m_bLoaded = false;
    m_nCommitted = ++m_nVersion;
}

void CFleetHistory::Close()
{
    CMutexLock openGuard(m_openLock);
    CMutexLock writeGuard(m_writeLock);
    {
        CMutexLock guard(m_lock);
        if (!m_bOpen)
            return;
    }
    x_WriteBatch();
    x_CloseDatabase();
    CMutexLock guard(m_lock);
    m_bOpen = false;
}

bool CFleetHistory::IsOpen() const
{
    CMutexLock guard(m_lock);
    return m_bOpen;
}

void CFleetHistory::OnArrival(const std::string& name, const std::string& address, std::uint32_t tNow)
{
    CMutexLock guard(m_lock);
    FleetRecord& rec = x_Seen(name, tNow).rec;
    rec.tLastSeen = tNow;
    rec.strLastAddress = address;
    ++rec.nVisits;
    rec.nFilesLastVisit = 0;
    rec.nBytesLastVisit = 0;
    x_Changed(name);
}

void CFleetHistory::OnDeparture(const std::string& name, std::uint32_t tLastSeen)
{
    CMutexLock guard(m_lock);
    FleetRecord& rec = x_Seen(name, tLastSeen).rec;
    rec.tLastSeen = tLastSeen;
    x_Changed(name);
}

void CFleetHistory::OnFileStored(const std::string& name, std::uint64_t nBytes, std::uint32_t tNow)
{
    CMutexLock guard(m_lock);
    Vehicle& vehicle = x_Seen(name, tNow);
    vehicle.rec.tLastSeen = tNow;
    x_CountStored(vehicle, nBytes, tNow);
    x_Changed(name);
}

void CFleetHistory::OnStoring(const std::string& name, const std::string& path, std::uint64_t nBytes,
                              std::uint32_t tNow)
{
    {
        CMutexLock guard(m_lock);
        // Before the database is read nothing could keep the note.
        if (!m_bLoaded)
            return;
        Vehicle& vehicle = x_Touch(name);
        vehicle.notes[path] = StoreNote {nBytes, tNow};
        vehicle.dirtyNotes.insert(path);
        x_Changed(name);
    }
    Flush();
}

void CFleetHistory::OnFileStored(const std::string& name, const std::string& path, std::uint64_t nBytes,
                                 std::uint32_t tNow)
{
    CMutexLock guard(m_lock);
    Vehicle& vehicle = x_Seen(name, tNow);
    vehicle.rec.tLastSeen = tNow;
    x_CountStored(vehicle, nBytes, tNow);
    if (vehicle.notes.erase(path) != 0)
        vehicle.dirtyNotes.insert(path);
    if (!m_bLoaded) {
        // A note of the path in the unread database must not count it again.
        vehicle.countedBeforeLoad.insert(path);
    }
    x_Changed(name);
}

void CFleetHistory::OnStoreAbandoned(const std::string& name, const std::string& path)
{
    CMutexLock guard(m_lock);
    auto it = m_vehicles.find(name);
    if (it == m_vehicles.end() || it->second.notes.erase(path) == 0)
        return;
    it->second.dirtyNotes.insert(path);
    x_Changed(name);
}

void CFleetHistory::OnCompleteOffload(const std::string& name, std::uint32_t tNow)
{
    CMutexLock guard(m_lock);
    FleetRecord& rec = x_Seen(name, tNow).rec;
    rec.tLastCompleteOffload = tNow;
    // Every channel finished with nothing skipped: a dropped entry was stored since or
    // is no longer in the span, so none of them is pending any more.
    rec.nMissedDropped = 0;
    x_Changed(name);
}

void CFleetHistory::OnPending(const std::string& name, std::int64_t nPending)
{
    CMutexLock guard(m_lock);
    x_Touch(name).rec.nPending = nPending < 0 ? -1 : nPending;
    x_Changed(name);
}

void CFleetHistory::OnFailure(const std::string& name, const std::string& text, std::uint32_t tNow)
{
    std::string strText = CutUtf8(text, kFailureTextMax);  // before the lock
    CMutexLock guard(m_lock);
    FleetRecord& rec = x_Seen(name, tNow).rec;
    rec.tLastFailure = tNow;
    rec.strLastFailure = std::move(strText);
    x_Changed(name);
}

void CFleetHistory::OnCompleteMark(const std::string& name, std::uint8_t nChannel, const ChannelMark& mark)
{
    CMutexLock guard(m_lock);
    Vehicle& vehicle = x_Touch(name);
    ChannelMark stored = mark;
    stored.bSet = true;
    auto [it, bNew] = vehicle.marks.try_emplace(nChannel, stored);
    // The task sets it after every stored recording; an unchanged mark costs no write.
    if (!bNew && it->second.tUpTo == stored.tUpTo && it->second.tFrom == stored.tFrom &&
        it->second.nFileType == stored.nFileType)
        return;
    it->second = stored;
    vehicle.dirtyMarks.insert(nChannel);
    x_Changed(name);
}

void CFleetHistory::OnRecordingMissed(const std::string& name, const MissedRecording& rec, std::uint32_t tNow)
{
    std::string strReason = CutUtf8(rec.strReason, kFailureTextMax);  // before the lock
    LogLines logs;
    {
        CMutexLock guard(m_lock);
        Vehicle& vehicle = x_Seen(name, tNow);
        MissedKey key(rec.tStart, rec.nChannel, rec.strFileName);
        auto it = vehicle.missed.find(key);
        const bool bWasUnfetchable =
            it != vehicle.missed.end() && it->second.rec.eState == MissedRecording::State::Unfetchable;
        MissedEntry entry = it != vehicle.missed.end() ? it->second : MissedEntry {};
        if (it == vehicle.missed.end()) {
            entry.rec.nChannel = rec.nChannel;
            entry.rec.strFileName = rec.strFileName;
            entry.rec.tStart = rec.tStart;
        }
        entry.rec.tEnd = rec.tEnd;
        if (!strReason.empty())
            entry.rec.strReason = std::move(strReason);
        entry.rec.tLastMissed = tNow;
        // Passes of the same visit count once: a recording that fails on one visit
        // only may have met a bad connection.
        const std::uint32_t nVisit = vehicle.rec.nVisits;
        if (entry.rec.nVisits == 0 || entry.nLastVisit != nVisit) {
            if (entry.rec.nVisits == 0)
                entry.nFirstVisit = nVisit;
            ++entry.rec.nVisits;
            entry.nLastVisit = nVisit;
        }
        entry.rec.eState = entry.rec.nVisits >= kUnfetchableVisits ? MissedRecording::State::Unfetchable
                                                                   : MissedRecording::State::Retrying;
        if (entry.rec.eState == MissedRecording::State::Unfetchable && !bWasUnfetchable)
            logs.emplace_back(UnfetchableText(name, entry.rec), name);
        x_PutMissed(vehicle, key, std::move(entry));
        x_BoundMissed(name, vehicle, logs);
        x_Changed(name);
    }
    WriteLogLines(logs);
}

void CFleetHistory::OnRecordingLeftBehind(const std::string& name, const MissedRecording& rec, std::uint32_t tNow)
{
    std::string strReason = CutUtf8(rec.strReason, kFailureTextMax);  // before the lock
    LogLines logs;
    {
        CMutexLock guard(m_lock);
        Vehicle& vehicle = x_Seen(name, tNow);
        MissedKey key(rec.tStart, rec.nChannel, rec.strFileName);
        auto it = vehicle.missed.find(key);
        MissedEntry entry = it != vehicle.missed.end() ? it->second : MissedEntry {};
        if (it == vehicle.missed.end()) {
            entry.rec.nChannel = rec.nChannel;
            entry.rec.strFileName = rec.strFileName;
            entry.rec.tStart = rec.tStart;
        }
        entry.rec.tEnd = rec.tEnd;
        if (!strReason.empty())
            entry.rec.strReason = std::move(strReason);
        entry.rec.tLastMissed = tNow;
        entry.rec.eState = MissedRecording::State::LeftBehind;
        x_PutMissed(vehicle, key, std::move(entry));
        x_BoundMissed(name, vehicle, logs);
        x_Changed(name);
    }
    WriteLogLines(logs);
}

void CFleetHistory::OnRecordingStored(const std::string& name, std::uint8_t nChannel, const std::string& strFileName,
                                      std::uint32_t tStart)
{
    CMutexLock guard(m_lock);
    MissedKey key(tStart, nChannel, strFileName);
    if (!m_bLoaded) {
        // The unread database may hold the entry: its row is deleted at the merge.
        Vehicle& vehicle = x_Touch(name);
        x_EraseMissed(vehicle, key);
        vehicle.dirtyMissed.insert(key);
        vehicle.storedBeforeLoad.insert(key);
        // Bounded like the list; the oldest go, which would only be listed again.
        while (vehicle.storedBeforeLoad.size() > kMissedMax) {
            auto itOld = vehicle.storedBeforeLoad.begin();
            if (!vehicle.missed.count(*itOld))
                vehicle.dirtyMissed.erase(*itOld);
            vehicle.storedBeforeLoad.erase(itOld);
        }
        x_Changed(name);
        return;
    }
    auto it = m_vehicles.find(name);
    if (it == m_vehicles.end() || !it->second.missed.count(key))
        return;
    x_EraseMissed(it->second, key);
    x_Changed(name);
}

std::vector<FleetRecord> CFleetHistory::Snapshot(std::uint32_t tNow) const
{
    std::uint32_t tDay = DayOf(tNow);
    CMutexLock guard(m_lock);
    std::vector<FleetRecord> records;
    records.reserve(m_vehicles.size());
    for (const auto& [name, vehicle] : m_vehicles) {
        records.push_back(vehicle.rec);
        auto it = vehicle.days.find(tDay);
        if (it != vehicle.days.end()) {
            records.back().nFilesToday = it->second.nFiles;
            records.back().nBytesToday = it->second.nBytes;
        }
    }
    return records;
}

std::vector<FleetDayTotal> CFleetHistory::DayTotals(const std::string& name) const
{
    CMutexLock guard(m_lock);
    std::vector<FleetDayTotal> totals;
    auto it = m_vehicles.find(name);
    if (it != m_vehicles.end()) {
        for (const auto& [tDay, total] : it->second.days)
            totals.push_back(total);
    }
    return totals;
}

bool CFleetHistory::Knows(const std::string& name) const
{
    CMutexLock guard(m_lock);
    return m_vehicles.count(name) != 0;
}

ChannelMark CFleetHistory::CompleteMark(const std::string& name, std::uint8_t nChannel) const
{
    CMutexLock guard(m_lock);
    auto it = m_vehicles.find(name);
    if (it == m_vehicles.end())
        return {};
    auto itMark = it->second.marks.find(nChannel);
    return itMark == it->second.marks.end() ? ChannelMark {} : itMark->second;
}

std::vector<MissedRecording> CFleetHistory::MissedRecordings(const std::string& name) const
{
    CMutexLock guard(m_lock);
    std::vector<MissedRecording> recordings;
    auto it = m_vehicles.find(name);
    if (it != m_vehicles.end()) {
        recordings.reserve(it->second.missed.size());
        for (const auto& [key, entry] : it->second.missed)
            recordings.push_back(entry.rec);
    }
    return recordings;
}

std::uint64_t CFleetHistory::Version() const
{
    CMutexLock guard(m_lock);
    return m_nVersion;
}

void CFleetHistory::Flush()
{
    std::uint64_t nTarget = 0;
    {
        CMutexLock guard(m_lock);
        if (!m_bOpen)
            return;
        nTarget = m_nVersion;
        if (m_nCommitted >= nTarget)
            return;
    }
    // A write that held the lock meanwhile may have taken these changes along.
    CMutexLock writeGuard(m_writeLock);
    {
        CMutexLock guard(m_lock);
        if (!m_bOpen || m_nCommitted >= nTarget)
            return;
    }
    // Written now, or the write failed (logged) and waiting longer could be forever.
    x_WriteBatch();
}

void CFleetHistory::AddTo(CPeriodicRunner& runner)
{
    runner.Add("fleet history write", &ZelTiming::nHistoryFlushMs, [this] {
        WriteDirty();
        return false;
    });
}

void CFleetHistory::WriteDirty()
{
    {
        // Checked first without the write lock: a Flush under way must not make the
        // runner wait when there is nothing to write.
        CMutexLock guard(m_lock);
        if (!m_bOpen || !x_HasDirty())
            return;
    }
    CMutexLock writeGuard(m_writeLock);
    {
        CMutexLock guard(m_lock);
        if (!m_bOpen || !x_HasDirty())
            return;
    }
    x_WriteBatch();
}

CFleetHistory::Vehicle& CFleetHistory::x_Touch(const std::string& name)
{
    auto [it, bNew] = m_vehicles.try_emplace(name);
    if (bNew)
        it->second.rec.strName = name;
    return it->second;
}

CFleetHistory::Vehicle& CFleetHistory::x_Seen(const std::string& name, std::uint32_t tSeen)
{
    Vehicle& vehicle = x_Touch(name);
    if (vehicle.rec.tFirstSeen == 0)
        vehicle.rec.tFirstSeen = tSeen;
    return vehicle;
}

void CFleetHistory::x_Changed(const std::string& name)
{
    m_dirtyNames.insert(name);
    ++m_nVersion;
}

void CFleetHistory::x_CountStored(Vehicle& vehicle, std::uint64_t nBytes, std::uint32_t tStored)
{
    FleetRecord& rec = vehicle.rec;
    ++rec.nFilesTotal;
    rec.nBytesTotal += nBytes;
    ++rec.nFilesLastVisit;
    rec.nBytesLastVisit += nBytes;
    std::uint32_t tDay = DayOf(tStored);
    FleetDayTotal& day = vehicle.days[tDay];
    day.tDay = tDay;
    ++day.nFiles;
    day.nBytes += nBytes;
    vehicle.dirtyDays.insert(tDay);
}

void CFleetHistory::x_SettleNotes(VehicleMap& loaded, const VehicleMap& changes, const std::set<std::string>& present,
                                  LogLines& logs)
{
    for (auto& [name, vehicle] : loaded) {
        if (vehicle.notes.empty())
            continue;
        auto itChanges = changes.find(name);
        for (const auto& [path, note] : vehicle.notes) {
            bool bCounted = itChanges != changes.end() && itChanges->second.countedBeforeLoad.count(path) != 0;
            if (!bCounted && present.count(path) != 0) {
                x_CountStored(vehicle, note.nBytes, note.tStored);
                logs.emplace_back(Format("fleet history: recording %s, stored as the last run ended, counted now",
                                         path.c_str()),
                                  name);
            }
            vehicle.dirtyNotes.insert(path);
        }
        vehicle.notes.clear();
    }
}

void CFleetHistory::x_PutMissed(Vehicle& vehicle, const MissedKey& key, MissedEntry entry)
{
    auto [it, bNew] = vehicle.missed.try_emplace(key);
    if (!bNew)
        CountState(vehicle.rec, it->second.rec.eState, -1);
    CountState(vehicle.rec, entry.rec.eState, 1);
    it->second = std::move(entry);
    vehicle.dirtyMissed.insert(key);
}

void CFleetHistory::x_EraseMissed(Vehicle& vehicle, const MissedKey& key)
{
    auto it = vehicle.missed.find(key);
    if (it == vehicle.missed.end())
        return;
    CountState(vehicle.rec, it->second.rec.eState, -1);
    vehicle.missed.erase(it);
    vehicle.dirtyMissed.insert(key);
}

bool CFleetHistory::x_BoundMissed(const std::string& name, Vehicle& vehicle, LogLines& logs)
{
    bool bDropped = false;
    while (vehicle.missed.size() > kMissedMax) {
        auto itDrop = vehicle.missed.end();
        for (auto eState : {MissedRecording::State::LeftBehind, MissedRecording::State::Retrying,
                            MissedRecording::State::Unfetchable}) {
            itDrop = std::find_if(vehicle.missed.begin(), vehicle.missed.end(),
                                  [eState](const auto& item) { return item.second.rec.eState == eState; });
            if (itDrop != vehicle.missed.end())
                break;
        }
        const MissedRecording& rec = itDrop->second.rec;
        if (rec.eState == MissedRecording::State::LeftBehind) {
            logs.emplace_back(Format("vehname=%s, chan=%d, left-behind recording %s no longer listed: more than %zu "
                                     "missed recordings",
                                     name.c_str(), rec.nChannel, rec.strFileName.c_str(), kMissedMax),
                              name);
        } else {
            // Still not stored: counted, so that the vehicle stays marked.
            ++vehicle.rec.nMissedDropped;
            logs.emplace_back(Format("vehname=%s, chan=%d, %s recording %s no longer listed: more than %zu missed "
                                     "recordings, %llu not listed",
                                     name.c_str(), rec.nChannel, MissedStateName(rec.eState),
                                     rec.strFileName.c_str(), kMissedMax,
                                     static_cast<unsigned long long>(vehicle.rec.nMissedDropped)),
                              name);
        }
        MissedKey key = itDrop->first;
        x_EraseMissed(vehicle, key);
        bDropped = true;
    }
    return bDropped;
}

void CFleetHistory::x_MergeMissed(const std::string& name, Vehicle& vehicle, const Vehicle& changes,
                                  std::uint32_t nStoredVisits, LogLines& logs)
{
    for (std::uint8_t nChannel : changes.dirtyMarks) {
        auto it = changes.marks.find(nChannel);
        if (it == changes.marks.end())
            continue;
        vehicle.marks[nChannel] = it->second;
        vehicle.dirtyMarks.insert(nChannel);
    }
    for (const MissedKey& key : changes.dirtyMissed) {
        auto itChange = changes.missed.find(key);
        if (itChange == changes.missed.end()) {
            x_EraseMissed(vehicle, key);
            vehicle.dirtyMissed.insert(key);  // the row goes even when the copy never had it
            continue;
        }
        MissedEntry entry = itChange->second;
        // The visits counted since the start of this process follow the stored ones.
        entry.nFirstVisit += nStoredVisits;
        entry.nLastVisit += nStoredVisits;
        auto itStored = vehicle.missed.find(key);
        bool bWasUnfetchable = false;
        if (itStored != vehicle.missed.end() && !changes.storedBeforeLoad.count(key)) {
            const MissedEntry& stored = itStored->second;
            bWasUnfetchable = stored.rec.eState == MissedRecording::State::Unfetchable;
            if (entry.rec.nVisits == 0) {
                entry.rec.nVisits = stored.rec.nVisits;
                entry.nFirstVisit = stored.nFirstVisit;
                entry.nLastVisit = stored.nLastVisit;
            } else if (stored.rec.nVisits > 0) {
                // Only the visit the process started in can be counted on both sides.
                entry.rec.nVisits += stored.rec.nVisits - (entry.nFirstVisit == stored.nLastVisit ? 1 : 0);
            }
            if (entry.rec.strReason.empty())
                entry.rec.strReason = stored.rec.strReason;
        }
        if (entry.rec.eState != MissedRecording::State::LeftBehind) {
            entry.rec.eState = entry.rec.nVisits >= kUnfetchableVisits ? MissedRecording::State::Unfetchable
                                                                       : MissedRecording::State::Retrying;
            if (entry.rec.eState == MissedRecording::State::Unfetchable && !bWasUnfetchable &&
                itChange->second.rec.eState != MissedRecording::State::Unfetchable)
                logs.emplace_back(UnfetchableText(name, entry.rec), name);
        }
        x_PutMissed(vehicle, key, std::move(entry));
    }
}

bool CFleetHistory::x_HasDirty() const
{
    return !m_dirtyNames.empty();
}

CFleetHistory::Batch CFleetHistory::x_TakeBatch()
{
    Batch batch;
    batch.nVersion = m_nVersion;
    for (const std::string& name : m_dirtyNames) {
        auto it = m_vehicles.find(name);
        if (it == m_vehicles.end())
            continue;
        Vehicle& vehicle = it->second;
        batch.rows.push_back(vehicle.rec);
        for (std::uint32_t tDay : vehicle.dirtyDays) {
            auto itDay = vehicle.days.find(tDay);
            if (itDay != vehicle.days.end())
                batch.days.emplace_back(name, itDay->second);
        }
        vehicle.dirtyDays.clear();
        for (std::uint8_t nChannel : vehicle.dirtyMarks) {
            auto itMark = vehicle.marks.find(nChannel);
            if (itMark != vehicle.marks.end())
                batch.marks.emplace_back(name, nChannel, itMark->second);
        }
        vehicle.dirtyMarks.clear();
        for (const MissedKey& key : vehicle.dirtyMissed) {
            auto itMissed = vehicle.missed.find(key);
            if (itMissed != vehicle.missed.end())
                batch.missed.emplace_back(name, itMissed->second);
            else
                batch.unmissed.emplace_back(name, key);
        }
        vehicle.dirtyMissed.clear();
        for (const std::string& path : vehicle.dirtyNotes) {
            auto itNote = vehicle.notes.find(path);
            if (itNote != vehicle.notes.end())
                batch.notes.emplace_back(name, path, itNote->second);
            else
                batch.unnoted.emplace_back(name, path);
        }
        vehicle.dirtyNotes.clear();
    }
    m_dirtyNames.clear();
    return batch;
}

void CFleetHistory::x_WriteBatch()
{
    CMutexUniqueLock guard(m_lock);
    Batch batch = x_TakeBatch();
    guard.Unlock();

    std::uint32_t tToday = DayOf(WallClockNow());
    std::uint32_t tPruneBefore = tToday != m_tPrunedDay ? KeepFrom(tToday) : 0;
    std::string strError;
    int nResult = x_WriteRows(batch, tPruneBefore, strError);
    if (nResult == 0) {
        m_bFailureLogged = false;
        if (tPruneBefore != 0)
            m_tPrunedDay = tToday;
    } else if (!m_bFailureLogged) {
        // Once per run of failures: a full disk would otherwise log every batch.
        m_bFailureLogged = true;
        WriteLog(Format("fleet history write failed: %s", strError.c_str()));
    }

    guard.Lock();
    if (nResult == 0)
        x_BatchWritten(batch, tPruneBefore);
    else
        x_BatchFailed(batch);
}

void CFleetHistory::x_BatchWritten(const Batch& batch, std::uint32_t tPruneBefore)
{
    m_nCommitted = std::max(m_nCommitted, batch.nVersion);
    if (tPruneBefore == 0)
        return;
    for (auto& [name, vehicle] : m_vehicles) {
        vehicle.days.erase(vehicle.days.begin(), vehicle.days.lower_bound(tPruneBefore));
        vehicle.dirtyDays.erase(vehicle.dirtyDays.begin(), vehicle.dirtyDays.lower_bound(tPruneBefore));
    }
}

void CFleetHistory::x_BatchFailed(const Batch& batch)
{
    // The rows stay dirty; their latest values go with the next batch.
    for (const FleetRecord& rec : batch.rows)
        m_dirtyNames.insert(rec.strName);
    for (const auto& [name, total] : batch.days) {
        auto it = m_vehicles.find(name);
        if (it != m_vehicles.end() && it->second.days.count(total.tDay))
            it->second.dirtyDays.insert(total.tDay);
    }
    for (const auto& [name, nChannel, mark] : batch.marks) {
        auto it = m_vehicles.find(name);
        if (it != m_vehicles.end())
            it->second.dirtyMarks.insert(nChannel);
    }
    // Written or deleted, whichever the entry's state is by the next batch.
    for (const auto& [name, entry] : batch.missed) {
        auto it = m_vehicles.find(name);
        if (it != m_vehicles.end())
            it->second.dirtyMissed.emplace(entry.rec.tStart, entry.rec.nChannel, entry.rec.strFileName);
    }
    for (const auto& [name, key] : batch.unmissed) {
        auto it = m_vehicles.find(name);
        if (it != m_vehicles.end())
            it->second.dirtyMissed.insert(key);
    }
    for (const auto& [name, path, note] : batch.notes) {
        auto it = m_vehicles.find(name);
        if (it != m_vehicles.end())
            it->second.dirtyNotes.insert(path);
    }
    for (const auto& [name, path] : batch.unnoted) {
        auto it = m_vehicles.find(name);
        if (it != m_vehicles.end())
            it->second.dirtyNotes.insert(path);
    }
}

int CFleetHistory::x_WriteRows(const Batch& batch, std::uint32_t tPruneBefore, std::string& strError)
{
    if (batch.rows.empty() && batch.days.empty() && batch.marks.empty() && batch.missed.empty() &&
        batch.unmissed.empty() && batch.notes.empty() && batch.unnoted.empty() && tPruneBefore == 0)
        return 0;
    // A note must outlast a power cut as the renamed file does (its directory is synced),
    // or the recording would never be counted: such a commit is synced too. One sync per
    // batch, however many recordings it notes.
    const bool bSynced = !batch.notes.empty();
    if (bSynced)
        sqlite3_exec(m_pDb, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    int rc = sqlite3_exec(m_pDb, "BEGIN", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = x_WriteVehicleRows(batch);
    if (rc == SQLITE_OK)
        rc = x_WriteMissedRows(batch);
    if (rc == SQLITE_OK && tPruneBefore != 0) {
        BindInt(m_pPruneDays, 1, tPruneBefore);
        rc = StepOnce(m_pPruneDays);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        strError = sqlite3_errmsg(m_pDb);
        if (!sqlite3_get_autocommit(m_pDb))
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    if (bSynced)
        sqlite3_exec(m_pDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? 0 : -1;
}

int CFleetHistory::x_WriteVehicleRows(const Batch& batch)
{
    int rc = SQLITE_OK;
    for (std::size_t i = 0; rc == SQLITE_OK && i < batch.rows.size(); ++i) {
        BindVehicle(m_pUpsertVehicle, batch.rows[i]);
        rc = StepOnce(m_pUpsertVehicle);
    }
    for (std::size_t i = 0; rc == SQLITE_OK && i < batch.days.size(); ++i) {
        const auto& [name, total] = batch.days[i];
        sqlite3_stmt* p = m_pUpsertDay;
        BindText(p, 1, name);
        BindInt(p, 2, total.tDay);
        BindInt(p, 3, static_cast<std::int64_t>(total.nFiles));
        BindInt(p, 4, static_cast<std::int64_t>(total.nBytes));
        rc = StepOnce(p);
    }
    for (std::size_t i = 0; rc == SQLITE_OK && i < batch.marks.size(); ++i) {
        const auto& [name, nChannel, mark] = batch.marks[i];
        sqlite3_stmt* p = m_pUpsertMark;
        BindText(p, 1, name);
        BindInt(p, 2, nChannel);
        BindInt(p, 3, mark.tUpTo);
        BindInt(p, 4, mark.tFrom);
        BindInt(p, 5, mark.nFileType);
        rc = StepOnce(p);
    }
    return rc;
}

int CFleetHistory::x_WriteMissedRows(const Batch& batch)
{
    int rc = SQLITE_OK;
    for (std::size_t i = 0; rc == SQLITE_OK && i < batch.missed.size(); ++i) {
        const auto& [name, entry] = batch.missed[i];
        BindMissed(m_pUpsertMissed, name, entry.rec, entry.nLastVisit);
        rc = StepOnce(m_pUpsertMissed);
    }
    for (std::size_t i = 0; rc == SQLITE_OK && i < batch.unmissed.size(); ++i) {
        const auto& [name, key] = batch.unmissed[i];
        sqlite3_stmt* p = m_pDeleteMissed;
        BindText(p, 1, name);
        BindInt(p, 2, std::get<1>(key));
        BindText(p, 3, std::get<2>(key));
        BindInt(p, 4, std::get<0>(key));
        rc = StepOnce(p);
    }
    for (std::size_t i = 0; rc == SQLITE_OK && i < batch.notes.size(); ++i) {
        const auto& [name, path, note] = batch.notes[i];
        sqlite3_stmt* p = m_pUpsertNote;
        BindText(p, 1, path);
        BindText(p, 2, name);
        BindInt(p, 3, static_cast<std::int64_t>(note.nBytes));
        BindInt(p, 4, note.tStored);
        rc = StepOnce(p);
    }
    for (std::size_t i = 0; rc == SQLITE_OK && i < batch.unnoted.size(); ++i) {
        BindText(m_pDeleteNote, 1, batch.unnoted[i].second);
        rc = StepOnce(m_pDeleteNote);
    }
    return rc;
}

CFleetHistory::OpenResult CFleetHistory::x_OpenDatabase(VehicleMap& loaded, std::string& strError)
{
    int rc = sqlite3_open_v2(m_strPath.c_str(), &m_pDb,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    auto failed = [&](int nCode) REQUIRES(m_openLock, m_writeLock) {
        x_CloseDatabase();
        return IsDamage(nCode) ? OpenResult::Damaged : OpenResult::Failed;
    };
    if (rc != SQLITE_OK) {
        strError = m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc);
        return failed(rc);
    }
    // The recordings catalogue and the audit trail write the same file: a write waits
    // for theirs instead of failing at once.
    sqlite3_busy_timeout(m_pDb, Timing().nDbBusyWaitMs);
    // Checked before anything is written, so a file kept aside keeps its bytes.
    std::string strValue;
    if ((rc = QueryOne(m_pDb, "PRAGMA user_version", strValue, strError)) != SQLITE_OK)
        return failed(rc);
    int nVersion = std::atoi(strValue.c_str());
    if (nVersion > kSchemaVersion) {
        strError = Format("made by a newer program (schema %d)", nVersion);
        x_CloseDatabase();
        return OpenResult::Damaged;
    }
    if ((rc = QueryOne(m_pDb, "PRAGMA quick_check", strValue, strError)) != SQLITE_OK)
        return failed(rc);
    if (strValue != "ok") {
        strError = "quick_check: " + strValue;
        x_CloseDatabase();
        return OpenResult::Damaged;
    }
    if ((rc = QueryOne(m_pDb, "PRAGMA journal_mode=WAL", strValue, strError)) != SQLITE_OK ||
        (rc = QueryOne(m_pDb, "PRAGMA synchronous=NORMAL", strValue, strError)) != SQLITE_OK)
        return failed(rc);
    if (nVersion < kSchemaVersion && (rc = x_Upgrade(nVersion, strError)) != SQLITE_OK) {
        // Tables of that name laid out otherwise: no database of this program.
        if ((rc & 0xff) == SQLITE_ERROR) {
            x_CloseDatabase();
            return OpenResult::Damaged;
        }
        return failed(rc);
    }
    if ((rc = x_PruneAtOpen(strError)) != SQLITE_OK && IsDamage(rc))
        return failed(rc);

    OpenResult result = x_ReadRows(loaded, strError);
    if (result != OpenResult::Ok) {
        x_CloseDatabase();
        return result;
    }
    return OpenResult::Ok;
}

int CFleetHistory::x_Upgrade(int nVersion, std::string& strError)
{
    // A new file gets every table; an older layout gains what it lacks, all in one
    // transaction so that a failure leaves it as it was.
    int rc = sqlite3_exec(m_pDb, "BEGIN", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && nVersion == 0)
        rc = sqlite3_exec(m_pDb, kCreateVehicleTables, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && nVersion == 1 && !HasColumn(m_pDb, "vehicle", "missed_dropped"))
        rc = sqlite3_exec(m_pDb, kAddMissedDropped, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, kCreateMissedTables, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, kCreateNoteTable, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, Format("PRAGMA user_version=%d", kSchemaVersion).c_str(), nullptr, nullptr,
                          nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        strError = sqlite3_errmsg(m_pDb);
        if (!sqlite3_get_autocommit(m_pDb))
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return rc;
}

int CFleetHistory::x_PruneAtOpen(std::string& strError)
{
    // Pruning may meet a lock held by another program; the next write tries again.
    std::uint32_t tToday = DayOf(WallClockNow());
    m_tPrunedDay = 0;
    std::string strPruneValue;
    std::string strPruneError;
    std::string strPrune = Format("DELETE FROM day_total WHERE day < %u", KeepFrom(tToday));
    int rc = QueryOne(m_pDb, strPrune.c_str(), strPruneValue, strPruneError);
    if (rc == SQLITE_OK)
        m_tPrunedDay = tToday;
    else if (IsDamage(rc))
        strError = strPruneError;
    return rc;
}

CFleetHistory::OpenResult CFleetHistory::x_ReadRows(VehicleMap& loaded, std::string& strError)
{
    int rc = x_ReadTables(loaded);
    if (rc == SQLITE_DONE)
        rc = x_PrepareWriter();
    if (rc == SQLITE_OK)
        return OpenResult::Ok;
    // A table that exists but is not laid out as ours is no database of this program
    // (SQLITE_ERROR), just as a corrupt one.
    strError = sqlite3_errmsg(m_pDb);
    return IsDamage(rc) || (rc & 0xff) == SQLITE_ERROR ? OpenResult::Damaged : OpenResult::Failed;
}

int CFleetHistory::x_ReadTables(VehicleMap& loaded)
{
    // Every row names its vehicle, which it makes known when no row before did.
    auto vehicleOf = [&loaded](sqlite3_stmt* pStmt, int nCol) -> Vehicle& {
        std::string name = ColumnText(pStmt, nCol);
        Vehicle& vehicle = loaded[name];
        vehicle.rec.strName = name;
        return vehicle;
    };
    int rc = ForEachRow(m_pDb, kSelectVehicles,
                        [&](sqlite3_stmt* pStmt) { ReadVehicleColumns(pStmt, vehicleOf(pStmt, 0).rec); });
    if (rc == SQLITE_DONE)
        rc = ForEachRow(m_pDb, kSelectDays, [&](sqlite3_stmt* pStmt) {
            FleetDayTotal total;
            total.tDay = DayOf(ColumnU32(pStmt, 1));
            total.nFiles = ColumnU64(pStmt, 2);
            total.nBytes = ColumnU64(pStmt, 3);
            vehicleOf(pStmt, 0).days[total.tDay] = total;
        });
    if (rc == SQLITE_DONE)
        rc = ForEachRow(m_pDb, kSelectMarks, [&](sqlite3_stmt* pStmt) {
            ChannelMark mark;
            mark.bSet = true;
            mark.tUpTo = ColumnU32(pStmt, 2);
            mark.tFrom = ColumnU32(pStmt, 3);
            mark.nFileType = static_cast<std::uint8_t>(sqlite3_column_int(pStmt, 4));
            vehicleOf(pStmt, 0).marks[static_cast<std::uint8_t>(sqlite3_column_int(pStmt, 1))] = mark;
        });
    if (rc == SQLITE_DONE)
        rc = ForEachRow(m_pDb, kSelectMissed, [&](sqlite3_stmt* pStmt) {
            MissedEntry entry;
            entry.rec = ReadMissedColumns(pStmt);
            entry.nLastVisit = ColumnU32(pStmt, 7);
            entry.nFirstVisit = entry.nLastVisit;  // only the last matters once stored
            MissedKey key(entry.rec.tStart, entry.rec.nChannel, entry.rec.strFileName);
            vehicleOf(pStmt, 0).missed.insert_or_assign(std::move(key), std::move(entry));
        });
    if (rc == SQLITE_DONE)
        rc = ForEachRow(m_pDb, kSelectNotes, [&](sqlite3_stmt* pStmt) {
            vehicleOf(pStmt, 1).notes[ColumnText(pStmt, 0)] = StoreNote {ColumnU64(pStmt, 2), ColumnU32(pStmt, 3)};
        });
    return rc;
}

int CFleetHistory::x_PrepareWriter()
{
    const std::pair<const char*, sqlite3_stmt**> statements[] = {
        {kUpsertVehicle, &m_pUpsertVehicle}, {kUpsertDay, &m_pUpsertDay},       {kPruneDays, &m_pPruneDays},
        {kUpsertMark, &m_pUpsertMark},       {kUpsertMissed, &m_pUpsertMissed}, {kDeleteMissed, &m_pDeleteMissed},
        {kUpsertNote, &m_pUpsertNote},       {kDeleteNote, &m_pDeleteNote},
    };
    for (const auto& [szSql, ppStmt] : statements) {
        int rc = sqlite3_prepare_v3(m_pDb, szSql, -1, SQLITE_PREPARE_PERSISTENT, ppStmt, nullptr);
        if (rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}

bool CFleetHistory::x_KeepAside(std::string& strBackup, std::string& strError)
{
    std::string strStem = m_strPath + "." + WallClockText(WallClockNow());
    strBackup = strStem + ".bak";
    std::error_code ec;
    // A second damage within the same second must not replace the first backup.
    for (int n = 2; std::filesystem::exists(strBackup, ec); ++n)
        strBackup = strStem + "-" + std::to_string(n) + ".bak";
    if (std::rename(m_strPath.c_str(), strBackup.c_str()) != 0) {
        strError = ErrnoText(errno);
        return false;
    }
    // Journals left beside it belong to the old file and would be replayed into the new one.
    for (const char* szSuffix : {"-wal", "-shm", "-journal"})
        std::remove((m_strPath + szSuffix).c_str());
    return true;
}

void CFleetHistory::x_CloseDatabase()
{
    for (sqlite3_stmt** ppStmt :
         {&m_pUpsertVehicle, &m_pUpsertDay, &m_pPruneDays, &m_pUpsertMark, &m_pUpsertMissed, &m_pDeleteMissed,
          &m_pUpsertNote, &m_pDeleteNote}) {
        sqlite3_finalize(*ppStmt);
        *ppStmt = nullptr;
    }
    if (m_pDb)
        sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

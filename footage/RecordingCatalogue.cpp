#include "footage/RecordingCatalogue.h"

#include "core/Logger.h"
#include "core/PeriodicRunner.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <limits>
#include <tuple>
#include <utility>

namespace fs = std::filesystem;

namespace {

// 1: recording table with its indexes.
constexpr int kSchemaVersion = 1;
constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kAll = std::numeric_limits<std::int64_t>::min();
// The writer's statement of StoreHash, beside those of Op::Kind.
constexpr int kHashStatement = 100;
constexpr int kLongestStatement = 101;

// Versions of the footage tables, apart from the fleet history's user_version (which
// it reads as its own and would take a higher value of for a newer program's file).
constexpr const char* kCreateMeta =
    "CREATE TABLE IF NOT EXISTS footage_meta(name TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL) WITHOUT ROWID;";
// Why the indexes:
// - recording_by_channel: one vehicle's window, start_time < :to AND end_time > :from,
//   is asked per channel (vehicle=? AND channel=?), with start_time also bounded below
//   by :from minus the longest recording; the range is then a short stretch of the
//   index, already in start order (id, the rowid, breaks ties), so a page needs no sort.
// - recording_by_end: a fleet-wide window, where end_time > :from and, by the same
//   bound, end_time < :to plus the longest recording; vehicle is there for the filter.
// - recording_unhashed: the hasher's work list; rows leave it once hashed, so it stays
//   as small as the backlog.
// path is UNIQUE: one row per file, and the walk's and deletions' lookup.
constexpr const char* kCreateRecording =
    "CREATE TABLE IF NOT EXISTS recording("
    " id INTEGER PRIMARY KEY, vehicle TEXT NOT NULL, channel INTEGER NOT NULL,"
    " start_time INTEGER NOT NULL, end_time INTEGER NOT NULL, size INTEGER NOT NULL,"
    " path TEXT NOT NULL UNIQUE, stored_at INTEGER NOT NULL, sha256 TEXT, crc32 INTEGER,"
    " deleted_at INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS recording_by_channel ON recording(vehicle, channel, start_time);"
    "CREATE INDEX IF NOT EXISTS recording_by_end ON recording(end_time, vehicle);"
    "CREATE INDEX IF NOT EXISTS recording_unhashed ON recording(id) WHERE sha256 IS NULL;";

constexpr const char* kUpsertStored =
    "INSERT INTO recording(vehicle, channel, start_time, end_time, size, path, stored_at)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT(path) DO UPDATE SET vehicle=excluded.vehicle,"
    " channel=excluded.channel, start_time=excluded.start_time, end_time=excluded.end_time, size=excluded.size,"
    " stored_at=excluded.stored_at, sha256=NULL, crc32=NULL, deleted_at=0 RETURNING id";
// The walk's rows never replace one: a row of the path is the same file, maybe hashed.
constexpr const char* kInsertFound =
    "INSERT INTO recording(vehicle, channel, start_time, end_time, size, path, stored_at)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT(path) DO NOTHING RETURNING id";
constexpr const char* kMarkDeleted = "UPDATE recording SET deleted_at=?2 WHERE path=?1 AND deleted_at=0";
constexpr const char* kStoreHash =
    "UPDATE recording SET sha256=?2, crc32=?3 WHERE id=?1 AND sha256 IS NULL AND deleted_at=0 AND size=?4"
    " AND stored_at=?5 AND path=?6";
constexpr const char* kStoreLongest =
    "INSERT INTO footage_meta(name, value) VALUES('recording_longest', ?1)"
    " ON CONFLICT(name) DO UPDATE SET value=max(value, excluded.value)";

constexpr const char* kSelectChannel =
    "SELECT channel FROM recording WHERE vehicle=?1 AND channel>?2 ORDER BY channel LIMIT 1";
constexpr const char* kSelectChannelNewest =
    "SELECT id, vehicle, channel, start_time, end_time, size, path, stored_at, sha256, crc32, deleted_at"
    " FROM recording INDEXED BY recording_by_channel"
    " WHERE vehicle=?1 AND channel=?2 AND start_time>=?3 AND start_time<?4 AND end_time>?5"
    " AND (start_time<?6 OR (start_time=?6 AND id<?7)) AND (?8 OR deleted_at=0)"
    " ORDER BY start_time DESC, id DESC LIMIT ?9";
constexpr const char* kSelectChannelOldest =
    "SELECT id, vehicle, channel, start_time, end_time, size, path, stored_at, sha256, crc32, deleted_at"
    " FROM recording INDEXED BY recording_by_channel"
    " WHERE vehicle=?1 AND channel=?2 AND start_time>=?3 AND start_time<?4 AND end_time>?5"
    " AND (start_time<?6 OR (start_time=?6 AND id<?7)) AND (?8 OR deleted_at=0)"
    " ORDER BY start_time, id LIMIT ?9";
constexpr const char* kSelectFleet =
    "SELECT id, vehicle, channel, start_time, end_time, size, path, stored_at, sha256, crc32, deleted_at"
    " FROM recording WHERE end_time>?5 AND end_time<?10 AND start_time>=?3 AND start_time<?4"
    " AND (start_time<?6 OR (start_time=?6 AND id<?7)) AND (?8 OR deleted_at=0) AND (?2<0 OR channel=?2)"
    " ORDER BY start_time DESC, id DESC LIMIT ?9";
constexpr const char* kSelectById =
    "SELECT id, vehicle, channel, start_time, end_time, size, path, stored_at, sha256, crc32, deleted_at"
    " FROM recording WHERE id=?1";
constexpr const char* kSelectUnhashed =
    "SELECT id, vehicle, channel, start_time, end_time, size, path, stored_at, sha256, crc32, deleted_at"
    " FROM recording INDEXED BY recording_unhashed WHERE sha256 IS NULL AND id>?1 AND deleted_at=0"
    " ORDER BY id LIMIT ?2";
constexpr const char* kSelectKnown = "SELECT 1 FROM recording WHERE path=?1";

std::string ColumnText(sqlite3_stmt* pStmt, int nCol)
{
    const auto* p = static_cast<const char*>(sqlite3_column_blob(pStmt, nCol));
    int nBytes = sqlite3_column_bytes(pStmt, nCol);
    return p ? std::string(p, static_cast<std::size_t>(nBytes)) : std::string();
}

void BindText(sqlite3_stmt* pStmt, int nParam, const std::string& text)
{
    sqlite3_bind_text(pStmt, nParam, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

CatalogueRow ReadRow(sqlite3_stmt* p)
{
    CatalogueRow row;
    row.nId = sqlite3_column_int64(p, 0);
    row.strVehicle = ColumnText(p, 1);
    row.nChannel = sqlite3_column_int(p, 2);
    row.tStart = static_cast<std::uint32_t>(sqlite3_column_int64(p, 3));
    row.tEnd = static_cast<std::uint32_t>(sqlite3_column_int64(p, 4));
    row.nSize = static_cast<std::uint64_t>(sqlite3_column_int64(p, 5));
    row.strPath = ColumnText(p, 6);
    row.tStoredAt = static_cast<std::uint32_t>(sqlite3_column_int64(p, 7));
    row.strSha256 = ColumnText(p, 8);
    row.nCrc32 = static_cast<std::uint32_t>(sqlite3_column_int64(p, 9));
    row.tDeletedAt = static_cast<std::uint32_t>(sqlite3_column_int64(p, 10));
    return row;
}

void BindRow(sqlite3_stmt* p, const CatalogueRow& row)
{
    BindText(p, 1, row.strVehicle);
    sqlite3_bind_int(p, 2, row.nChannel);
    sqlite3_bind_int64(p, 3, row.tStart);
    sqlite3_bind_int64(p, 4, row.tEnd);
    sqlite3_bind_int64(p, 5, static_cast<std::int64_t>(row.nSize));
    BindText(p, 6, row.strPath);
    sqlite3_bind_int64(p, 7, row.tStoredAt);
}

// Runs sql, keeping the first column of its first row in nValue (left as it is when
// there is none). SQLite code.
int QueryInt(sqlite3* pDb, const char* szSql, std::int64_t& nValue)
{
    sqlite3_stmt* pStmt = nullptr;
    int rc = sqlite3_prepare_v2(pDb, szSql, -1, &pStmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(pStmt);
        if (rc == SQLITE_ROW && sqlite3_column_type(pStmt, 0) != SQLITE_NULL)
            nValue = sqlite3_column_int64(pStmt, 0);
        rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    sqlite3_finalize(pStmt);
    return rc;
}

int Exec(sqlite3* pDb, const std::string& sql)
{
    return sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, nullptr);
}

// Opens a connection to path with the busy wait every connection of fleet.db needs:
// the fleet history, the catalogue and the audit log write the same file.
int OpenConnection(const std::string& path, bool bReadOnly, sqlite3*& pDb)
{
    int nFlags = (bReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                 SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &pDb, nFlags, nullptr);
    if (rc == SQLITE_OK)
        sqlite3_busy_timeout(pDb, Timing().nDbBusyWaitMs);
    return rc;
}

// "<start>.<id>" of the last row of a page.
std::string Cursor(const CatalogueRow& row)
{
    return std::to_string(row.tStart) + "." + std::to_string(row.nId);
}

bool ParseCursor(const std::string& text, std::int64_t& nStart, std::int64_t& nId)
{
    std::size_t nDot = text.find('.');
    if (nDot == std::string::npos)
        return false;
    const char* pEnd = text.data() + text.size();
    auto [pStartEnd, ecStart] = std::from_chars(text.data(), text.data() + nDot, nStart);
    auto [pIdEnd, ecId] = std::from_chars(text.data() + nDot + 1, pEnd, nId);
    return ecStart == std::errc() && ecId == std::errc() && pStartEnd == text.data() + nDot && pIdEnd == pEnd &&
           nStart >= 0 && nId > 0;
}

bool NewerFirst(const CatalogueRow& a, const CatalogueRow& b)
{
    return std::tie(a.tStart, a.nId) > std::tie(b.tStart, b.nId);
}

// The names in dir of real directories (bDirs) or regular files, sorted; links are
// never followed, so the walk stays in the store.
std::vector<std::string> ListEntries(const std::string& dir, bool bDirs)
{
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    while (!ec && it != fs::directory_iterator()) {
        std::error_code typeEc;
        fs::file_type type = it->symlink_status(typeEc).type();
        if (!typeEc && type == (bDirs ? fs::file_type::directory : fs::file_type::regular))
            names.push_back(it->path().filename().string());
        it.increment(ec);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// When the file took its name, as near as the file system tells; else now.
std::uint32_t ModifiedAt(const std::string& path)
{
    std::error_code ec;
    fs::file_time_type tWrite = fs::last_write_time(path, ec);
    if (ec)
        return WallClockNow();
    auto tSys = std::chrono::file_clock::to_sys(tWrite);
    auto nSeconds = std::chrono::duration_cast<std::chrono::seconds>(tSys.time_since_epoch()).count();
    return nSeconds > 0 && nSeconds < 0xFFFFFFFFll ? static_cast<std::uint32_t>(nSeconds) : WallClockNow();
}

} // namespace

CRecordingCatalogue::CRecordingCatalogue() = default;

CRecordingCatalogue::~CRecordingCatalogue()
{
    Close();
}

void CRecordingCatalogue::SetOnUnhashed(std::function<void(std::int64_t)> onUnhashed)
{
    m_onUnhashed = std::move(onUnhashed);
}

int CRecordingCatalogue::Open(const std::string& dbPath, const std::string& downloadRoot)
{
    std::string root = downloadRoot;
    // "dir/" must not make paths "dir//vehicle/...".
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    {
        CMutexLock writeGuard(m_writeLock);
        CMutexLock readGuard(m_readLock);
        bool bOpen = false;
        {
            CMutexLock guard(m_lock);
            bOpen = m_bOpen;
        }
        if (!bOpen) {
            std::string strError;
            int rc = OpenConnection(dbPath, false, m_pDb);
            if (rc == SQLITE_OK)
                rc = x_Prepare(m_pDb, strError);
            if (rc == SQLITE_OK)
                rc = x_PrepareWriter(strError);
            if (rc == SQLITE_OK && (rc = OpenConnection(dbPath, true, m_pReadDb)) != SQLITE_OK)
                strError = sqlite3_errmsg(m_pReadDb);
            if (rc != SQLITE_OK) {
                if (strError.empty())
                    strError = m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc);
                x_CloseConnections();
                WriteLog(Format("recordings catalogue %s cannot be opened: %s", dbPath.c_str(), strError.c_str()));
                return -1;
            }
            m_bFailureLogged = false;
        }
        CMutexLock guard(m_lock);
        m_bOpen = true;
        m_strRoot = root;
    }
    x_BeginWalk(root);
    return 0;
}

int CRecordingCatalogue::x_Prepare(sqlite3* pDb, std::string& strError)
{
    std::int64_t nVersion = 0;
    int rc = Exec(pDb, "PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK)
        rc = Exec(pDb, "PRAGMA synchronous=NORMAL");
    // One transaction: a failure leaves an older file as it was.
    if (rc == SQLITE_OK)
        rc = Exec(pDb, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK)
        rc = Exec(pDb, kCreateMeta);
    if (rc == SQLITE_OK)
        rc = QueryInt(pDb, "SELECT value FROM footage_meta WHERE name='recording_schema'", nVersion);
    if (rc == SQLITE_OK && nVersion > kSchemaVersion) {
        Exec(pDb, "ROLLBACK");
        strError = Format("its recording table is of a newer program (schema %d)", static_cast<int>(nVersion));
        return SQLITE_ERROR;
    }
    if (rc == SQLITE_OK && nVersion < kSchemaVersion) {
        rc = Exec(pDb, kCreateRecording);
        if (rc == SQLITE_OK)
            rc = Exec(pDb, Format("INSERT OR REPLACE INTO footage_meta(name, value) VALUES('recording_schema', %d)",
                                  kSchemaVersion));
    }
    std::int64_t nLongest = -1;
    if (rc == SQLITE_OK)
        rc = QueryInt(pDb, "SELECT value FROM footage_meta WHERE name='recording_longest'", nLongest);
    // Not kept yet: taken once from the rows.
    if (rc == SQLITE_OK && nLongest < 0) {
        nLongest = 0;
        rc = QueryInt(pDb, "SELECT max(end_time - start_time) FROM recording", nLongest);
        if (rc == SQLITE_OK)
            rc = Exec(pDb, Format("INSERT OR REPLACE INTO footage_meta(name, value) VALUES('recording_longest', %lld)",
                                  static_cast<long long>(std::max<std::int64_t>(nLongest, 0))));
    }
    if (rc == SQLITE_OK)
        rc = Exec(pDb, "COMMIT");
    if (rc != SQLITE_OK) {
        strError = sqlite3_errmsg(pDb);
        if (!sqlite3_get_autocommit(pDb))
            Exec(pDb, "ROLLBACK");
        return rc;
    }
    m_nLongest = std::max<std::int64_t>(nLongest, 0);
    return SQLITE_OK;
}

int CRecordingCatalogue::x_PrepareWriter(std::string& strError)
{
    const std::pair<int, const char*> statements[] = {
        {static_cast<int>(Op::Kind::Stored), kUpsertStored},
        {static_cast<int>(Op::Kind::Found), kInsertFound},
        {static_cast<int>(Op::Kind::Deleted), kMarkDeleted},
        {kHashStatement, kStoreHash},
        {kLongestStatement, kStoreLongest},
    };
    for (const auto& [nKey, szSql] : statements) {
        sqlite3_stmt* pStmt = nullptr;
        int rc = sqlite3_prepare_v3(m_pDb, szSql, -1, SQLITE_PREPARE_PERSISTENT, &pStmt, nullptr);
        if (rc != SQLITE_OK) {
            strError = sqlite3_errmsg(m_pDb);
            return rc;
        }
        m_writers[nKey] = pStmt;
    }
    return SQLITE_OK;
}

void CRecordingCatalogue::x_CloseConnections()
{
    for (auto& [nKey, pStmt] : m_writers)
        sqlite3_finalize(pStmt);
    m_writers.clear();
    for (auto& [szSql, pStmt] : m_readers)
        sqlite3_finalize(pStmt);
    m_readers.clear();
    sqlite3_close_v2(m_pDb);
    sqlite3_close_v2(m_pReadDb);
    m_pDb = nullptr;
    m_pReadDb = nullptr;
}

void CRecordingCatalogue::Close()
{
    {
        CMutexLock guard(m_lock);
        if (!m_bOpen)
            return;
    }
    Flush();
    {
        CMutexLock walkGuard(m_walkLock);
        m_walk = Walk();
    }
    CMutexLock writeGuard(m_writeLock);
    CMutexLock readGuard(m_readLock);
    x_CloseConnections();
    CMutexLock guard(m_lock);
    m_bOpen = false;
    // What could not be written is found again by the next Open's walk.
    m_nWritten = m_nQueued;
    m_queue.clear();
}

bool CRecordingCatalogue::IsOpen() const
{
    CMutexLock guard(m_lock);
    return m_bOpen;
}

std::string CRecordingCatalogue::RelativePath(const std::string& path) const
{
    std::string root;
    {
        CMutexLock guard(m_lock);
        root = m_strRoot;
    }
    if (root.empty() || path.size() <= root.size() || path.compare(0, root.size(), root) != 0 ||
        (path[root.size()] != '/' && root != "/"))
        return {};
    // A root given as "dir/" names its files "dir//vehicle/...".
    std::size_t nFrom = root.size();
    while (nFrom < path.size() && path[nFrom] == '/')
        ++nFrom;
    return path.substr(nFrom);
}

bool CRecordingCatalogue::Add(CatalogueRow row)
{
    if (!RowFromPath(std::string(row.strPath), row))
        return false;
    row.nId = 0;
    row.strSha256.clear();
    row.tDeletedAt = 0;
    return x_Queue(Op {Op::Kind::Stored, std::move(row)});
}

void CRecordingCatalogue::MarkDeleted(const std::string& relPath, std::uint32_t tNow)
{
    Op op;
    op.eKind = Op::Kind::Deleted;
    op.row.tDeletedAt = tNow != 0 ? tNow : 1;
    op.row.strPath = relPath;
    if (!relPath.empty())
        x_Queue(std::move(op));
}

bool CRecordingCatalogue::x_Queue(Op op)
{
    bool bLog = false;
    {
        CMutexLock guard(m_lock);
        if (!m_bOpen)
            return false;
        if (m_queue.size() >= kQueueMax && op.eKind != Op::Kind::Deleted) {
            bLog = !m_bDropLogged;
            m_bDropLogged = true;
        } else {
            m_queue.push_back(std::move(op));
            ++m_nQueued;
            m_bDropLogged = false;
        }
    }
    if (bLog)
        WriteLog(Format("recordings catalogue: %zu changes wait to be written, further recordings are left for the "
                        "next start",
                        kQueueMax));
    return !bLog;
}

void CRecordingCatalogue::AddTo(CPeriodicRunner& runner)
{
    runner.Add("catalogue writes", &ZelTiming::nCatalogueFlushMs, [this] { return WriteQueued(); });
    runner.Add("catalogue walk", &ZelTiming::nCatalogueFlushMs, [this] { return StepWalk(); });
}

bool CRecordingCatalogue::WriteQueued()
{
    CMutexLock writeGuard(m_writeLock);
    if (!m_pDb)
        return false;
    return x_WriteBatch();
}

void CRecordingCatalogue::Flush()
{
    std::uint64_t nTarget = 0;
    {
        CMutexLock guard(m_lock);
        nTarget = m_nQueued;
    }
    CMutexLock writeGuard(m_writeLock);
    for (;;) {
        {
            CMutexLock guard(m_lock);
            if (m_nWritten >= nTarget || m_queue.empty())
                return;
        }
        if (!m_pDb)
            return;
        std::uint64_t nBefore = 0;
        {
            CMutexLock guard(m_lock);
            nBefore = m_nWritten;
        }
        x_WriteBatch();
        CMutexLock guard(m_lock);
        if (m_nWritten == nBefore)
            return;  // failed, and logged
    }
}

bool CRecordingCatalogue::x_WriteBatch()
{
    std::vector<Op> ops;
    {
        CMutexLock guard(m_lock);
        std::size_t nTake = std::min(m_queue.size(), kBatchMax);
        ops.assign(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.begin() + nTake));
        m_queue.erase(m_queue.begin(), m_queue.begin() + nTake);
    }
    if (ops.empty())
        return false;
    std::vector<std::int64_t> unhashed;
    int rc = x_WriteOps(ops, unhashed);
    if (rc != SQLITE_OK && !m_bFailureLogged) {
        // Once per run of failures: a full disk would otherwise log every batch.
        m_bFailureLogged = true;
        WriteLog(Format("recordings catalogue write failed: %s", sqlite3_errstr(rc)));
    }
    bool bMore = false;
    {
        CMutexLock guard(m_lock);
        if (rc == SQLITE_OK) {
            m_nWritten += ops.size();
        } else {
            // Tried again first, in the same order, by the next batch.
            m_queue.insert(m_queue.begin(), std::make_move_iterator(ops.begin()), std::make_move_iterator(ops.end()));
        }
        bMore = rc == SQLITE_OK && !m_queue.empty();
    }
    if (rc == SQLITE_OK) {
        m_bFailureLogged = false;
        if (m_onUnhashed)
            for (std::int64_t nId : unhashed)
                m_onUnhashed(nId);
    }
    return bMore;
}

int CRecordingCatalogue::x_WriteOps(const std::vector<Op>& ops, std::vector<std::int64_t>& unhashed)
{
    // Windows are bounded below by the longest recording: raised before the rows are
    // committed, so that no reader sees a row its bound would miss.
    std::int64_t nLongest = m_nLongest;
    for (const Op& op : ops)
        if (op.eKind != Op::Kind::Deleted)
            nLongest = std::max<std::int64_t>(nLongest, static_cast<std::int64_t>(op.row.tEnd) - op.row.tStart);
    const bool bLonger = nLongest > m_nLongest;
    if (bLonger)
        m_nLongest = nLongest;
    int rc = Exec(m_pDb, "BEGIN IMMEDIATE");
    for (std::size_t i = 0; rc == SQLITE_OK && i < ops.size(); ++i)
        rc = x_WriteOp(ops[i], unhashed);
    if (rc == SQLITE_OK && bLonger) {
        sqlite3_stmt* p = m_writers[kLongestStatement];
        sqlite3_bind_int64(p, 1, nLongest);
        rc = sqlite3_step(p) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(m_pDb);
        sqlite3_reset(p);
    }
    if (rc == SQLITE_OK)
        rc = Exec(m_pDb, "COMMIT");
    if (rc != SQLITE_OK) {
        unhashed.clear();
        if (!sqlite3_get_autocommit(m_pDb))
            Exec(m_pDb, "ROLLBACK");
    }
    return rc;
}

int CRecordingCatalogue::x_WriteOp(const Op& op, std::vector<std::int64_t>& unhashed)
{
    sqlite3_stmt* p = m_writers[static_cast<int>(op.eKind)];
    if (op.eKind == Op::Kind::Deleted) {
        BindText(p, 1, op.row.strPath);
        sqlite3_bind_int64(p, 2, op.row.tDeletedAt);
    } else {
        BindRow(p, op.row);
    }
    int nStep = SQLITE_ROW;
    while ((nStep = sqlite3_step(p)) == SQLITE_ROW)
        unhashed.push_back(sqlite3_column_int64(p, 0));
    // sqlite3_reset gives the step's error code.
    int rc = sqlite3_reset(p);
    sqlite3_clear_bindings(p);
    return nStep == SQLITE_DONE ? SQLITE_OK : (rc != SQLITE_OK ? rc : SQLITE_ERROR);
}

bool CRecordingCatalogue::StoreHash(const CatalogueRow& row, const FileDigest& digest)
{
    CMutexLock writeGuard(m_writeLock);
    if (!m_pDb)
        return false;
    sqlite3_stmt* p = m_writers[kHashStatement];
    sqlite3_bind_int64(p, 1, row.nId);
    BindText(p, 2, digest.strSha256);
    sqlite3_bind_int64(p, 3, digest.nCrc32);
    sqlite3_bind_int64(p, 4, static_cast<std::int64_t>(row.nSize));
    sqlite3_bind_int64(p, 5, row.tStoredAt);
    BindText(p, 6, row.strPath);
    // One statement, its own transaction: a hash is one small update.
    bool bStored = sqlite3_step(p) == SQLITE_DONE && sqlite3_changes(m_pDb) == 1;
    sqlite3_reset(p);
    sqlite3_clear_bindings(p);
    return bStored;
}

sqlite3_stmt* CRecordingCatalogue::x_Read(const char* szSql) const
{
    if (!m_pReadDb)
        return nullptr;
    auto it = m_readers.find(szSql);
    if (it != m_readers.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v3(m_pReadDb, szSql, -1, SQLITE_PREPARE_PERSISTENT, &pStmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(pStmt);
        return nullptr;
    }
    m_readers[szSql] = pStmt;
    return pStmt;
}

CRecordingCatalogue::Range CRecordingCatalogue::x_Range(std::uint32_t tFrom, std::uint32_t tTo,
                                                        bool bWithDeleted) const
{
    Range range {kAll, kNone, kAll, kNone, kNone, bWithDeleted};
    if (tFrom != 0) {
        range.nEndAbove = tFrom;
        range.nStartMin = static_cast<std::int64_t>(tFrom) - m_nLongest.load();
    }
    if (tTo != 0)
        range.nStartMax = tTo;
    return range;
}

std::vector<int> CRecordingCatalogue::x_Channels(const std::string& vehicle) const
{
    // One index seek per channel instead of a pass over the vehicle's rows.
    std::vector<int> channels;
    std::int64_t nAfter = kAll;
    for (;;) {
        sqlite3_stmt* p = x_Read(kSelectChannel);
        if (!p)
            break;
        BindText(p, 1, vehicle);
        sqlite3_bind_int64(p, 2, nAfter);
        if (sqlite3_step(p) != SQLITE_ROW)
            break;
        int nChannel = sqlite3_column_int(p, 0);
        channels.push_back(nChannel);
        nAfter = nChannel;
    }
    if (sqlite3_stmt* p = x_Read(kSelectChannel))
        sqlite3_reset(p);
    return channels;
}

void CRecordingCatalogue::x_ChannelRows(const std::string& vehicle, int nChannel, const Range& range,
                                        bool bNewestFirst, std::size_t nMax, std::vector<CatalogueRow>& rows) const
{
    sqlite3_stmt* p = x_Read(bNewestFirst ? kSelectChannelNewest : kSelectChannelOldest);
    if (!p)
        return;
    BindText(p, 1, vehicle);
    sqlite3_bind_int(p, 2, nChannel);
    sqlite3_bind_int64(p, 3, range.nStartMin);
    // The cursor's start bounds the index range too, not only the filter.
    sqlite3_bind_int64(p, 4, std::min(range.nStartMax, range.nCursorStart == kNone ? kNone : range.nCursorStart + 1));
    sqlite3_bind_int64(p, 5, range.nEndAbove);
    sqlite3_bind_int64(p, 6, range.nCursorStart);
    sqlite3_bind_int64(p, 7, range.nCursorId);
    sqlite3_bind_int(p, 8, range.bWithDeleted ? 1 : 0);
    sqlite3_bind_int64(p, 9, static_cast<std::int64_t>(nMax));
    while (sqlite3_step(p) == SQLITE_ROW)
        rows.push_back(ReadRow(p));
    sqlite3_reset(p);
}

void CRecordingCatalogue::x_FleetRows(const CatalogueQuery& query, const Range& range, std::size_t nMax,
                                      std::vector<CatalogueRow>& rows) const
{
    sqlite3_stmt* p = x_Read(kSelectFleet);
    if (!p)
        return;
    sqlite3_bind_int(p, 2, query.nChannel);
    sqlite3_bind_int64(p, 3, range.nStartMin);
    sqlite3_bind_int64(p, 4, range.nStartMax);
    sqlite3_bind_int64(p, 5, range.nEndAbove);
    sqlite3_bind_int64(p, 6, range.nCursorStart);
    sqlite3_bind_int64(p, 7, range.nCursorId);
    sqlite3_bind_int(p, 8, range.bWithDeleted ? 1 : 0);
    sqlite3_bind_int64(p, 9, static_cast<std::int64_t>(nMax));
    // A recording ending at or after :to + longest would have started at or after :to.
    sqlite3_bind_int64(p, 10, range.nStartMax == kNone ? kNone : range.nStartMax + m_nLongest.load());
    while (sqlite3_step(p) == SQLITE_ROW)
        rows.push_back(ReadRow(p));
    sqlite3_reset(p);
}

CataloguePage CRecordingCatalogue::Find(const CatalogueQuery& query) const
{
    CataloguePage page;
    Range range = x_Range(query.tFrom, query.tTo, query.bWithDeleted);
    if (!query.strAfter.empty() && !ParseCursor(query.strAfter, range.nCursorStart, range.nCursorId)) {
        page.bValid = false;
        return page;
    }
    if (query.tFrom != 0 && query.tTo != 0 && query.tFrom >= query.tTo)
        return page;
    const std::size_t nLimit = std::clamp<std::size_t>(query.nLimit, 1, kMaxLimit);
    // One more than the page: whether another page follows.
    std::vector<CatalogueRow> rows;
    {
        CMutexLock readGuard(m_readLock);
        if (query.strVehicle.empty()) {
            x_FleetRows(query, range, nLimit + 1, rows);
        } else {
            std::vector<int> channels =
                query.nChannel >= 0 ? std::vector<int> {query.nChannel} : x_Channels(query.strVehicle);
            for (int nChannel : channels)
                x_ChannelRows(query.strVehicle, nChannel, range, true, nLimit + 1, rows);
        }
    }
    std::sort(rows.begin(), rows.end(), NewerFirst);
    if (rows.size() > nLimit) {
        rows.resize(nLimit);
        page.strNext = Cursor(rows.back());
    }
    page.rows = std::move(rows);
    return page;
}

std::vector<CatalogueRow> CRecordingCatalogue::Covering(const std::string& vehicle, const std::vector<int>& channels,
                                                        std::uint32_t tFrom, std::uint32_t tTo) const
{
    std::vector<CatalogueRow> rows;
    if (vehicle.empty() || (tFrom != 0 && tTo != 0 && tFrom >= tTo))
        return rows;
    const Range range = x_Range(tFrom, tTo, false);
    {
        CMutexLock readGuard(m_readLock);
        std::vector<int> wanted = channels.empty() ? x_Channels(vehicle) : channels;
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
        for (int nChannel : wanted)
            x_ChannelRows(vehicle, nChannel, range, false, static_cast<std::size_t>(kNone), rows);
    }
    std::sort(rows.begin(), rows.end(), [](const CatalogueRow& a, const CatalogueRow& b) {
        return std::tie(a.tStart, a.nChannel, a.nId) < std::tie(b.tStart, b.nChannel, b.nId);
    });
    return rows;
}

std::optional<CatalogueRow> CRecordingCatalogue::Get(std::int64_t nId) const
{
    CMutexLock readGuard(m_readLock);
    sqlite3_stmt* p = x_Read(kSelectById);
    if (!p)
        return std::nullopt;
    sqlite3_bind_int64(p, 1, nId);
    std::optional<CatalogueRow> row;
    if (sqlite3_step(p) == SQLITE_ROW)
        row = ReadRow(p);
    sqlite3_reset(p);
    return row;
}

std::vector<CatalogueRow> CRecordingCatalogue::Unhashed(std::int64_t nAfterId, std::size_t nMax) const
{
    std::vector<CatalogueRow> rows;
    CMutexLock readGuard(m_readLock);
    sqlite3_stmt* p = x_Read(kSelectUnhashed);
    if (!p)
        return rows;
    sqlite3_bind_int64(p, 1, nAfterId);
    sqlite3_bind_int64(p, 2, static_cast<std::int64_t>(nMax));
    while (sqlite3_step(p) == SQLITE_ROW)
        rows.push_back(ReadRow(p));
    sqlite3_reset(p);
    return rows;
}

std::string CRecordingCatalogue::AbsolutePath(const CatalogueRow& row) const
{
    CatalogueRow parsed;
    // Only a path of the store's layout: no "..", no absolute path, no link out.
    if (!RowFromPath(row.strPath, parsed))
        return {};
    CMutexLock guard(m_lock);
    return m_strRoot.empty() ? std::string() : m_strRoot + "/" + row.strPath;
}

CatalogueVerify CRecordingCatalogue::Verify(std::int64_t nId)
{
    CatalogueVerify verify;
    std::optional<CatalogueRow> row = Get(nId);
    if (!row)
        return verify;
    verify.bFound = true;
    verify.strExpected = row->strSha256;
    std::string path = AbsolutePath(*row);
    FileDigest digest;
    int nErr = path.empty() ? ENOENT : DigestFile(path, digest);
    if (nErr != 0) {
        if (row->IsPresent())
            WriteLog(Format("recordings catalogue: recording %lld (%s) cannot be read: %s",
                            static_cast<long long>(nId), row->strPath.c_str(), ErrnoText(nErr).c_str()),
                     row->strVehicle.c_str());
        return verify;
    }
    verify.strActual = digest.strSha256;
    if (!row->IsHashed()) {
        if (row->IsPresent() && digest.nBytes == row->nSize)
            StoreHash(*row, digest);
        return verify;
    }
    verify.bMatch = verify.strActual == verify.strExpected;
    if (!verify.bMatch)
        WriteLog(Format("recordings catalogue: recording %lld (%s) does not match its hash: stored %s, now %s",
                        static_cast<long long>(nId), row->strPath.c_str(), verify.strExpected.c_str(),
                        verify.strActual.c_str()),
                 row->strVehicle.c_str());
    return verify;
}

void CRecordingCatalogue::x_BeginWalk(const std::string& root)
{
    CMutexLock walkGuard(m_walkLock);
    m_walk = Walk();
    m_walk.bActive = !root.empty();
    m_walk.root = root;
}

bool CRecordingCatalogue::x_Known(const std::string& relPath) const
{
    CMutexLock readGuard(m_readLock);
    sqlite3_stmt* p = x_Read(kSelectKnown);
    if (!p)
        return true;  // nothing to ask: nothing added
    BindText(p, 1, relPath);
    bool bKnown = sqlite3_step(p) == SQLITE_ROW;
    sqlite3_reset(p);
    return bKnown;
}

void CRecordingCatalogue::x_WalkChannelDir(const std::string& root, const std::string& relDir)
{
    for (const std::string& name : ListEntries(root + "/" + relDir, false)) {
        CatalogueRow row;
        if (!RowFromPath(relDir + "/" + name, row) || x_Known(row.strPath))
            continue;
        const std::string absPath = root + "/" + row.strPath;
        std::error_code ec;
        row.nSize = fs::file_size(absPath, ec);
        row.tStoredAt = ModifiedAt(absPath);
        // Gone meanwhile (retention): nothing to add.
        if (!ec)
            x_Queue(Op {Op::Kind::Found, std::move(row)});
    }
}

bool CRecordingCatalogue::StepWalk()
{
    CMutexLock walkGuard(m_walkLock);
    Walk& walk = m_walk;
    if (!walk.bActive)
        return false;
    // Down to the next channel directory, listing each level once: what is held is
    // one directory's names per level, however large the tree.
    if (walk.vehicles.empty() && walk.nVehicle == 0)
        walk.vehicles = ListEntries(walk.root, true);
    while (walk.nVehicle < walk.vehicles.size()) {
        const std::string& vehicle = walk.vehicles[walk.nVehicle];
        if (walk.nDate == 0 && walk.dates.empty())
            walk.dates = ListEntries(walk.root + "/" + vehicle, true);
        if (walk.nDate < walk.dates.size()) {
            const std::string relDate = vehicle + "/" + walk.dates[walk.nDate];
            if (walk.nChan == 0 && walk.chans.empty())
                walk.chans = ListEntries(walk.root + "/" + relDate, true);
            if (walk.nChan < walk.chans.size()) {
                x_WalkChannelDir(walk.root, relDate + "/" + walk.chans[walk.nChan++]);
                return true;
            }
            walk.chans.clear();
            walk.nChan = 0;
            ++walk.nDate;
            continue;
        }
        walk.dates.clear();
        walk.nDate = 0;
        ++walk.nVehicle;
    }
    walk = Walk();
    return false;
}

std::vector<std::string> CRecordingCatalogue::PlanOf(const CatalogueQuery& query) const
{
    std::vector<std::string> plan;
    const Range range = x_Range(query.tFrom, query.tTo, query.bWithDeleted);
    const std::string sql =
        std::string("EXPLAIN QUERY PLAN ") + (query.strVehicle.empty() ? kSelectFleet : kSelectChannelNewest);
    CMutexLock readGuard(m_readLock);
    if (!m_pReadDb)
        return plan;
    sqlite3_stmt* p = nullptr;
    if (sqlite3_prepare_v2(m_pReadDb, sql.c_str(), -1, &p, nullptr) != SQLITE_OK) {
        sqlite3_finalize(p);
        return plan;
    }
    // Bound as Find binds them: the plan may depend on the values.
    BindText(p, 1, query.strVehicle);
    sqlite3_bind_int(p, 2, std::max(query.nChannel, query.strVehicle.empty() ? -1 : 0));
    sqlite3_bind_int64(p, 3, range.nStartMin);
    sqlite3_bind_int64(p, 4, range.nStartMax);
    sqlite3_bind_int64(p, 5, range.nEndAbove);
    sqlite3_bind_int64(p, 6, range.nCursorStart);
    sqlite3_bind_int64(p, 7, range.nCursorId);
    sqlite3_bind_int(p, 8, range.bWithDeleted ? 1 : 0);
    sqlite3_bind_int64(p, 9, static_cast<std::int64_t>(query.nLimit) + 1);
    sqlite3_bind_int64(p, 10, range.nStartMax == kNone ? kNone : range.nStartMax + m_nLongest.load());
    while (sqlite3_step(p) == SQLITE_ROW)
        plan.push_back(ColumnText(p, 3));
    sqlite3_finalize(p);
    return plan;
}

#include "footage/AuditLog.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>

namespace {

// 1: audit table.
constexpr int kSchemaVersion = 1;

constexpr const char* kCreateMeta =
    "CREATE TABLE IF NOT EXISTS footage_meta(name TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL) WITHOUT ROWID;";
// The triggers keep it append-only against any other writer of the file too.
constexpr const char* kCreateAudit =
    "CREATE TABLE IF NOT EXISTS audit("
    " id INTEGER PRIMARY KEY, at INTEGER NOT NULL, client TEXT NOT NULL, role TEXT NOT NULL,"
    " action TEXT NOT NULL, object TEXT NOT NULL, detail TEXT NOT NULL);"
    "CREATE TRIGGER IF NOT EXISTS audit_no_update BEFORE UPDATE ON audit"
    " BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;"
    "CREATE TRIGGER IF NOT EXISTS audit_no_delete BEFORE DELETE ON audit"
    " BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;";
constexpr const char* kInsert =
    "INSERT INTO audit(at, client, role, action, object, detail) VALUES(?1, ?2, ?3, ?4, ?5, ?6)";
constexpr const char* kList =
    "SELECT id, at, client, role, action, object, detail FROM audit WHERE id<?1 ORDER BY id DESC LIMIT ?2";

// At most kFieldMax bytes, never ending inside a UTF-8 sequence.
std::string Cut(const std::string& text)
{
    std::size_t nLen = std::min(text.size(), CAuditLog::kFieldMax);
    if (nLen < text.size())
        while (nLen > 0 && (static_cast<unsigned char>(text[nLen]) & 0xC0) == 0x80)
            --nLen;
    return text.substr(0, nLen);
}

void BindText(sqlite3_stmt* p, int nParam, const std::string& text)
{
    std::string cut = Cut(text);
    sqlite3_bind_text(p, nParam, cut.data(), static_cast<int>(cut.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* p, int nCol)
{
    const auto* pText = static_cast<const char*>(sqlite3_column_blob(p, nCol));
    return pText ? std::string(pText, static_cast<std::size_t>(sqlite3_column_bytes(p, nCol))) : std::string();
}

int Exec(sqlite3* pDb, const std::string& sql)
{
    return sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, nullptr);
}

// The table, created or checked, in one transaction. SQLite code.
int PrepareTable(sqlite3* pDb, std::string& strError)
{
    int rc = Exec(pDb, "PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK)
        rc = Exec(pDb, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK)
        rc = Exec(pDb, kCreateMeta);
    std::int64_t nVersion = 0;
    sqlite3_stmt* p = nullptr;
    if (rc == SQLITE_OK &&
        (rc = sqlite3_prepare_v2(pDb, "SELECT value FROM footage_meta WHERE name='audit_schema'", -1, &p,
                                 nullptr)) == SQLITE_OK) {
        if (sqlite3_step(p) == SQLITE_ROW)
            nVersion = sqlite3_column_int64(p, 0);
        rc = sqlite3_reset(p);
    }
    sqlite3_finalize(p);
    if (rc == SQLITE_OK && nVersion > kSchemaVersion) {
        Exec(pDb, "ROLLBACK");
        strError = Format("its audit table is of a newer program (schema %d)", static_cast<int>(nVersion));
        return SQLITE_ERROR;
    }
    if (rc == SQLITE_OK && nVersion < kSchemaVersion) {
        rc = Exec(pDb, kCreateAudit);
        if (rc == SQLITE_OK)
            rc = Exec(pDb, Format("INSERT OR REPLACE INTO footage_meta(name, value) VALUES('audit_schema', %d)",
                                  kSchemaVersion));
    }
    if (rc == SQLITE_OK)
        rc = Exec(pDb, "COMMIT");
    if (rc != SQLITE_OK) {
        strError = sqlite3_errmsg(pDb);
        if (!sqlite3_get_autocommit(pDb))
            Exec(pDb, "ROLLBACK");
    }
    return rc;
}

} // namespace

CAuditLog::~CAuditLog()
{
    Close();
}

int CAuditLog::Open(const std::string& dbPath)
{
    CMutexLock guard(m_lock);
    if (m_pDb)
        return 0;
    std::string strError;
    int rc = sqlite3_open_v2(dbPath.c_str(), &m_pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        // The fleet history and the catalogue write the same file.
        sqlite3_busy_timeout(m_pDb, Timing().nDbBusyWaitMs);
        rc = PrepareTable(m_pDb, strError);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v3(m_pDb, kInsert, -1, SQLITE_PREPARE_PERSISTENT, &m_pInsert, nullptr);
    if (rc != SQLITE_OK) {
        if (strError.empty())
            strError = m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc);
        sqlite3_finalize(m_pInsert);
        sqlite3_close_v2(m_pDb);
        m_pInsert = nullptr;
        m_pDb = nullptr;
        WriteLog(Format("audit trail %s cannot be opened: %s", dbPath.c_str(), strError.c_str()));
        return -1;
    }
    m_bFailureLogged = false;
    return 0;
}

void CAuditLog::Close()
{
    CMutexLock guard(m_lock);
    sqlite3_finalize(m_pInsert);
    sqlite3_close_v2(m_pDb);
    m_pInsert = nullptr;
    m_pDb = nullptr;
}

bool CAuditLog::IsOpen() const
{
    CMutexLock guard(m_lock);
    return m_pDb != nullptr;
}

bool CAuditLog::Append(const AuditEntry& entry)
{
    CMutexLock guard(m_lock);
    return x_Write(entry);
}

bool CAuditLog::AppendThrottled(const AuditEntry& entry)
{
    const std::uint32_t tNow = entry.tTime != 0 ? entry.tTime : WallClockNow();
    ThrottleKey key(entry.strClient, entry.strAction, entry.strObject);
    CMutexLock guard(m_lock);
    if (x_Throttled(key, tNow))
        return false;
    AuditEntry timed = entry;
    timed.tTime = tNow;
    if (x_Write(timed))
        return true;
    // Not written: the next try must not be held back.
    auto it = m_throttle.find(key);
    if (it != m_throttle.end()) {
        m_throttleOrder.erase(it->second.itOrder);
        m_throttle.erase(it);
    }
    return false;
}

bool CAuditLog::x_Throttled(const ThrottleKey& key, std::uint32_t tNow)
{
    auto it = m_throttle.find(key);
    if (it != m_throttle.end()) {
        const std::uint32_t tLast = it->second.tLast;
        // A clock set back writes again rather than stay silent.
        if (tNow >= tLast && tNow - tLast < kThrottleSeconds)
            return true;
        m_throttleOrder.erase(it->second.itOrder);
        m_throttle.erase(it);
    }
    // Bounded: forgetting a key only lets its next entry through sooner.
    while (m_throttle.size() >= kThrottleMax) {
        m_throttle.erase(m_throttleOrder.front());
        m_throttleOrder.pop_front();
    }
    m_throttleOrder.push_back(key);
    m_throttle.emplace(key, Throttle {tNow, std::prev(m_throttleOrder.end())});
    return false;
}

bool CAuditLog::x_Write(const AuditEntry& entry)
{
    if (!m_pDb)
        return false;
    sqlite3_bind_int64(m_pInsert, 1, entry.tTime != 0 ? entry.tTime : WallClockNow());
    BindText(m_pInsert, 2, entry.strClient);
    BindText(m_pInsert, 3, entry.strRole);
    BindText(m_pInsert, 4, entry.strAction);
    BindText(m_pInsert, 5, entry.strObject);
    BindText(m_pInsert, 6, entry.strDetail);
    int nStep = sqlite3_step(m_pInsert);
    int rc = sqlite3_reset(m_pInsert);
    if (nStep == SQLITE_DONE) {
        m_bFailureLogged = false;
        return true;
    }
    if (!m_bFailureLogged) {
        m_bFailureLogged = true;
        WriteLog(Format("audit trail write failed: %s", sqlite3_errstr(rc)));
    }
    return false;
}

AuditPage CAuditLog::List(std::size_t nLimit, const std::string& after) const
{
    AuditPage page;
    std::int64_t nBefore = std::numeric_limits<std::int64_t>::max();
    if (!after.empty()) {
        auto [pEnd, ec] = std::from_chars(after.data(), after.data() + after.size(), nBefore);
        if (ec != std::errc() || pEnd != after.data() + after.size() || nBefore <= 0) {
            page.bValid = false;
            return page;
        }
    }
    const std::size_t nPage = std::clamp<std::size_t>(nLimit, 1, kMaxLimit);
    CMutexLock guard(m_lock);
    sqlite3_stmt* p = nullptr;
    if (!m_pDb || sqlite3_prepare_v2(m_pDb, kList, -1, &p, nullptr) != SQLITE_OK) {
        sqlite3_finalize(p);
        return page;
    }
    sqlite3_bind_int64(p, 1, nBefore);
    sqlite3_bind_int64(p, 2, static_cast<std::int64_t>(nPage) + 1);
    while (sqlite3_step(p) == SQLITE_ROW) {
        AuditEntry entry;
        entry.nId = sqlite3_column_int64(p, 0);
        entry.tTime = static_cast<std::uint32_t>(sqlite3_column_int64(p, 1));
        entry.strClient = ColumnText(p, 2);
        entry.strRole = ColumnText(p, 3);
        entry.strAction = ColumnText(p, 4);
        entry.strObject = ColumnText(p, 5);
        entry.strDetail = ColumnText(p, 6);
        page.entries.push_back(std::move(entry));
    }
    sqlite3_finalize(p);
    if (page.entries.size() > nPage) {
        page.entries.resize(nPage);
        page.strNext = std::to_string(page.entries.back().nId);
    }
    return page;
}

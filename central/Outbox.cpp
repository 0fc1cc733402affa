#include "central/Outbox.h"

#include "central/CentralFeeds.h"
#include "platform/Format.h"
#include "platform/Timing.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>

namespace {

constexpr const char* kCreate =
    // AUTOINCREMENT: a sequence number is never handed out again, so removing the
    // entries up to one sent never removes a newer entry.
    "CREATE TABLE IF NOT EXISTS central_outbox("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT, tbl TEXT NOT NULL, key TEXT NOT NULL, queued_at INTEGER NOT NULL,"
    " payload TEXT NOT NULL);"
    // A row's entry is found by its key when the row changes again.
    "CREATE INDEX IF NOT EXISTS central_outbox_by_key ON central_outbox(tbl, key);"
    "CREATE TABLE IF NOT EXISTS central_rejected("
    " seq INTEGER NOT NULL, tbl TEXT NOT NULL, key TEXT NOT NULL, queued_at INTEGER NOT NULL, payload TEXT NOT NULL,"
    " error TEXT NOT NULL, rejected_at INTEGER NOT NULL);";

int Exec(sqlite3* pDb, const std::string& sql)
{
    return sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, nullptr);
}

std::string ColumnText(sqlite3_stmt* p, int nCol)
{
    const auto* pText = static_cast<const char*>(sqlite3_column_blob(p, nCol));
    return pText ? std::string(pText, static_cast<std::size_t>(sqlite3_column_bytes(p, nCol))) : std::string();
}

// The row as a JSON object; prefix names its columns (NEW. in a trigger).
std::string PayloadExpr(const CentralFeed& feed, const char* szPrefix)
{
    std::string expr = "json_object(";
    for (const CentralColumn& column : feed.columns) {
        if (&column != &feed.columns.front())
            expr += ", ";
        expr += Format("'%s', %s%s", column.szName, szPrefix, column.szLocal ? column.szLocal : column.szName);
    }
    return expr + ")";
}

// The key expression with every column name prefixed.
std::string KeyExpr(const CentralFeed& feed, const char* szPrefix)
{
    std::string key = feed.szKey;
    std::string out;
    std::size_t i = 0;
    while (i < key.size()) {
        bool bWordStart = (i == 0 || !(isalnum(static_cast<unsigned char>(key[i - 1])) || key[i - 1] == '_'));
        if (bWordStart && (isalpha(static_cast<unsigned char>(key[i])) || key[i] == '_')) {
            std::size_t j = i;
            while (j < key.size() && (isalnum(static_cast<unsigned char>(key[j])) || key[j] == '_'))
                ++j;
            out += szPrefix + key.substr(i, j - i);
            i = j;
        } else if (key[i] == '\'') {
            std::size_t j = key.find('\'', i + 1);
            out += key.substr(i, j - i + 1);
            i = j + 1;
        } else {
            out += key[i++];
        }
    }
    return "CAST(" + out + " AS TEXT)";
}

// The new entry keeps the time the row first waited, so that the outbox's age is
// that of its oldest unsent change; the row's older entry then goes.
std::string TriggerSql(const CentralFeed& feed, const char* szEvent)
{
    const std::string key = KeyExpr(feed, "NEW.");
    const std::string same = Format("tbl='%s' AND key=%s", feed.szTable, key.c_str());
    return Format("CREATE TRIGGER central_%s_%s AFTER %s ON %s BEGIN"
                  " INSERT INTO central_outbox(tbl, key, queued_at, payload) VALUES('%s', %s,"
                  " COALESCE((SELECT MIN(queued_at) FROM central_outbox WHERE %s), unixepoch()), %s);"
                  " DELETE FROM central_outbox WHERE %s AND seq < last_insert_rowid();"
                  " END;",
                  feed.szTable, szEvent, szEvent, feed.szTable, feed.szTable, key.c_str(), same.c_str(),
                  PayloadExpr(feed, "NEW.").c_str(), same.c_str());
}

bool Exists(sqlite3* pDb, const char* szType, const std::string& name)
{
    sqlite3_stmt* p = nullptr;
    bool bExists = false;
    if (sqlite3_prepare_v2(pDb, "SELECT 1 FROM sqlite_master WHERE type=?1 AND name=?2", -1, &p, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(p, 1, szType, -1, SQLITE_STATIC);
        sqlite3_bind_text(p, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        bExists = sqlite3_step(p) == SQLITE_ROW;
    }
    sqlite3_finalize(p);
    return bExists;
}

int OpenFile(const std::string& dbPath, sqlite3*& pDb)
{
    int rc = sqlite3_open_v2(dbPath.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        // The history, the catalogue and the others write the same file.
        sqlite3_busy_timeout(pDb, Timing().nDbBusyWaitMs);
        rc = Exec(pDb, "PRAGMA journal_mode=WAL");
    }
    // Removing sent entries need not wait for the disk: after a power cut an entry
    // back in the outbox is only sent again, to the same row.
    if (rc == SQLITE_OK)
        rc = Exec(pDb, "PRAGMA synchronous=NORMAL");
    return rc;
}

// Ends the transaction of a failed step and closes; -1 with strError.
int Fail(sqlite3*& pDb, std::string& strError)
{
    strError = pDb ? sqlite3_errmsg(pDb) : "out of memory";
    if (pDb && !sqlite3_get_autocommit(pDb))
        Exec(pDb, "ROLLBACK");
    sqlite3_close_v2(pDb);
    pDb = nullptr;
    return -1;
}

} // namespace

COutbox::~COutbox()
{
    Close();
}

void COutbox::Close()
{
    sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

int COutbox::x_Feed(const CentralFeed& feed)
{
    if (!Exists(m_pDb, "table", feed.szTable))
        return SQLITE_OK;  // its owner could not open it: its triggers come at a later Open
    // Made again at every open: a newer program may feed more columns.
    const bool bFed = Exists(m_pDb, "trigger", Format("central_%s_INSERT", feed.szTable));
    int rc = Exec(m_pDb, Format("DROP TRIGGER IF EXISTS central_%s_INSERT; DROP TRIGGER IF EXISTS central_%s_UPDATE",
                                feed.szTable, feed.szTable));
    if (rc == SQLITE_OK)
        rc = Exec(m_pDb, TriggerSql(feed, "INSERT"));
    if (rc == SQLITE_OK && !feed.bAppendOnly)
        rc = Exec(m_pDb, TriggerSql(feed, "UPDATE"));
    // What the table held before: an entry of a key already queued is as new.
    const std::string key = KeyExpr(feed, "");
    if (rc == SQLITE_OK && !bFed)
        rc = Exec(m_pDb, Format("INSERT INTO central_outbox(tbl, key, queued_at, payload)"
                                " SELECT '%s', %s, unixepoch(), %s FROM %s AS fed WHERE NOT EXISTS"
                                " (SELECT 1 FROM central_outbox o WHERE o.tbl='%s' AND o.key=%s)",
                                feed.szTable, key.c_str(), PayloadExpr(feed, "").c_str(), feed.szTable, feed.szTable,
                                KeyExpr(feed, "fed.").c_str()));
    return rc;
}

int COutbox::Open(const std::string& dbPath, std::string& strError)
{
    Close();
    if (OpenFile(dbPath, m_pDb) != SQLITE_OK || Exec(m_pDb, "BEGIN IMMEDIATE") != SQLITE_OK ||
        Exec(m_pDb, kCreate) != SQLITE_OK)
        return Fail(m_pDb, strError);
    for (const CentralFeed& feed : CentralFeeds()) {
        if (x_Feed(feed) != SQLITE_OK)
            return Fail(m_pDb, strError);
    }
    if (Exec(m_pDb, "COMMIT") != SQLITE_OK)
        return Fail(m_pDb, strError);
    return 0;
}

int COutbox::Disable(const std::string& dbPath, std::string& strError)
{
    sqlite3* pDb = nullptr;
    if (OpenFile(dbPath, pDb) != SQLITE_OK || Exec(pDb, "BEGIN IMMEDIATE") != SQLITE_OK)
        return Fail(pDb, strError);
    for (const CentralFeed& feed : CentralFeeds()) {
        if (Exec(pDb, Format("DROP TRIGGER IF EXISTS central_%s_INSERT; DROP TRIGGER IF EXISTS central_%s_UPDATE",
                             feed.szTable, feed.szTable)) != SQLITE_OK)
            return Fail(pDb, strError);
    }
    if (Exists(pDb, "table", "central_outbox") && Exec(pDb, "DELETE FROM central_outbox") != SQLITE_OK)
        return Fail(pDb, strError);
    if (Exec(pDb, "COMMIT") != SQLITE_OK)
        return Fail(pDb, strError);
    sqlite3_close_v2(pDb);
    return 0;
}

std::vector<OutboxRow> COutbox::Take(std::size_t nMax, std::string& strError)
{
    std::vector<OutboxRow> rows;
    sqlite3_stmt* p = nullptr;
    int rc = sqlite3_prepare_v2(m_pDb, "SELECT seq, tbl, key, queued_at, payload FROM central_outbox ORDER BY seq LIMIT ?1",
                                -1, &p, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(p, 1, static_cast<sqlite3_int64>(std::min(nMax, kTakeMax)));
        while ((rc = sqlite3_step(p)) == SQLITE_ROW)
            rows.push_back({sqlite3_column_int64(p, 0), ColumnText(p, 1), ColumnText(p, 2),
                            static_cast<std::uint32_t>(sqlite3_column_int64(p, 3)), ColumnText(p, 4)});
    }
    if (rc != SQLITE_DONE) {
        strError = sqlite3_errmsg(m_pDb);
        rows.clear();
    }
    sqlite3_finalize(p);
    return rows;
}

bool COutbox::Remove(std::int64_t nUpToSeq, std::string& strError)
{
    if (Exec(m_pDb, Format("DELETE FROM central_outbox WHERE seq <= %lld", static_cast<long long>(nUpToSeq))) ==
        SQLITE_OK)
        return true;
    strError = sqlite3_errmsg(m_pDb);
    return false;
}

bool COutbox::Reject(const OutboxRow& row, const std::string& why, std::string& strError)
{
    sqlite3_stmt* p = nullptr;
    int rc = Exec(m_pDb, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(m_pDb,
                                "INSERT INTO central_rejected(seq, tbl, key, queued_at, payload, error, rejected_at)"
                                " SELECT seq, tbl, key, queued_at, payload, ?2, unixepoch() FROM central_outbox"
                                " WHERE seq=?1",
                                -1, &p, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(p, 1, row.nSeq);
        sqlite3_bind_text(p, 2, why.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(p) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
    }
    sqlite3_finalize(p);
    if (rc == SQLITE_OK)
        rc = Exec(m_pDb, Format("DELETE FROM central_outbox WHERE seq=%lld", static_cast<long long>(row.nSeq)));
    if (rc == SQLITE_OK)
        rc = Exec(m_pDb, "COMMIT");
    if (rc != SQLITE_OK) {
        strError = sqlite3_errmsg(m_pDb);
        if (!sqlite3_get_autocommit(m_pDb))
            Exec(m_pDb, "ROLLBACK");
        return false;
    }
    return true;
}

OutboxDepth COutbox::Depth()
{
    OutboxDepth depth;
    sqlite3_stmt* p = nullptr;
    depth.nRows = -1;
    if (sqlite3_prepare_v2(m_pDb, "SELECT COUNT(*), COALESCE(MIN(queued_at), 0) FROM central_outbox", -1, &p,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(p) == SQLITE_ROW) {
        depth.nRows = sqlite3_column_int64(p, 0);
        depth.tOldest = static_cast<std::uint32_t>(sqlite3_column_int64(p, 1));
    }
    sqlite3_finalize(p);
    return depth;
}

std::int64_t COutbox::Rejected()
{
    sqlite3_stmt* p = nullptr;
    std::int64_t nRows = -1;
    if (sqlite3_prepare_v2(m_pDb, "SELECT COUNT(*) FROM central_rejected", -1, &p, nullptr) == SQLITE_OK &&
        sqlite3_step(p) == SQLITE_ROW)
        nRows = sqlite3_column_int64(p, 0);
    sqlite3_finalize(p);
    return nRows;
}

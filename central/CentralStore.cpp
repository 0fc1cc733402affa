#include "central/CentralStore.h"

#include "central/CentralFeeds.h"
#include "central/CentralSchema.h"
#include "core/Logger.h"
#include "footage/FootageRequests.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/Poller.h"
#include "platform/System.h"
#include "platform/Timing.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

// The statement that writes a batch of one feed's rows ($2, a JSON array) for the
// depot $1: a row already there is replaced (or, append-only, kept).
std::string UpsertSql(const CentralFeed& feed)
{
    std::string columns;
    std::string values;
    std::string types;
    std::string keys;
    std::string updates;
    int nIndex = 0;
    for (const CentralColumn& column : feed.columns) {
        const char* szSep = nIndex == 0 ? "" : ", ";
        columns += Format("%s%s", szSep, column.szName);
        values += Format("%sr.%s", szSep, column.szName);
        types += Format("%s%s %s", szSep, column.szName, column.szPgType);
        if (nIndex < feed.nKeyColumns)
            keys += Format(", %s", column.szName);
        else
            updates += Format("%s%s=EXCLUDED.%s", updates.empty() ? "" : ", ", column.szName, column.szName);
        ++nIndex;
    }
    return Format("INSERT INTO %s(depot, %s) SELECT $1, %s FROM jsonb_to_recordset($2::jsonb) AS r(%s)"
                  " ON CONFLICT (depot%s) DO %s",
                  feed.szTable, columns.c_str(), values.c_str(), types.c_str(), keys.c_str(),
                  feed.bAppendOnly || updates.empty() ? "NOTHING" : ("UPDATE SET " + updates).c_str());
}

std::string JsonArray(const std::vector<const OutboxRow*>& rows)
{
    std::string array = "[";
    for (const OutboxRow* pRow : rows) {
        if (array.size() > 1)
            array += ',';
        array += pRow->strPayload;
    }
    return array + "]";
}

std::uint64_t Number(const std::optional<std::string>& value)
{
    return value ? std::strtoull(value->c_str(), nullptr, 10) : 0;
}

// The cursor of a page of recordings across depots: the last row's start, id and depot
// ("start/id/depot"). False for anything else.
bool ParseCursor(const std::string& text, std::optional<std::string>& start, std::optional<std::string>& id,
                 std::optional<std::string>& depot)
{
    const std::size_t nFirst = text.find('/');
    const std::size_t nSecond = nFirst == std::string::npos ? nFirst : text.find('/', nFirst + 1);
    if (nSecond == std::string::npos)
        return false;
    std::string startText = text.substr(0, nFirst);
    std::string idText = text.substr(nFirst + 1, nSecond - nFirst - 1);
    if (startText.empty() || idText.empty() || startText.size() > 10 || idText.size() > 18 ||
        (startText + idText).find_first_not_of("0123456789") != std::string::npos)
        return false;
    start = std::move(startText);
    id = std::move(idText);
    depot = text.substr(nSecond + 1);
    return true;
}

// Not a state of the database's: rows of a table this program does not feed.
constexpr const char* kUnknownTable = "unknown table";

// Whether the database refused a row for what it holds (SQLSTATE classes 22 and 23:
// bytes that are no text, a value out of range, a missing value): sent again it is
// refused again. Anything else (a grant, a table, a resource) may pass later.
bool IsRowRefusal(const std::string& state)
{
    return state == kUnknownTable || state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0;
}

constexpr const char* kDepotUpsert =
    "INSERT INTO depot(name, url) VALUES($1, $2) ON CONFLICT(name) DO UPDATE SET url=EXCLUDED.url, last_contact=now()";

} // namespace

CCentralStore::~CCentralStore()
{
    Stop();
}

int CCentralStore::Start(const CentralSettings& settings, const std::string& dbPath, CFootageRequests* pRequests)
{
    Stop();
    std::string strError;
    if (pRequests)
        pRequests->SetTakingDepot({});
    if (settings.strConnInfo.empty()) {
        if (COutbox::Disable(dbPath, strError) != 0)
            WriteLog(Format("Central database: the outbox in %s cannot be emptied: %s", dbPath.c_str(),
                            strError.c_str()));
        return 0;
    }
    std::vector<std::string> problems = CentralSettingsProblems(settings);
    for (const std::string& problem : problems)
        WriteLog(problem);
    if (!problems.empty())
        return -1;
    if (m_outbox.Open(dbPath, strError) != 0) {
        WriteLog(Format("Central database: the outbox in %s cannot be opened: %s", dbPath.c_str(), strError.c_str()));
        return -1;
    }
    if (m_stop.Open() != 0) {
        m_outbox.Close();
        WriteLog("Central database: the sender cannot be started");
        return -1;
    }
    m_settings = settings;
    m_strDbPath = dbPath;
    m_bStopping = false;
    m_nFinalDeadlineMs = 0;
    m_bOutageLogged = false;
    m_bWorking = false;
    m_bRequestErrorLogged = false;
    m_broker.Configure(pRequests, settings.strDepot);
    if (pRequests)
        pRequests->SetTakingDepot(settings.strDepot);
    m_bBrokering = pRequests != nullptr;
    {
        CMutexLock guard(m_lock);
        m_status = CentralStatus {};
        m_status.bEnabled = true;
        m_status.strDepot = settings.strDepot;
    }
    {
        CMutexLock guard(m_readLock);
        m_strReadConnInfo = settings.strConnInfo;
    }
    x_UpdateDepth();
    m_thread = std::thread([this] { x_Run(); });
    return 0;
}

void CCentralStore::Stop()
{
    if (!m_thread.joinable())
        return;
    m_bStopping = true;
    m_bBrokering = false;
    m_stop.Signal();
    m_thread.join();
    m_conn.Close();
    m_outbox.Close();
    m_stop.Close();
    {
        CMutexLock guard(m_readLock);
        m_readConn.Close();
        m_strReadConnInfo.clear();
    }
    CMutexLock guard(m_lock);
    m_status.bEnabled = false;
    m_status.bConnected = false;
}

void CCentralStore::VehicleSeen(const std::string& name)
{
    // The sender looks at least every Timing().nCentralPollMs: no need to wake it, and
    // a wake would end a statement under way.
    if (m_bBrokering)
        m_broker.VehicleSeen(name);
}

CentralStatus CCentralStore::Status() const
{
    CMutexLock guard(m_lock);
    return m_status;
}

void CCentralStore::x_Run()
{
    int nRetryMs = Timing().nCentralRetryMs;
    while (!m_bStopping) {
        if (!m_conn.IsOpen() && !x_Connect()) {
            // The outbox grows while the database is away: the gauges show it.
            x_UpdateDepth();
            // Woken by Stop, or the wait's end: either way the loop looks again.
            (void)CPoller::WaitOne(m_stop.Fd(), CPoller::Want::Read, nRetryMs);
            nRetryMs = std::min(nRetryMs * 2, Timing().nCentralRetryMaxMs);
            continue;
        }
        const std::int64_t nWaiting = Status().nOutboxRows;
        bool bMore = x_DrainOnce();
        x_UpdateDepth();
        if (!m_conn.IsOpen()) {
            // The batch failed (a cut, a missing grant): the same pause as a failed connect.
            (void)CPoller::WaitOne(m_stop.Fd(), CPoller::Want::Read, nRetryMs);
            nRetryMs = std::min(nRetryMs * 2, Timing().nCentralRetryMaxMs);
            continue;
        }
        nRetryMs = Timing().nCentralRetryMs;
        x_Working(nWaiting);
        x_Requests();
        if (!bMore && m_conn.IsOpen())
            m_conn.WaitForInput(Timing().nCentralPollMs, &m_stop);
        if (!m_conn.TakeNotifications().empty())
            m_broker.Notified();
    }
    x_FinalDrain();
}

void CCentralStore::x_FinalDrain()
{
    // What the stop itself wrote (the departures, the last counts) goes now if the
    // database is there, so that the shared fleet does not wait for the next start;
    // briefly, as a stop must not hang on it. Whatever is left waits in fleet.db.
    if (!m_conn.IsOpen())
        return;
    m_stop.Drain();
    m_nFinalDeadlineMs = MonotonicMs() + kFinalDrainMs;
    while (MonotonicMs() < m_nFinalDeadlineMs && m_conn.IsOpen() && x_DrainOnce()) {
    }
    x_UpdateDepth();
}

int CCentralStore::x_TimeoutMs() const
{
    if (m_nFinalDeadlineMs == 0)
        return Timing().nCentralTimeoutMs;
    return static_cast<int>(std::clamp<std::int64_t>(m_nFinalDeadlineMs - MonotonicMs(), 1, Timing().nCentralTimeoutMs));
}

bool CCentralStore::x_Connect()
{
    std::string strError;
    const int nTimeoutMs = Timing().nCentralTimeoutMs;
    if (!m_conn.Connect(m_settings.strConnInfo, nTimeoutMs, &m_stop, strError) ||
        !MigrateCentral(m_conn, nTimeoutMs, &m_stop, strError)) {
        m_conn.Close();
        if (!m_bStopping)
            x_Failed(strError);
        return false;
    }
    PgResult result = m_conn.Exec(kDepotUpsert, {m_settings.strDepot, m_settings.strDepotUrl}, nTimeoutMs, &m_stop);
    if (result.bOk)
        result = m_conn.Exec(std::string("LISTEN ") + CRequestBroker::kChannel, {}, nTimeoutMs, &m_stop);
    if (!result.bOk) {
        m_conn.Close();
        x_Failed(result.strError);
        return false;
    }
    CMutexLock guard(m_lock);
    m_status.bConnected = true;
    return true;
}

void CCentralStore::x_Working(std::int64_t nWaiting)
{
    // Said once the database takes rows, not at every connect: a connection whose
    // batches are refused is no recovery.
    if (m_bWorking)
        return;
    m_bWorking = true;
    m_bOutageLogged = false;
    {
        CMutexLock guard(m_lock);
        m_status.strLastError.clear();
    }
    WriteLog(Format("Central database connected as depot %s; %lld rows to send", m_settings.strDepot.c_str(),
                    static_cast<long long>(nWaiting)));
}

void CCentralStore::x_Requests()
{
    if (!m_bBrokering || !m_conn.IsOpen() || !m_broker.Due())
        return;
    std::string strError;
    if (m_broker.Turn(m_conn, &m_stop, strError)) {
        m_bRequestErrorLogged = false;
        return;
    }
    if (!m_conn.IsOpen()) {
        x_Failed(strError);
        return;
    }
    if (!m_bRequestErrorLogged)
        WriteLog(Format("Central database: footage requests cannot be taken: %s", strError.c_str()));
    m_bRequestErrorLogged = true;
}

void CCentralStore::x_Failed(const std::string& strError)
{
    {
        CMutexLock guard(m_lock);
        m_status.bConnected = false;
        m_status.strLastError = strError;
    }
    m_bWorking = false;
    // One line per outage: a database away for hours must not fill the log.
    if (!m_bOutageLogged)
        WriteLog(Format("Central database not usable, rows wait in fleet.db: %s", strError.c_str()));
    m_bOutageLogged = true;
}

bool CCentralStore::x_DrainOnce()
{
    std::string strError;
    std::vector<OutboxRow> rows = m_outbox.Take(kBatchRows, strError);
    if (rows.empty()) {
        if (!strError.empty())
            WriteLog(Format("Central database: the outbox cannot be read: %s", strError.c_str()));
        return false;
    }
    bool bLost = false;
    std::string strState;
    if (!x_SendBatch(rows, strError, strState, bLost)) {
        if (!bLost)
            m_conn.Exec("ROLLBACK", {}, x_TimeoutMs(), &m_stop);
        // Cut off, or refused for want of a grant, a table, a resource: the rows wait and
        // go again after the pause of an outage.
        if (bLost || !IsRowRefusal(strState)) {
            m_conn.Close();
            x_Failed(strError);
            return false;
        }
        // Refused for what some row holds: find those rows, keep them aside, send the rest.
        if (!x_SendEach(rows, bLost)) {
            m_conn.Close();
            x_Failed(strError);
            return false;
        }
    }
    if (!m_outbox.Remove(rows.back().nSeq, strError))
        WriteLog(Format("Central database: sent rows stay in the outbox and go again: %s", strError.c_str()));
    CMutexLock guard(m_lock);
    m_status.nSent += rows.size();
    return rows.size() == kBatchRows;
}

bool CCentralStore::x_SendBatch(const std::vector<OutboxRow>& rows, std::string& strError, std::string& strState,
                                bool& bLost)
{
    std::map<std::string, std::vector<const OutboxRow*>> byTable;
    for (const OutboxRow& row : rows)
        byTable[row.strTable].push_back(&row);
    const int nTimeoutMs = x_TimeoutMs();
    auto run = [&](const std::string& sql, const std::vector<std::optional<std::string>>& params) {
        PgResult result = m_conn.Exec(sql, params, nTimeoutMs, &m_stop);
        if (!result.bOk) {
            strError = result.strError;
            strState = result.strState;
            bLost = result.bLost;
        }
        return result.bOk;
    };
    if (!run("BEGIN", {}))
        return false;
    for (const CentralFeed& feed : CentralFeeds()) {
        auto it = byTable.find(feed.szTable);
        if (it != byTable.end() && !run(UpsertSql(feed), {m_settings.strDepot, JsonArray(it->second)}))
            return false;
        if (it != byTable.end())
            byTable.erase(it);
    }
    if (!byTable.empty()) {
        strError = Format("rows of an unknown table %s", byTable.begin()->first.c_str());
        strState = kUnknownTable;
        return false;
    }
    return run(kDepotUpsert, {m_settings.strDepot, m_settings.strDepotUrl}) && run("COMMIT", {});
}

bool CCentralStore::x_SendEach(const std::vector<OutboxRow>& rows, bool& bLost)
{
    for (const OutboxRow& row : rows) {
        std::string strWhy;
        const CentralFeed* pFeed = FindCentralFeed(row.strTable);
        if (pFeed) {
            PgResult result = m_conn.Exec(UpsertSql(*pFeed), {m_settings.strDepot, "[" + row.strPayload + "]"},
                                          x_TimeoutMs(), &m_stop);
            if (result.bLost) {
                bLost = true;
                return false;
            }
            if (!result.bOk && !IsRowRefusal(result.strState))
                return false;
            strWhy = result.strError;
        } else {
            strWhy = "no such table in this program";
        }
        if (strWhy.empty())
            continue;
        std::string strError;
        WriteLog(Format("Central database refused the %s row %s, kept in central_rejected: %s", row.strTable.c_str(),
                        row.strKey.c_str(), strWhy.c_str()));
        if (!m_outbox.Reject(row, strWhy, strError)) {
            WriteLog(Format("Central database: the refused row stays in the outbox: %s", strError.c_str()));
            return false;
        }
    }
    return true;
}

void CCentralStore::x_UpdateDepth()
{
    OutboxDepth depth = m_outbox.Depth();
    std::int64_t nRejected = m_outbox.Rejected();
    CMutexLock guard(m_lock);
    m_status.nOutboxRows = depth.nRows;
    m_status.tOldest = depth.tOldest;
    m_status.nRejected = nRejected;
}

std::optional<PgResult> CCentralStore::x_Read(const std::string& sql,
                                              const std::vector<std::optional<std::string>>& params,
                                              std::string& strError)
{
    if (m_strReadConnInfo.empty()) {
        strError = "no central database";
        return std::nullopt;
    }
    const int nTimeoutMs = Timing().nCentralTimeoutMs;
    if (!m_readConn.IsOpen() && !m_readConn.Connect(m_strReadConnInfo, nTimeoutMs, nullptr, strError))
        return std::nullopt;
    PgResult result = m_readConn.Exec(sql, params, nTimeoutMs, nullptr);
    if (!result.bOk) {
        strError = result.strError;
        return std::nullopt;
    }
    return result;
}

std::optional<std::vector<DepotVehicle>> CCentralStore::FleetAcrossDepots(std::string& strError)
{
    CMutexLock guard(m_readLock);
    std::optional<PgResult> result = x_Read(
        "SELECT depot, name, first_seen, last_seen, visits, files_total, bytes_total, last_complete_offload, pending"
        " FROM vehicle ORDER BY name, last_seen DESC, depot",
        {}, strError);
    if (!result)
        return std::nullopt;
    std::vector<DepotVehicle> vehicles;
    for (const auto& row : result->rows) {
        DepotVehicle vehicle;
        vehicle.strDepot = row[0].value_or("");
        vehicle.strName = row[1].value_or("");
        vehicle.tFirstSeen = static_cast<std::uint32_t>(Number(row[2]));
        vehicle.tLastSeen = static_cast<std::uint32_t>(Number(row[3]));
        vehicle.nVisits = Number(row[4]);
        vehicle.nFiles = Number(row[5]);
        vehicle.nBytes = Number(row[6]);
        vehicle.tLastCompleteOffload = static_cast<std::uint32_t>(Number(row[7]));
        vehicle.nPending = row[8] ? std::strtoll(row[8]->c_str(), nullptr, 10) : -1;
        vehicles.push_back(std::move(vehicle));
    }
    return vehicles;
}

std::optional<DepotRecordingPage> CCentralStore::RecordingsAcrossDepots(const CatalogueQuery& query,
                                                                        std::string& strError)
{
    DepotRecordingPage page;
    std::optional<std::string> afterStart, afterId, afterDepot;
    if (!query.strAfter.empty() && !ParseCursor(query.strAfter, afterStart, afterId, afterDepot)) {
        page.bValid = false;
        return page;
    }
    const std::size_t nLimit = std::clamp<std::size_t>(query.nLimit, 1, CRecordingCatalogue::kMaxLimit);
    CMutexLock guard(m_readLock);
    std::optional<PgResult> result = x_Read(
        "SELECT r.depot, COALESCE(d.url, ''), r.id, r.vehicle, r.channel, r.start_time, r.end_time, r.size, r.path,"
        " r.stored_at, r.sha256 FROM recording r LEFT JOIN depot d ON d.name = r.depot"
        " WHERE r.deleted_at = 0 AND ($1::text = '' OR r.vehicle = $1) AND ($2::int < 0 OR r.channel = $2)"
        " AND ($3::bigint = 0 OR r.end_time > $3) AND ($4::bigint = 0 OR r.start_time < $4)"
        " AND ($5::bigint IS NULL OR (r.start_time, r.id, r.depot) < ($5, $6::bigint, $7::text))"
        " ORDER BY r.start_time DESC, r.id DESC, r.depot DESC LIMIT $8",
        {query.strVehicle, std::to_string(query.nChannel), std::to_string(query.tFrom), std::to_string(query.tTo),
         afterStart, afterId, afterDepot, std::to_string(nLimit + 1)},
        strError);
    if (!result)
        return std::nullopt;
    for (const auto& row : result->rows) {
        if (page.rows.size() == nLimit) {
            const DepotRecording& last = page.rows.back();
            page.strNext = Format("%u/%lld/%s", last.row.tStart, static_cast<long long>(last.row.nId),
                                  last.strDepot.c_str());
            break;
        }
        DepotRecording rec {row[0].value_or(""), row[1].value_or(""), {}};
        rec.row.nId = static_cast<std::int64_t>(Number(row[2]));
        rec.row.strVehicle = row[3].value_or("");
        rec.row.nChannel = static_cast<int>(Number(row[4]));
        rec.row.tStart = static_cast<std::uint32_t>(Number(row[5]));
        rec.row.tEnd = static_cast<std::uint32_t>(Number(row[6]));
        rec.row.nSize = Number(row[7]);
        rec.row.strPath = row[8].value_or("");
        rec.row.tStoredAt = static_cast<std::uint32_t>(Number(row[9]));
        rec.row.strSha256 = row[10].value_or("");
        page.rows.push_back(std::move(rec));
    }
    return page;
}

std::optional<std::vector<EvidenceFile>> CCentralStore::TakersFiles(const std::string& taker, std::int64_t nId,
                                                                    std::string& strError)
{
    std::string self;
    {
        CMutexLock guard(m_lock);
        self = m_status.strDepot;
    }
    CMutexLock guard(m_readLock);
    std::optional<PgResult> result = x_Read(
        "SELECT rr.path, rr.size, rr.start_time, rr.end_time, rec.sha256 FROM footage_request fr"
        " JOIN footage_request_recording rr ON rr.depot = fr.depot AND rr.request_id = fr.id"
        " LEFT JOIN recording rec ON rec.depot = fr.depot AND rec.vehicle = fr.vehicle AND rec.channel = rr.channel"
        " AND rec.start_time = rr.start_time AND rec.path = rr.path"
        " WHERE fr.depot = $1 AND fr.origin_depot = $2 AND fr.origin_id = $3"
        " ORDER BY rr.channel, rr.start_time, rr.file_name",
        {taker, self, std::to_string(nId)}, strError);
    if (!result)
        return std::nullopt;
    std::vector<EvidenceFile> files;
    for (const auto& row : result->rows)
        files.push_back({row[0].value_or(""), Number(row[1]), static_cast<std::uint32_t>(Number(row[2])),
                         static_cast<std::uint32_t>(Number(row[3])), row[4].value_or("")});
    return files;
}

#include "footage/FootageRequests.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/PathName.h"
#include "store/LocalStore.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <utility>

namespace {

// Layout of the request tables, kept in footage_schema (the file's user_version is the
// fleet history's). 1: footage_request, footage_request_recording, footage_request_state.
// 2: which depot a request came from and which depot took it, for a shared fleet.
constexpr int kLayout = 2;
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kCreateTables =
    "CREATE TABLE IF NOT EXISTS footage_schema(part TEXT PRIMARY KEY NOT NULL, version INTEGER NOT NULL)"
    " WITHOUT ROWID;"
    // AUTOINCREMENT: an id once handed out is never given to another request.
    "CREATE TABLE IF NOT EXISTS footage_request("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, vehicle TEXT NOT NULL, channels TEXT NOT NULL,"
    " time_from INTEGER NOT NULL, time_to INTEGER NOT NULL, reason TEXT NOT NULL, requested_by TEXT NOT NULL,"
    " created_at INTEGER NOT NULL, state TEXT NOT NULL, reasons TEXT NOT NULL, retry INTEGER NOT NULL,"
    " state_changed_at INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS footage_request_by_vehicle ON footage_request(vehicle, state);"
    "CREATE TABLE IF NOT EXISTS footage_request_recording("
    " request_id INTEGER NOT NULL, channel INTEGER NOT NULL, file_name TEXT NOT NULL,"
    " start_time INTEGER NOT NULL, end_time INTEGER NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,"
    " fetched INTEGER NOT NULL, PRIMARY KEY(request_id, channel, file_name, start_time)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS footage_request_state("
    " request_id INTEGER NOT NULL, state TEXT NOT NULL, reasons TEXT NOT NULL, at INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS footage_request_state_by_request ON footage_request_state(request_id);";
// What layout 1 lacks. origin_depot is empty for a request made here; a copy of
// another depot's request is found again by its origin.
constexpr const char* kAddSharing =
    "ALTER TABLE footage_request ADD COLUMN origin_depot TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE footage_request ADD COLUMN origin_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE footage_request ADD COLUMN taken_by TEXT NOT NULL DEFAULT '';"
    "CREATE UNIQUE INDEX footage_request_by_origin ON footage_request(origin_depot, origin_id)"
    " WHERE origin_depot <> '';";

constexpr const char* kRequestColumns =
    "SELECT id, vehicle, channels, time_from, time_to, reason, requested_by, created_at, state, reasons, retry,"
    " state_changed_at, (SELECT COUNT(*) FROM footage_request_recording r WHERE r.request_id = footage_request.id),"
    " origin_depot, origin_id, taken_by FROM footage_request";

// One prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* pDb, const char* szSql)
    {
        if (pDb)
            m_rc = sqlite3_prepare_v2(pDb, szSql, -1, &m_p, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_p); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return m_p != nullptr && m_rc == SQLITE_OK; }
    Statement& Bind(int n, std::int64_t nValue)
    {
        if (m_p)
            sqlite3_bind_int64(m_p, n, nValue);
        return *this;
    }
    Statement& Bind(int n, const std::string& text)
    {
        if (m_p)
            sqlite3_bind_text(m_p, n, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or the failing code.
    int Step() { return m_p ? sqlite3_step(m_p) : SQLITE_MISUSE; }
    std::int64_t Int(int nCol) const { return sqlite3_column_int64(m_p, nCol); }
    std::string Text(int nCol) const
    {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(m_p, nCol));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(m_p, nCol))) : std::string();
    }

private:
    sqlite3_stmt* m_p = nullptr;
    int m_rc = SQLITE_ERROR;
};

std::string ChannelsText(const std::vector<std::uint8_t>& channels)
{
    std::string text;
    for (std::uint8_t n : channels)
        text += (text.empty() ? "" : ",") + std::to_string(n);
    return text;
}

} // namespace

std::vector<std::uint8_t> FootageChannelsFromText(const std::string& text)
{
    std::vector<std::uint8_t> channels;
    std::size_t nPos = 0;
    while (nPos < text.size()) {
        std::size_t nEnd = text.find(',', nPos);
        if (nEnd == std::string::npos)
            nEnd = text.size();
        int n = std::atoi(text.substr(nPos, nEnd - nPos).c_str());
        if (n > 0 && n <= CFootageRequests::kChannelMax)
            channels.push_back(static_cast<std::uint8_t>(n));
        nPos = nEnd + 1;
    }
    return channels;
}

namespace {

std::string ReasonsText(const std::vector<std::string>& reasons)
{
    return nlohmann::json(reasons).dump();
}

} // namespace

std::vector<std::string> FootageReasonsFromText(const std::string& text)
{
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    std::vector<std::string> reasons;
    if (parsed.is_array())
        for (const auto& item : parsed)
            if (item.is_string())
                reasons.push_back(item.get<std::string>());
    return reasons;
}

FootageRequest::State FootageStateFromName(const std::string& name)
{
    for (auto eState : {FootageRequest::State::Waiting, FootageRequest::State::Fetching, FootageRequest::State::Done,
                        FootageRequest::State::Partial, FootageRequest::State::Cancelled})
        if (name == FootageStateName(eState))
            return eState;
    // Unknown to this program (a newer one wrote it): shown as partial, never fetched.
    return FootageRequest::State::Partial;
}

namespace {

FootageRequest ReadRequestRow(const Statement& row)
{
    FootageRequest request;
    request.nId = row.Int(0);
    request.ask.strVehicle = row.Text(1);
    request.ask.channels = FootageChannelsFromText(row.Text(2));
    request.ask.tFrom = static_cast<std::uint32_t>(row.Int(3));
    request.ask.tTo = static_cast<std::uint32_t>(row.Int(4));
    request.ask.strReason = row.Text(5);
    request.ask.strRequestedBy = row.Text(6);
    request.tCreated = static_cast<std::uint32_t>(row.Int(7));
    request.eState = FootageStateFromName(row.Text(8));
    request.reasons = FootageReasonsFromText(row.Text(9));
    request.bRetry = row.Int(10) != 0;
    request.tStateChanged = static_cast<std::uint32_t>(row.Int(11));
    request.nRecordings = static_cast<std::size_t>(row.Int(12));
    request.strOriginDepot = row.Text(13);
    request.nOriginId = row.Int(14);
    request.strTakenBy = row.Text(15);
    return request;
}

std::string WindowText(const FootageAsk& ask)
{
    return FormatTimeString(ask.tFrom) + "-" + FormatTimeString(ask.tTo);
}

// Whether text holds a control character (line breaks would forge log lines).
bool HasControl(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// The reasons of a channel that did not get all of the window, and whether a later
// pass can still get it.
void AddChannelReasons(const FootageChannelResult* pResult, std::uint8_t nChannel, std::vector<std::string>& reasons,
                       bool& bRetry)
{
    if (!pResult) {
        reasons.push_back(Format("channel %d: not reached in this visit, retried at the next visit", nChannel));
        bRetry = true;
        return;
    }
    for (const std::string& lacking : pResult->lacking)
        reasons.push_back(Format("channel %d: the recorder has no footage for %s", nChannel, lacking.c_str()));
    for (const std::string& failed : pResult->failed) {
        reasons.push_back(Format("channel %d: %s could not be fetched in this visit, retried at the next visit",
                                 nChannel, failed.c_str()));
        bRetry = true;
    }
    if (!pResult->bFinished) {
        reasons.push_back(Format("channel %d: not finished in this visit, retried at the next visit", nChannel));
        bRetry = true;
    }
}

} // namespace

const char* FootageStateName(FootageRequest::State eState)
{
    switch (eState) {
    case FootageRequest::State::Waiting:
        return "waiting";
    case FootageRequest::State::Fetching:
        return "fetching";
    case FootageRequest::State::Done:
        return "done";
    case FootageRequest::State::Partial:
        return "partial";
    case FootageRequest::State::Cancelled:
        return "cancelled";
    }
    return "partial";
}

CFootageRequests::CFootageRequests(std::string path) : m_strPath(std::move(path)) {}

CFootageRequests::~CFootageRequests()
{
    Close();
}

int CFootageRequests::Open()
{
    CMutexLock guard(m_lock);
    if (m_pDb)
        return 0;
    int rc = sqlite3_open_v2(m_strPath.c_str(), &m_pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        // The fleet history writes the same file on its own connection.
        sqlite3_busy_timeout(m_pDb, kBusyTimeoutMs);
        rc = sqlite3_exec(m_pDb, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    }
    // A request handed out must outlast a power cut.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = x_CreateTables();
    if (rc != SQLITE_OK) {
        WriteLog(Format("footage requests: %s cannot be opened: %s", m_strPath.c_str(),
                        m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc)));
        sqlite3_close_v2(m_pDb);
        m_pDb = nullptr;
        return -1;
    }
    m_bFailureLogged = false;
    return 0;
}

int CFootageRequests::x_CreateTables()
{
    Statement version(m_pDb, "SELECT version FROM footage_schema WHERE part = 'footage_request'");
    const bool bKnown = version.Ok() && version.Step() == SQLITE_ROW;
    const std::int64_t nLayout = bKnown ? version.Int(0) : 0;
    if (nLayout > kLayout) {
        WriteLog(Format("footage requests: %s was written by a newer program (layout %lld); left alone",
                        m_strPath.c_str(), static_cast<long long>(version.Int(0))));
        return SQLITE_ERROR;
    }
    // Later layouts add what an older file lacks here, in the same transaction.
    int rc = sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, kCreateTables, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && nLayout < 2)
        rc = sqlite3_exec(m_pDb, kAddSharing, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb,
                          Format("INSERT INTO footage_schema(part, version) VALUES('footage_request', %d)"
                                 " ON CONFLICT(part) DO UPDATE SET version = excluded.version",
                                 kLayout)
                              .c_str(),
                          nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && !sqlite3_get_autocommit(m_pDb))
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
}

void CFootageRequests::Close()
{
    CMutexLock guard(m_lock);
    if (m_pDb)
        sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

bool CFootageRequests::IsOpen() const
{
    CMutexLock guard(m_lock);
    return m_pDb != nullptr;
}

std::uint64_t CFootageRequests::Version() const
{
    CMutexLock guard(m_lock);
    return m_nVersion;
}

void CFootageRequests::x_Failed(const char* szWhat) const
{
    if (m_bFailureLogged)
        return;
    m_bFailureLogged = true;
    WriteLog(Format("footage requests: %s failed: %s", szWhat, m_pDb ? sqlite3_errmsg(m_pDb) : "not open"));
}

std::string CFootageRequests::CheckAsk(const FootageAsk& ask)
{
    if (ask.strVehicle.empty() || ask.strVehicle.size() > 31 || !IsSafePathComponent(ask.strVehicle))
        return "vehicle name unusable";
    std::set<std::uint8_t> seen;
    for (std::uint8_t n : ask.channels) {
        if (n < 1 || n > kChannelMax)
            return Format("channel %d out of range (1-%d)", n, kChannelMax);
        if (!seen.insert(n).second)
            return Format("channel %d named twice", n);
    }
    if (ask.tTo <= ask.tFrom)
        return "window ends before it starts";
    if (ask.tTo - ask.tFrom > kWindowMaxS)
        return Format("window longer than %u days", kWindowMaxS / 86400);
    if (ask.strReason.size() > kReasonMax || HasControl(ask.strReason))
        return "reason too long or holding control characters";
    if (ask.strRequestedBy.empty() || ask.strRequestedBy.size() > kRequestedByMax || HasControl(ask.strRequestedBy))
        return "requester missing, too long or holding control characters";
    return "";
}

CFootageRequests::CreateResult CFootageRequests::Create(const FootageAsk& ask, std::uint32_t tNow,
                                                        std::int64_t& nId, std::string& strError)
{
    strError = CheckAsk(ask);
    if (!strError.empty())
        return CreateResult::Invalid;
    CMutexLock guard(m_lock);
    return x_Insert(ask, tNow, {}, 0, {}, nId, strError);
}

CFootageRequests::CreateResult CFootageRequests::x_Insert(const FootageAsk& ask, std::uint32_t tNow,
                                                          const std::string& originDepot, std::int64_t nOriginId,
                                                          const std::string& takenBy, std::int64_t& nId,
                                                          std::string& strError)
{
    FootageAsk sorted = ask;
    std::sort(sorted.channels.begin(), sorted.channels.end());
    Statement insert(m_pDb, "INSERT INTO footage_request(vehicle, channels, time_from, time_to, reason, requested_by,"
                            " created_at, state, reasons, retry, state_changed_at, origin_depot, origin_id, taken_by)"
                            " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, 'waiting', '[]', 0, ?7, ?8, ?9, ?10)");
    insert.Bind(1, sorted.strVehicle).Bind(2, ChannelsText(sorted.channels)).Bind(3, sorted.tFrom);
    insert.Bind(4, sorted.tTo).Bind(5, sorted.strReason).Bind(6, sorted.strRequestedBy).Bind(7, tNow);
    insert.Bind(8, originDepot).Bind(9, nOriginId).Bind(10, takenBy);
    if (!insert.Ok() || insert.Step() != SQLITE_DONE) {
        x_Failed("a new request");
        strError = m_pDb ? sqlite3_errmsg(m_pDb) : "not open";
        return CreateResult::Failed;
    }
    nId = sqlite3_last_insert_rowid(m_pDb);
    Statement state(m_pDb, "INSERT INTO footage_request_state(request_id, state, reasons, at)"
                           " VALUES(?1, 'waiting', '[]', ?2)");
    state.Bind(1, nId).Bind(2, tNow);
    if (state.Step() != SQLITE_DONE)
        x_Failed("a request's first state");
    ++m_nVersion;
    m_bFailureLogged = false;
    const std::string from = originDepot.empty() ? std::string()
                                                 : Format(" (request %lld of depot %s)",
                                                          static_cast<long long>(nOriginId), originDepot.c_str());
    WriteLog(Format("footage request %lld: %s asks for %s, channels %s, %s: %s%s", static_cast<long long>(nId),
                    sorted.strRequestedBy.c_str(), sorted.strVehicle.c_str(),
                    sorted.channels.empty() ? "all" : ChannelsText(sorted.channels).c_str(),
                    WindowText(sorted).c_str(), sorted.strReason.c_str(), from.c_str()),
             sorted.strVehicle.c_str());
    return CreateResult::Created;
}

std::vector<FootageRequest> CFootageRequests::List(std::size_t nLimit, std::int64_t nBeforeId) const
{
    nLimit = std::min(nLimit, kListMax);
    std::vector<FootageRequest> requests;
    CMutexLock guard(m_lock);
    Statement rows(m_pDb, (std::string(kRequestColumns) + " WHERE ?1 <= 0 OR id < ?1 ORDER BY id DESC LIMIT ?2").c_str());
    rows.Bind(1, nBeforeId).Bind(2, static_cast<std::int64_t>(nLimit));
    while (rows.Ok() && rows.Step() == SQLITE_ROW)
        requests.push_back(ReadRequestRow(rows));
    return requests;
}

std::optional<FootageRequest> CFootageRequests::x_Read(std::int64_t nId) const
{
    Statement row(m_pDb, (std::string(kRequestColumns) + " WHERE id = ?1").c_str());
    row.Bind(1, nId);
    if (!row.Ok() || row.Step() != SQLITE_ROW)
        return std::nullopt;
    return ReadRequestRow(row);
}

void CFootageRequests::x_ReadDetails(FootageRequest& request) const
{
    Statement recordings(m_pDb, "SELECT channel, file_name, start_time, end_time, path, size, fetched"
                                " FROM footage_request_recording WHERE request_id = ?1 ORDER BY start_time, channel");
    recordings.Bind(1, request.nId);
    while (recordings.Ok() && recordings.Step() == SQLITE_ROW) {
        FootageRecording rec;
        rec.nChannel = static_cast<std::uint8_t>(recordings.Int(0));
        rec.strFileName = recordings.Text(1);
        rec.tStart = static_cast<std::uint32_t>(recordings.Int(2));
        rec.tEnd = static_cast<std::uint32_t>(recordings.Int(3));
        rec.strPath = recordings.Text(4);
        rec.nSize = static_cast<std::uint64_t>(recordings.Int(5));
        rec.bFetched = recordings.Int(6) != 0;
        request.recordings.push_back(std::move(rec));
    }
    Statement states(m_pDb, "SELECT state, reasons, at FROM footage_request_state WHERE request_id = ?1 ORDER BY rowid");
    states.Bind(1, request.nId);
    while (states.Ok() && states.Step() == SQLITE_ROW)
        request.history.push_back(
            FootageStateChange {states.Text(0), FootageReasonsFromText(states.Text(1)), static_cast<std::uint32_t>(states.Int(2))});
}

std::optional<FootageRequest> CFootageRequests::Get(std::int64_t nId) const
{
    CMutexLock guard(m_lock);
    std::optional<FootageRequest> request = x_Read(nId);
    if (request)
        x_ReadDetails(*request);
    return request;
}

CFootageRequests::CancelResult CFootageRequests::Cancel(std::int64_t nId, std::uint32_t tNow)
{
    CMutexLock guard(m_lock);
    if (!m_pDb)
        return CancelResult::Failed;
    std::optional<FootageRequest> request = x_Read(nId);
    if (!request)
        return CancelResult::NotFound;
    if (!request->IsOpen())
        return CancelResult::Ended;
    return x_SetState(nId, FootageRequest::State::Cancelled, {}, false, tNow) ? CancelResult::Cancelled
                                                                              : CancelResult::Failed;
}

std::vector<FootageRequest> CFootageRequests::OpenRequests(const std::string& strVehicle) const
{
    std::vector<FootageRequest> requests;
    CMutexLock guard(m_lock);
    // With a shared fleet, only what this depot took: another depot may fetch the rest.
    Statement rows(m_pDb, (std::string(kRequestColumns) +
                           " WHERE vehicle = ?1 AND (state IN ('waiting', 'fetching') OR (state = 'partial' AND retry))"
                           " AND (?2 = '' OR taken_by = ?2) ORDER BY id")
                              .c_str());
    rows.Bind(1, strVehicle).Bind(2, m_strTakingDepot);
    while (rows.Ok() && rows.Step() == SQLITE_ROW)
        requests.push_back(ReadRequestRow(rows));
    return requests;
}

bool CFootageRequests::StillOpen(std::int64_t nId) const
{
    CMutexLock guard(m_lock);
    std::optional<FootageRequest> request = x_Read(nId);
    return request && request->IsOpen();
}

void CFootageRequests::OnTakenUp(std::int64_t nId, std::uint32_t tNow)
{
    CMutexLock guard(m_lock);
    std::optional<FootageRequest> request = x_Read(nId);
    // A partial request tried again stays partial until it is done or its reasons change.
    if (request && request->eState == FootageRequest::State::Waiting)
        x_SetState(nId, FootageRequest::State::Fetching, {}, false, tNow);
}

void CFootageRequests::OnRecording(std::int64_t nId, const std::string& strVehicle, const FootageRecording& rec)
{
    CMutexLock guard(m_lock);
    Statement insert(m_pDb, "INSERT INTO footage_request_recording(request_id, channel, file_name, start_time,"
                            " end_time, path, size, fetched) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"
                            " ON CONFLICT(request_id, channel, file_name, start_time) DO NOTHING");
    insert.Bind(1, nId).Bind(2, rec.nChannel).Bind(3, rec.strFileName).Bind(4, rec.tStart).Bind(5, rec.tEnd);
    insert.Bind(6, rec.strPath).Bind(7, static_cast<std::int64_t>(rec.nSize)).Bind(8, rec.bFetched ? 1 : 0);
    if (!insert.Ok() || insert.Step() != SQLITE_DONE) {
        x_Failed("a request's recording");
        return;
    }
    if (sqlite3_changes(m_pDb) == 0)
        return;
    ++m_nVersion;
    WriteLog(Format("footage request %lld: vehname=%s, chan=%d, recording %s %s (%s)", static_cast<long long>(nId),
                    strVehicle.c_str(), rec.nChannel, rec.strFileName.c_str(),
                    rec.bFetched ? "fetched" : "stored already", rec.strPath.c_str()),
             strVehicle.c_str());
}

void CFootageRequests::OnPassEnded(std::int64_t nId, const std::vector<std::uint8_t>& passChannels,
                                   const std::vector<FootageChannelResult>& results, std::uint32_t tNow)
{
    CMutexLock guard(m_lock);
    std::optional<FootageRequest> request = x_Read(nId);
    if (!request || !request->IsOpen())
        return;
    std::vector<std::uint8_t> wanted = request->ask.channels.empty() ? passChannels : request->ask.channels;
    std::vector<std::string> reasons;
    bool bRetry = false;
    for (std::uint8_t nChannel : wanted) {
        if (std::find(passChannels.begin(), passChannels.end(), nChannel) == passChannels.end()) {
            reasons.push_back(Format("channel %d: not downloaded from this vehicle", nChannel));
            continue;
        }
        auto found = std::find_if(results.begin(), results.end(),
                                  [nChannel](const FootageChannelResult& r) { return r.nChannel == nChannel; });
        AddChannelReasons(found == results.end() ? nullptr : &*found, nChannel, reasons, bRetry);
    }
    if (reasons.empty())
        x_SetState(nId, FootageRequest::State::Done, {}, false, tNow);
    else
        x_SetState(nId, FootageRequest::State::Partial, reasons, bRetry, tNow);
}

bool CFootageRequests::x_SetState(std::int64_t nId, FootageRequest::State eState,
                                  const std::vector<std::string>& reasons, bool bRetry, std::uint32_t tNow)
{
    std::optional<FootageRequest> request = x_Read(nId);
    if (!request || request->eState == FootageRequest::State::Cancelled)
        return false;
    if (request->eState == eState && request->reasons == reasons && request->bRetry == bRetry)
        return false;
    const char* szState = FootageStateName(eState);
    std::string text = ReasonsText(reasons);
    int rc = sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    Statement update(m_pDb, "UPDATE footage_request SET state = ?2, reasons = ?3, retry = ?4, state_changed_at = ?5"
                            " WHERE id = ?1");
    update.Bind(1, nId).Bind(2, szState).Bind(3, text).Bind(4, bRetry ? 1 : 0).Bind(5, tNow);
    Statement history(m_pDb, "INSERT INTO footage_request_state(request_id, state, reasons, at) VALUES(?1, ?2, ?3, ?4)");
    history.Bind(1, nId).Bind(2, szState).Bind(3, text).Bind(4, tNow);
    if (rc == SQLITE_OK && update.Step() == SQLITE_DONE && history.Step() == SQLITE_DONE)
        rc = sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    else
        rc = SQLITE_ERROR;
    if (rc != SQLITE_OK) {
        x_Failed("a request's state");
        if (m_pDb && !sqlite3_get_autocommit(m_pDb))
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    ++m_nVersion;
    m_bFailureLogged = false;
    std::string line = Format("footage request %lld: vehname=%s, %s", static_cast<long long>(nId),
                              request->ask.strVehicle.c_str(), szState);
    for (std::size_t i = 0; i < reasons.size(); ++i)
        line += (i == 0 ? ": " : "; ") + reasons[i];
    WriteLog(line, request->ask.strVehicle.c_str());
    return true;
}

void CFootageRequests::SetTakingDepot(const std::string& depot)
{
    CMutexLock guard(m_lock);
    m_strTakingDepot = depot;
}

std::vector<FootageRequest> CFootageRequests::Untaken(const std::string& strVehicle) const
{
    std::vector<FootageRequest> requests;
    CMutexLock guard(m_lock);
    Statement rows(m_pDb, (std::string(kRequestColumns) +
                           " WHERE (?1 = '' OR vehicle = ?1)"
                           " AND (state IN ('waiting', 'fetching') OR (state = 'partial' AND retry))"
                           " AND origin_depot = '' AND taken_by = '' ORDER BY id")
                              .c_str());
    rows.Bind(1, strVehicle);
    while (rows.Ok() && rows.Step() == SQLITE_ROW)
        requests.push_back(ReadRequestRow(rows));
    return requests;
}

bool CFootageRequests::SetTakenBy(std::int64_t nId, const std::string& depot)
{
    CMutexLock guard(m_lock);
    Statement update(m_pDb, "UPDATE footage_request SET taken_by = ?2 WHERE id = ?1 AND taken_by <> ?2");
    update.Bind(1, nId).Bind(2, depot);
    if (!update.Ok() || update.Step() != SQLITE_DONE) {
        x_Failed("a request's taker");
        return false;
    }
    if (sqlite3_changes(m_pDb) > 0) {
        ++m_nVersion;
        std::optional<FootageRequest> request = x_Read(nId);
        WriteLog(Format("footage request %lld: taken by depot %s", static_cast<long long>(nId), depot.c_str()),
                 request ? request->ask.strVehicle.c_str() : nullptr);
    }
    return true;
}

CFootageRequests::CreateResult CFootageRequests::Import(const FootageAsk& ask, std::uint32_t tCreated,
                                                        const std::string& originDepot, std::int64_t nOriginId,
                                                        const std::string& takenBy, std::int64_t& nId,
                                                        std::string& strError)
{
    strError = CheckAsk(ask);
    if (!strError.empty())
        return CreateResult::Invalid;
    CMutexLock guard(m_lock);
    Statement existing(m_pDb, "SELECT id FROM footage_request WHERE origin_depot = ?1 AND origin_id = ?2");
    existing.Bind(1, originDepot).Bind(2, nOriginId);
    if (existing.Ok() && existing.Step() == SQLITE_ROW) {
        nId = existing.Int(0);
        return CreateResult::Created;
    }
    return x_Insert(ask, tCreated, originDepot, nOriginId, takenBy, nId, strError);
}

std::vector<FootageRequest> CFootageRequests::Shared() const
{
    std::vector<FootageRequest> requests;
    CMutexLock guard(m_lock);
    Statement rows(m_pDb, (std::string(kRequestColumns) +
                           " WHERE (state IN ('waiting', 'fetching') OR (state = 'partial' AND retry))"
                           " AND ((origin_depot = '' AND taken_by NOT IN ('', ?1)) OR origin_depot <> '') ORDER BY id")
                              .c_str());
    rows.Bind(1, m_strTakingDepot);
    while (rows.Ok() && rows.Step() == SQLITE_ROW)
        requests.push_back(ReadRequestRow(rows));
    return requests;
}

void CFootageRequests::Mirror(std::int64_t nId, FootageRequest::State eState, const std::vector<std::string>& reasons,
                              std::uint32_t tChanged)
{
    CMutexLock guard(m_lock);
    // The depot deciding it retries a partial request itself: here it is never fetched.
    x_SetState(nId, eState, reasons, false, tChanged);
}

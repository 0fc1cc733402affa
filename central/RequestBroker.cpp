#include "central/RequestBroker.h"

#include "central/PgConnection.h"
#include "core/Logger.h"
#include "footage/FootageRequests.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr const char* kClaim =
    "WITH won AS (INSERT INTO request_claim(origin_depot, origin_id, taken_by) VALUES($1, $2, $3)"
    " ON CONFLICT DO NOTHING RETURNING taken_by)"
    " SELECT taken_by FROM won UNION ALL"
    " SELECT taken_by FROM request_claim WHERE origin_depot = $1 AND origin_id = $2 LIMIT 1";
// Other depots' open originals for a vehicle that nobody took, or that this depot took
// lately (a copy that could not be stored at once is stored at the next turn).
constexpr const char* kOpenElsewhere =
    "SELECT r.depot, r.id, r.channels, r.time_from, r.time_to, r.reason, r.requested_by, r.created_at"
    " FROM footage_request r LEFT JOIN request_claim c ON c.origin_depot = r.depot AND c.origin_id = r.id"
    " WHERE r.vehicle = $1 AND r.origin_depot = '' AND r.depot <> $2"
    " AND r.state IN ('waiting', 'fetching', 'partial')"
    " AND (c.taken_by IS NULL OR (c.taken_by = $2 AND c.taken_at > now() - interval '1 hour'))"
    " ORDER BY r.created_at, r.depot, r.id LIMIT 100";
constexpr const char* kTakersCopy =
    "SELECT state, reasons, state_changed_at FROM footage_request"
    " WHERE depot = $1 AND origin_depot = $2 AND origin_id = $3";
constexpr const char* kOriginal = "SELECT state FROM footage_request WHERE depot = $1 AND id = $2";

std::int64_t Int(const std::optional<std::string>& value)
{
    return value ? std::strtoll(value->c_str(), nullptr, 10) : 0;
}

} // namespace

void CRequestBroker::Configure(CFootageRequests* pRequests, const std::string& depot)
{
    m_pRequests = pRequests;
    m_strDepot = depot;
    CMutexLock guard(m_lock);
    m_seen.clear();
    m_bDue = true;
}

bool CRequestBroker::VehicleSeen(const std::string& name)
{
    const std::int64_t nNow = MonotonicMs();
    CMutexLock guard(m_lock);
    auto it = m_seen.find(name);
    const bool bNew = it == m_seen.end() || nNow - it->second > kSeenForMs;
    if (m_seen.size() >= kSeenMax && it == m_seen.end()) {
        auto oldest = m_seen.begin();
        for (auto at = m_seen.begin(); at != m_seen.end(); ++at)
            if (at->second < oldest->second)
                oldest = at;
        m_seen.erase(oldest);
    }
    m_seen[name] = nNow;
    m_bDue = m_bDue || bNew;
    return bNew;
}

void CRequestBroker::Notified()
{
    CMutexLock guard(m_lock);
    m_bDue = true;
}

bool CRequestBroker::Due() const
{
    CMutexLock guard(m_lock);
    return m_pRequests && (m_bDue || MonotonicMs() - m_nLastTurnMs >= Timing().nCentralRequestPollMs);
}

bool CRequestBroker::Turn(CPgConnection& conn, const CWakeFd* pStop, std::string& strError)
{
    std::vector<std::string> here;
    {
        CMutexLock guard(m_lock);
        m_bDue = false;
        m_nLastTurnMs = MonotonicMs();
        for (auto it = m_seen.begin(); it != m_seen.end();) {
            if (m_nLastTurnMs - it->second > kSeenForMs) {
                it = m_seen.erase(it);
            } else {
                here.push_back(it->first);
                ++it;
            }
        }
    }
    for (const std::string& vehicle : here) {
        if (!x_TakeFor(conn, pStop, vehicle, strError))
            return false;
    }
    if (!x_LearnTakers(conn, pStop, strError))
        return false;
    for (const FootageRequest& request : m_pRequests->Shared()) {
        if (!x_Follow(conn, pStop, request, strError))
            return false;
    }
    return true;
}

bool CRequestBroker::x_Claim(CPgConnection& conn, const CWakeFd* pStop, const std::string& originDepot,
                             std::int64_t nOriginId, std::string& strTaker, std::string& strError)
{
    PgResult result =
        conn.Exec(kClaim, {originDepot, std::to_string(nOriginId), m_strDepot}, Timing().nCentralTimeoutMs, pStop);
    if (!result.bOk) {
        strError = result.strError;
        return false;
    }
    strTaker = result.rows.empty() ? std::string() : result.rows[0][0].value_or("");
    return true;
}

bool CRequestBroker::x_TakeFor(CPgConnection& conn, const CWakeFd* pStop, const std::string& vehicle,
                               std::string& strError)
{
    for (const FootageRequest& request : m_pRequests->Untaken(vehicle)) {
        std::string strTaker;
        if (!x_Claim(conn, pStop, m_strDepot, request.nId, strTaker, strError))
            return false;
        if (!strTaker.empty())
            m_pRequests->SetTakenBy(request.nId, strTaker);
    }
    return x_TakeOthers(conn, pStop, vehicle, strError);
}

bool CRequestBroker::x_TakeOthers(CPgConnection& conn, const CWakeFd* pStop, const std::string& vehicle,
                                  std::string& strError)
{
    PgResult open = conn.Exec(kOpenElsewhere, {vehicle, m_strDepot}, Timing().nCentralTimeoutMs, pStop);
    if (!open.bOk) {
        strError = open.strError;
        return false;
    }
    for (const auto& row : open.rows) {
        const std::string origin = row[0].value_or("");
        const std::int64_t nOriginId = Int(row[1]);
        std::string strTaker;
        if (!x_Claim(conn, pStop, origin, nOriginId, strTaker, strError))
            return false;
        if (strTaker != m_strDepot)
            continue;
        FootageAsk ask {vehicle, FootageChannelsFromText(row[2].value_or("")), static_cast<std::uint32_t>(Int(row[3])),
                        static_cast<std::uint32_t>(Int(row[4])), row[5].value_or(""), row[6].value_or("")};
        std::int64_t nId = 0;
        std::string strWhy;
        if (m_pRequests->Import(ask, static_cast<std::uint32_t>(Int(row[7])), origin, nOriginId, m_strDepot, nId,
                                strWhy) == CFootageRequests::CreateResult::Invalid)
            WriteLog(Format("footage request %lld of depot %s cannot be taken: %s", static_cast<long long>(nOriginId),
                            origin.c_str(), strWhy.c_str()),
                     vehicle.c_str());
    }
    return true;
}

bool CRequestBroker::x_LearnTakers(CPgConnection& conn, const CWakeFd* pStop, std::string& strError)
{
    std::string ids;
    for (const FootageRequest& request : m_pRequests->Untaken({}))
        ids += (ids.empty() ? "" : ",") + std::to_string(request.nId);
    if (ids.empty())
        return true;
    PgResult result = conn.Exec("SELECT origin_id, taken_by FROM request_claim WHERE origin_depot = $1"
                                " AND origin_id = ANY($2::bigint[])",
                                {m_strDepot, "{" + ids + "}"}, Timing().nCentralTimeoutMs, pStop);
    if (!result.bOk) {
        strError = result.strError;
        return false;
    }
    for (const auto& row : result.rows)
        m_pRequests->SetTakenBy(Int(row[0]), row[1].value_or(""));
    return true;
}

bool CRequestBroker::x_Follow(CPgConnection& conn, const CWakeFd* pStop, const FootageRequest& request,
                              std::string& strError)
{
    const bool bOurs = request.strOriginDepot.empty();
    PgResult result = bOurs ? conn.Exec(kTakersCopy, {request.strTakenBy, m_strDepot, std::to_string(request.nId)},
                                        Timing().nCentralTimeoutMs, pStop)
                            : conn.Exec(kOriginal, {request.strOriginDepot, std::to_string(request.nOriginId)},
                                        Timing().nCentralTimeoutMs, pStop);
    if (!result.bOk) {
        strError = result.strError;
        return false;
    }
    if (result.rows.empty())
        return true;  // not sent by its depot yet
    const auto& row = result.rows[0];
    const FootageRequest::State eState = FootageStateFromName(row[0].value_or(""));
    if (bOurs)
        m_pRequests->Mirror(request.nId, eState, FootageReasonsFromText(row[1].value_or("[]")),
                            static_cast<std::uint32_t>(Int(row[2])));
    else if (eState == FootageRequest::State::Cancelled)
        m_pRequests->Cancel(request.nId, WallClockNow());
    return true;
}

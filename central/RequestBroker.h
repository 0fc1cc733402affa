#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <map>
#include <string>

class CFootageRequests;
class CPgConnection;
class CWakeFd;
struct FootageRequest;

// Which depot fetches a footage request, decided in the shared database: a depot takes
// a request for a vehicle that is at the depot now by inserting its claim
// (request_claim); the first claim stands, so two depots never both fetch it, even
// when both see the vehicle at once. A request of another depot is copied into this
// depot's fleet.db once taken, so the download passes find it; the state of a request
// taken elsewhere follows the taker's copy, and a cancelled original cancels the copy.
// Requests made anywhere are noticed by LISTEN, and by polling when a notification is
// missed.
class CRequestBroker {
public:
    // A vehicle not seen for this long is no longer taken requests for.
    static constexpr std::int64_t kSeenForMs = 120000;
    // Vehicles remembered at most; beyond, the longest unseen goes.
    static constexpr std::size_t kSeenMax = 10000;
    // The channel the shared database notifies new requests on.
    static constexpr const char* kChannel = "zel_footage_request";

    // Takes requests for depot in requests (null: none). The sender's starter, before
    // the sender runs.
    void Configure(CFootageRequests* pRequests, const std::string& depot) EXCLUDES(m_lock);
    // The vehicle is at this depot now (it registered, or a pass begins). True when it
    // was not seen lately: a turn is then due. Any thread.
    bool VehicleSeen(const std::string& name) EXCLUDES(m_lock);
    // A notification came: a turn is due. The sender's thread.
    void Notified() EXCLUDES(m_lock);
    // Whether a turn is due now (something new, or the poll period passed). The sender's thread.
    bool Due() const EXCLUDES(m_lock);

    // One turn: takes what the vehicles here need, follows the shared requests. False
    // with strError when the statement failed (the connection may be gone). The
    // sender's thread.
    bool Turn(CPgConnection& conn, const CWakeFd* pStop, std::string& strError) EXCLUDES(m_lock);

private:
    // Takes the requests for one vehicle here: this depot's own, then other depots'.
    bool x_TakeFor(CPgConnection& conn, const CWakeFd* pStop, const std::string& vehicle, std::string& strError);
    // Takes the other depots' requests for vehicle, copying those won into fleet.db.
    bool x_TakeOthers(CPgConnection& conn, const CWakeFd* pStop, const std::string& vehicle, std::string& strError);
    // Inserts the claim of (originDepot, nOriginId); the depot holding it in strTaker,
    // empty when it cannot be told yet (a claim being committed elsewhere).
    bool x_Claim(CPgConnection& conn, const CWakeFd* pStop, const std::string& originDepot, std::int64_t nOriginId,
                 std::string& strTaker, std::string& strError);
    // Notes the depots that took this depot's own requests meanwhile.
    bool x_LearnTakers(CPgConnection& conn, const CWakeFd* pStop, std::string& strError);
    // Brings one shared request of fleet.db up to date with the depot deciding it.
    bool x_Follow(CPgConnection& conn, const CWakeFd* pStop, const FootageRequest& request, std::string& strError);

    CFootageRequests* m_pRequests = nullptr;  // set before the sender runs
    std::string m_strDepot;

    mutable CMutex m_lock;
    std::map<std::string, std::int64_t> m_seen GUARDED_BY(m_lock);  // vehicle -> when last seen (monotonic ms)
    bool m_bDue GUARDED_BY(m_lock) = true;
    std::int64_t m_nLastTurnMs GUARDED_BY(m_lock) = 0;
};

#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "web/WebAuthGuard.h"
#include "web/WebBody.h"
#include "web/WebRoute.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CCentralStore;
class CFleetHistory;
class CLogRing;
class CServerCounters;
class CTransferScheduler;
class CVehicleMgr;

namespace httplib {
struct Request;
struct Response;
}

// The dashboard's answers: the page, the JSON endpoints and the metrics, all read-only,
// and the routes added from outside (Config::routes, see web/WebRoute.h).
// Figures are copied out of the server and rendered about once per snapshot period
// (Timing().nWebSnapshotMs) by one request; the others in between get the same text.
//
// Each request gets a role from its "Authorization: Bearer <token>" header (never a
// cookie): footagetoken is the operator, httptoken the status reader. Without a valid
// token the caller is a status reader when no httptoken is set, and the operator too
// when the dashboard listens on a loopback address and neither token is set (the
// same trust as the window on that machine).
class CWebApi {
public:
    struct Config {
        std::string strToken;        // "" when no token is asked for
        std::string strFootageToken;  // the operator's token; "" none
        bool bLoopback = true;       // the dashboard listens on a loopback address only
        bool bTls = false;           // it serves HTTPS
        // Handlers of paths outside the dashboard's own (footage, requests, audit).
        std::vector<WebRoute> routes;
        std::uint16_t nControlPort = 0;
        std::string strDownloadDir;
        std::uint32_t tStartedAt = 0;        // wall-clock seconds the server started
        std::function<bool()> isRunning;     // whether the download server runs; any thread
        // What the answers read. The server owns them and stops the dashboard first.
        CVehicleMgr* pRegistry = nullptr;
        CFleetHistory* pHistory = nullptr;
        CTransferScheduler* pScheduler = nullptr;
        CServerCounters* pCounters = nullptr;
        CLogRing* pLog = nullptr;
        CCentralStore* pCentral = nullptr;  // the shared fleet database; optional
    };

    // One rendered answer, as it is and gzip-compressed.
    struct Text {
        std::string strPlain;
        std::string strGzip;  // "" when compressing failed
    };

    explicit CWebApi(Config config);
    CWebApi(const CWebApi&) = delete;
    CWebApi& operator=(const CWebApi&) = delete;

    // Answers one request whose body (of a method that carries one) was read into
    // body. The head goes into res; what the answer sends after it (a route's body,
    // file ranges too) into streamed, empty for HEAD. False when the connection must
    // close after the answer (a body was sent along that was not read). Worker threads.
    bool Handle(const httplib::Request& req, const std::string& body, httplib::Response& res, CWebBody& streamed);
    // Wrong tokens since the start. Any thread.
    std::uint64_t AuthFailures() const { return m_guard.Failures(); }

private:
    // The last rendered answer and when it was made.
    struct Cached {
        CMutex lock;  // never held while rendering
        std::int64_t nMadeMs GUARDED_BY(lock) = 0;
        std::shared_ptr<const Text> pText GUARDED_BY(lock);
        bool bRendering GUARDED_BY(lock) = false;  // a request renders the next text now
    };

    // The caller's role; *pValidToken: it sent a token that is one of ours. A wrong
    // token is counted and logged, a token over plain HTTP from afar warned of once.
    WebRole x_Role(const httplib::Request& req, bool* pValidToken);
    // Whether a route answers the request; it did then.
    bool x_RouteAdded(const httplib::Request& req, const std::string& body, WebRole eRole, bool bValidToken,
                      httplib::Response& res, CWebBody& streamed);
    // Answers an authorised read by its path.
    void x_Route(const httplib::Request& req, httplib::Response& res);
    // The text of slot, rendered again by render when older than the snapshot period.
    template <class Render>
    std::shared_ptr<const Text> x_Cached(Cached& slot, Render render) EXCLUDES(slot.lock);

    const Config m_config;
    const std::string m_strExpected;  // "Bearer <token>"
    const std::string m_strOperator;  // "Bearer <footagetoken>"
    CWebAuthGuard m_guard;
    std::atomic<bool> m_bWarnedPlain {false};
    Cached m_status;
    Cached m_vehicles;
    Cached m_fleet;
    Cached m_metrics;
};

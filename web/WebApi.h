#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CFleetHistory;
class CLogRing;
class CServerCounters;
class CTransferScheduler;
class CVehicleMgr;

namespace httplib {
struct Request;
struct Response;
}

// The dashboard's answers: the page, the JSON endpoints and the metrics, all read-only.
// Figures are copied out of the server and rendered about once per snapshot period
// (Timing().nWebSnapshotMs) by one request; the others in between get the same text.
class CWebApi {
public:
    struct Config {
        std::string strToken;        // "" when no token is asked for
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
    };

    // One rendered answer, as it is and gzip-compressed.
    struct Text {
        std::string strPlain;
        std::string strGzip;  // "" when compressing failed
    };

    explicit CWebApi(Config config);
    CWebApi(const CWebApi&) = delete;
    CWebApi& operator=(const CWebApi&) = delete;

    // Answers one request. False when the connection must close after the answer (a
    // body was sent along, which is never read). Worker threads.
    bool Handle(const httplib::Request& req, httplib::Response& res);

private:
    // The last rendered answer and when it was made.
    struct Cached {
        CMutex lock;  // never held while rendering
        std::int64_t nMadeMs GUARDED_BY(lock) = 0;
        std::shared_ptr<const Text> pText GUARDED_BY(lock);
        bool bRendering GUARDED_BY(lock) = false;  // a request renders the next text now
    };

    bool x_Authorized(const httplib::Request& req) const;
    // Answers an authorised read by its path.
    void x_Route(const httplib::Request& req, httplib::Response& res);
    // The text of slot, rendered again by render when older than the snapshot period.
    template <class Render>
    std::shared_ptr<const Text> x_Cached(Cached& slot, Render render) EXCLUDES(slot.lock);

    const Config m_config;
    const std::string m_strExpected;  // "Bearer <token>"
    Cached m_status;
    Cached m_vehicles;
    Cached m_fleet;
    Cached m_metrics;
};

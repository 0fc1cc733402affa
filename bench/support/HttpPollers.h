#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Clients polling one dashboard path over kept-alive connections, one thread each,
// each asking every nPeriodMs (no burst to catch up when behind), their first requests
// spread over one period, with every latency kept until taken.
class CHttpPollers {
public:
    // What the pollers saw since the last Take (or the start).
    struct Figures {
        double dSeconds = 0;
        std::size_t nRequests = 0;  // answered 200
        double dP50Ms = 0, dP99Ms = 0, dMaxMs = 0;
        std::uint64_t nFailed = 0;
        std::uint64_t nBytes = 0;   // of the answers' bodies, inflated
    };

    // Starts nThreads clients of 127.0.0.1:nPort asking for path with headers. The
    // bench thread.
    CHttpPollers(std::uint16_t nPort, int nThreads, int nPeriodMs, std::string path, httplib::Headers headers = {});
    ~CHttpPollers();  // Stop()
    CHttpPollers(const CHttpPollers&) = delete;
    CHttpPollers& operator=(const CHttpPollers&) = delete;

    // The figures since the last call, which begins the next span. Any thread.
    Figures Take() EXCLUDES(m_lock);
    // Ends the clients. The bench thread; later calls do nothing.
    void Stop();
    // "title: N requests in S s = R requests/s, p50 .. ms, p99 .. ms, max .. ms, F failed,
    // M MB of JSON" on stdout. Any thread.
    static void Print(const char* szTitle, const Figures& figures);

private:
    // One client; its first request after nDelayMs.
    void x_Run(std::int64_t nDelayMs) EXCLUDES(m_lock);

    const std::uint16_t m_nPort;
    const int m_nPeriodMs;
    const std::string m_path;
    const httplib::Headers m_headers;
    std::atomic<bool> m_bStop {false};
    CMutex m_lock;  // guards the span below
    std::int64_t m_nSpanStartMs GUARDED_BY(m_lock) = 0;
    std::vector<std::int64_t> m_latenciesUs GUARDED_BY(m_lock);
    std::uint64_t m_nFailed GUARDED_BY(m_lock) = 0;
    std::uint64_t m_nBytes GUARDED_BY(m_lock) = 0;
    std::vector<std::thread> m_threads;
};

#include "bench/support/HttpPollers.h"

#include "platform/MutexLock.h"
#include "platform/System.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

CHttpPollers::CHttpPollers(std::uint16_t nPort, int nThreads, int nPeriodMs, std::string path,
                           httplib::Headers headers)
    : m_nPort(nPort), m_nPeriodMs(nPeriodMs), m_path(std::move(path)), m_headers(std::move(headers))
{
    {
        CMutexLock guard(m_lock);
        m_nSpanStartMs = MonotonicMs();
    }
    // Spread over the period, as independent clients are: started together they would
    // all ask in the same instant every period.
    for (int i = 0; i < nThreads; ++i)
        m_threads.emplace_back([this, nDelayMs = std::int64_t {nPeriodMs} * i / nThreads] { x_Run(nDelayMs); });
}

CHttpPollers::~CHttpPollers()
{
    Stop();
}

void CHttpPollers::Stop()
{
    m_bStop = true;
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

CHttpPollers::Figures CHttpPollers::Take()
{
    std::vector<std::int64_t> latencies;
    Figures figures;
    {
        CMutexLock guard(m_lock);
        const std::int64_t nNow = MonotonicMs();
        figures.dSeconds = static_cast<double>(nNow - m_nSpanStartMs) / 1000.0;
        figures.nFailed = m_nFailed;
        figures.nBytes = m_nBytes;
        latencies.swap(m_latenciesUs);
        m_nSpanStartMs = nNow;
        m_nFailed = 0;
        m_nBytes = 0;
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&latencies](double d) {
        if (latencies.empty())
            return 0.0;
        std::size_t i = std::min(latencies.size() - 1, static_cast<std::size_t>(d * latencies.size()));
        return static_cast<double>(latencies[i]) / 1000.0;
    };
    figures.nRequests = latencies.size();
    figures.dP50Ms = percentile(0.50);
    figures.dP99Ms = percentile(0.99);
    figures.dMaxMs = percentile(1.0);
    return figures;
}

void CHttpPollers::Print(const char* szTitle, const Figures& figures)
{
    std::printf("%s: %zu requests in %.1f s = %.0f requests/s, p50 %.2f ms, p99 %.2f ms, max %.2f ms, "
                "%llu failed, %.1f MB of JSON\n",
                szTitle, figures.nRequests, figures.dSeconds,
                figures.dSeconds > 0 ? static_cast<double>(figures.nRequests) / figures.dSeconds : 0.0,
                figures.dP50Ms, figures.dP99Ms, figures.dMaxMs, static_cast<unsigned long long>(figures.nFailed),
                static_cast<double>(figures.nBytes) / 1e6);
}

void CHttpPollers::x_Run(std::int64_t nDelayMs)
{
    httplib::Client client("127.0.0.1", m_nPort);
    client.set_keep_alive(true);
    client.set_read_timeout(10, 0);
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(nDelayMs);
    std::this_thread::sleep_until(next);
    while (!m_bStop) {
        auto begin = std::chrono::steady_clock::now();
        auto res = client.Get(m_path, m_headers);
        auto end = std::chrono::steady_clock::now();
        {
            CMutexLock guard(m_lock);
            if (res && res->status == 200) {
                m_latenciesUs.push_back(std::chrono::duration_cast<std::chrono::microseconds>(end - begin).count());
                m_nBytes += res->body.size();
            } else
                ++m_nFailed;
        }
        next += std::chrono::milliseconds(m_nPeriodMs);
        if (next > end)
            std::this_thread::sleep_until(next);
        else
            next = end;  // behind: no burst to catch up
    }
}

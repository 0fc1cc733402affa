#include "web/WebAuthGuard.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/Timing.h"

#include <algorithm>

std::int64_t CWebAuthGuard::PenaltyLeftMs(const std::string& addr, std::int64_t nNowMs)
{
    CMutexLock guard(m_lock);
    auto it = m_addresses.find(addr);
    if (it == m_addresses.end())
        return 0;
    return std::max<std::int64_t>(0, it->second.nPenaltyUntilMs - nNowMs);
}

void CWebAuthGuard::x_ForgetQuietLocked(std::int64_t nNowMs)
{
    const std::int64_t nQuietMs = std::max(Timing().nWebAuthLogMs, Timing().nWebAuthPenaltyMaxMs);
    for (auto it = m_addresses.begin(); it != m_addresses.end();) {
        if (nNowMs - it->second.nLastMs >= nQuietMs)
            it = m_addresses.erase(it);
        else
            ++it;
    }
    // Still full of busy addresses: the one quiet longest goes.
    if (m_addresses.size() >= kMaxAddresses) {
        auto oldest = std::min_element(m_addresses.begin(), m_addresses.end(),
                                       [](const auto& a, const auto& b) { return a.second.nLastMs < b.second.nLastMs; });
        m_addresses.erase(oldest);
    }
}

void CWebAuthGuard::OnFailure(const std::string& addr, std::int64_t nNowMs)
{
    m_nFailures.fetch_add(1, std::memory_order_relaxed);
    std::string line;
    {
        CMutexLock guard(m_lock);
        if (m_addresses.size() >= kMaxAddresses && m_addresses.count(addr) == 0)
            x_ForgetQuietLocked(nNowMs);
        auto [it, bNew] = m_addresses.try_emplace(addr);
        Address& entry = it->second;
        entry.nLastMs = nNowMs;
        if (++entry.nInRow > kFreeFailures) {
            // Doubles with every failure past the free ones, up to the cap.
            const int nShift = std::min(entry.nInRow - kFreeFailures - 1, 20);
            const std::int64_t nPenalty = std::min<std::int64_t>(
                static_cast<std::int64_t>(Timing().nWebAuthPenaltyMs) << nShift, Timing().nWebAuthPenaltyMaxMs);
            entry.nPenaltyUntilMs = nNowMs + nPenalty;
        }
        if (bNew || entry.nLoggedMs == 0) {
            line = "Web dashboard: wrong token from " + addr;
            entry.nLoggedMs = nNowMs;
        } else if (nNowMs - entry.nLoggedMs >= Timing().nWebAuthLogMs) {
            line = Format("Web dashboard: %llu more wrong tokens from %s since the last report",
                          static_cast<unsigned long long>(entry.nUnlogged + 1), addr.c_str());
            entry.nLoggedMs = nNowMs;
            entry.nUnlogged = 0;
        } else {
            ++entry.nUnlogged;
        }
    }
    if (!line.empty())
        WriteLog(line);
}

void CWebAuthGuard::OnSuccess(const std::string& addr)
{
    CMutexLock guard(m_lock);
    auto it = m_addresses.find(addr);
    if (it == m_addresses.end())
        return;
    // The log's throttle stays: only the run of failures and the penalty end.
    it->second.nInRow = 0;
    it->second.nPenaltyUntilMs = 0;
}

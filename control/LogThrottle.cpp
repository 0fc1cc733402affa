#include "control/LogThrottle.h"

CLogThrottle::CLogThrottle(std::int64_t nIntervalMs) : m_nIntervalMs(nIntervalMs) {}

bool CLogThrottle::Allow(const std::string& key, std::int64_t nNowMs)
{
    std::lock_guard guard(m_lock);
    auto it = m_lastMs.find(key);
    if (it != m_lastMs.end()) {
        if (nNowMs - it->second < m_nIntervalMs)
            return false;
        it->second = nNowMs;
        return true;
    }
    if (m_lastMs.size() >= kMaxKeys) {
        // Forget the senders whose interval has passed; if none has, the oldest.
        for (auto cur = m_lastMs.begin(); cur != m_lastMs.end();)
            cur = nNowMs - cur->second >= m_nIntervalMs ? m_lastMs.erase(cur) : std::next(cur);
        if (m_lastMs.size() >= kMaxKeys) {
            auto oldest = m_lastMs.begin();
            for (auto cur = m_lastMs.begin(); cur != m_lastMs.end(); ++cur)
                if (cur->second < oldest->second)
                    oldest = cur;
            m_lastMs.erase(oldest);
        }
    }
    m_lastMs.emplace(key, nNowMs);
    return true;
}

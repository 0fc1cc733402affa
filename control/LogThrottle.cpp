#include "control/LogThrottle.h"

#include "platform/MutexLock.h"

#include <set>

namespace {

// The live throttles, for ForgetAll.
CMutex g_liveLock;  // taken before any throttle's own lock
std::set<CLogThrottle*> g_live GUARDED_BY(g_liveLock);

} // namespace

CLogThrottle::CLogThrottle(std::int64_t nIntervalMs) : m_nIntervalMs(nIntervalMs)
{
    CMutexLock guard(g_liveLock);
    g_live.insert(this);
}

CLogThrottle::~CLogThrottle()
{
    CMutexLock guard(g_liveLock);
    g_live.erase(this);
}

void CLogThrottle::ForgetAll()
{
    CMutexLock guard(g_liveLock);
    for (CLogThrottle* pThrottle : g_live) {
        CMutexLock inner(pThrottle->m_lock);
        pThrottle->m_lastMs.clear();
    }
}

bool CLogThrottle::Allow(const std::string& key, std::int64_t nNowMs)
{
    CMutexLock guard(m_lock);
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

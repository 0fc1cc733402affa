#include "web/WebSendBudget.h"

#include "platform/MutexLock.h"

#include <algorithm>

void CWebSendBudget::Configure(std::uint64_t nBytesPerSecond, std::uint64_t nMinBurst, std::int64_t nNowMs)
{
    CMutexLock guard(m_lock);
    m_nRate = nBytesPerSecond;
    m_nSize = std::max(nMinBurst, nBytesPerSecond * kBurstMs / 1000);
    m_nLevel = m_nSize;
    m_nFilledMs = nNowMs;
}

void CWebSendBudget::x_FillLocked(std::int64_t nNowMs)
{
    if (nNowMs <= m_nFilledMs)
        return;
    // Whole seconds and the rest apart, so that a long pause cannot overflow.
    const auto nElapsed = static_cast<std::uint64_t>(nNowMs - m_nFilledMs);
    const std::uint64_t nSeconds = nElapsed / 1000;
    const std::uint64_t nAdded = nSeconds >= 1 + m_nSize / std::max<std::uint64_t>(1, m_nRate)
                                     ? m_nSize
                                     : nSeconds * m_nRate + (nElapsed % 1000) * m_nRate / 1000;
    m_nLevel = std::min(m_nSize, m_nLevel + nAdded);
    m_nFilledMs = nNowMs;
}

std::uint64_t CWebSendBudget::Take(std::uint64_t nWant, std::int64_t nNowMs)
{
    if (!Limited())
        return nWant;
    CMutexLock guard(m_lock);
    x_FillLocked(nNowMs);
    const std::uint64_t nGot = std::min(nWant, m_nLevel);
    m_nLevel -= nGot;
    return nGot;
}

void CWebSendBudget::Return(std::uint64_t nBytes)
{
    if (!Limited() || nBytes == 0)
        return;
    CMutexLock guard(m_lock);
    m_nLevel = std::min(m_nSize, m_nLevel + nBytes);
}

int CWebSendBudget::WaitMs(std::uint64_t nWant, std::int64_t nNowMs)
{
    if (!Limited())
        return 0;
    CMutexLock guard(m_lock);
    x_FillLocked(nNowMs);
    const std::uint64_t nNeed = std::min(nWant, m_nSize);
    if (m_nLevel >= nNeed)
        return 0;
    // Rounded up: waking a little late costs nothing, waking early a futile turn.
    const std::uint64_t nMs = ((nNeed - m_nLevel) * 1000 + m_nRate - 1) / m_nRate;
    return static_cast<int>(std::min<std::uint64_t>(nMs, 1000));
}

#include "web/LogRing.h"

#include "core/NotifyCenter.h"
#include "platform/MutexLock.h"
#include "settings/WallClock.h"

#include <algorithm>
#include <cstring>

namespace {

// The message of a NOTIFY_LOG payload: NUL-terminated within the payload.
std::string LogText(const void* pPayload)
{
    const char* szText = static_cast<const char*>(pPayload);
    return std::string(szText, strnlen(szText, kNotifyPayloadSize));
}

// The vehicle's name the logger puts behind the message's NUL; "" when none.
std::string LogVehicle(const void* pPayload)
{
    const char* szText = static_cast<const char*>(pPayload);
    std::size_t nText = strnlen(szText, kNotifyPayloadSize);
    if (nText + 1 >= kNotifyPayloadSize)
        return {};
    return std::string(szText + nText + 1, strnlen(szText + nText + 1, kNotifyPayloadSize - nText - 1));
}

} // namespace

CLogRing& CLogRing::Instance()
{
    static CLogRing* s_pRing = [] {
        auto* pRing = new CLogRing();
        CNotifyCenter::Instance().Register(pRing);
        return pRing;
    }();
    return *s_pRing;
}

CLogRing::CLogRing(std::size_t nCapacity) : m_nCapacity(std::max<std::size_t>(nCapacity, 1)) {}

void CLogRing::Add(std::string strVehicle, std::string strText, std::uint32_t tTime)
{
    CMutexLock guard(m_lock);
    if (m_lines.size() == m_nCapacity)
        m_lines.pop_front();
    m_lines.push_back(Line {++m_nLastSeq, tTime, std::move(strVehicle), std::move(strText)});
}

std::vector<CLogRing::Line> CLogRing::After(std::uint64_t nAfter, std::size_t nMax) const
{
    std::vector<Line> lines;
    CMutexLock guard(m_lock);
    if (m_lines.empty() || nAfter >= m_nLastSeq)
        return lines;
    // Sequence numbers are consecutive, so the first wanted line is found by index.
    const std::uint64_t nFirst = m_lines.front().nSeq;
    std::size_t nIndex = nAfter < nFirst ? 0 : static_cast<std::size_t>(nAfter - nFirst + 1);
    std::size_t nCount = std::min(nMax, m_lines.size() - nIndex);
    lines.assign(m_lines.begin() + static_cast<std::ptrdiff_t>(nIndex),
                 m_lines.begin() + static_cast<std::ptrdiff_t>(nIndex + nCount));
    return lines;
}

void CLogRing::OnNotifyEvent(std::uint32_t nKind, const void* pPayload)
{
    // The logger posts only the message: the vehicle it concerns is not in the payload.
    if (nKind == NOTIFY_LOG)
        Add(LogVehicle(pPayload), LogText(pPayload), WallClockNow());
}

void CLogRing::OnNotifyBatch(const std::vector<const NotifyEvent*>& events)
{
    // Speed and progress of every vehicle pass by each second: only log events are
    // copied, and the time is read once for the batch.
    std::uint32_t tNow = 0;
    for (const NotifyEvent* pEvent : events) {
        if (pEvent->nKind != NOTIFY_LOG)
            continue;
        if (tNow == 0)
            tNow = WallClockNow();
        Add(LogVehicle(pEvent->payload), LogText(pEvent->payload), tNow);
    }
}

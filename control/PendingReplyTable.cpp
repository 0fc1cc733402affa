#include "control/PendingReplyTable.h"

#include "core/Logger.h"
#include "platform/Event.h"
#include "platform/MutexLock.h"

#include <cstring>

bool CPendingReplyTable::AddWaiter(std::uint32_t nId, CEvent* pEvent, unsigned char* pBuffer, std::uint32_t nCapacity)
{
    CMutexLock guard(m_lock);
    return m_waiters.try_emplace(nId, ReplyWaiter {nId, pEvent, pBuffer, nCapacity, 0}).second;
}

bool CPendingReplyTable::PutReply(std::uint32_t nId, const unsigned char* pData, std::size_t nLen)
{
    CMutexLock guard(m_lock);
    auto it = m_waiters.find(nId);
    if (it == m_waiters.end())
        return false;
    ReplyWaiter& waiter = it->second;
    // The first reply wins: a duplicate (to a resent copy) must not rewrite the buffer
    // while the requester reads it.
    if (waiter.nReceived != 0)
        return true;
    if (waiter.nCapacity < nLen) {
        WriteLog(" nReplyLen < nLen!");
        return false;
    }
    std::memcpy(waiter.pBuffer, pData, nLen);
    waiter.nReceived = static_cast<std::uint32_t>(nLen);
    waiter.pEvent->Set();
    return true;
}

std::optional<ReplyWaiter> CPendingReplyTable::GetWaiter(std::uint32_t nId)
{
    CMutexLock guard(m_lock);
    auto it = m_waiters.find(nId);
    if (it == m_waiters.end())
        return std::nullopt;
    return it->second;
}

void CPendingReplyTable::RemoveWaiter(std::uint32_t nId, const CEvent* pEvent, bool bSettled)
{
    CMutexLock guard(m_lock);
    auto it = m_waiters.find(nId);
    if (it == m_waiters.end() || (pEvent != nullptr && it->second.pEvent != pEvent))
        return;
    m_waiters.erase(it);
    if (!bSettled || !m_settled.insert(nId).second)
        return;
    m_settledOrder.push_back(nId);
    if (m_settledOrder.size() > kSettledKept) {
        m_settled.erase(m_settledOrder.front());
        m_settledOrder.pop_front();
    }
}

bool CPendingReplyTable::IsSettled(std::uint32_t nId)
{
    CMutexLock guard(m_lock);
    return m_settled.count(nId) != 0;
}

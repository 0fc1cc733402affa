#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <optional>

class CEvent;

// One request waiting for its reply. The buffer and the event belong to the
// requester, which keeps them alive until it has removed the waiter.
struct ReplyWaiter {
    std::uint32_t nTransactionId = 0;
    CEvent* pEvent = nullptr;
    unsigned char* pBuffer = nullptr;
    std::uint32_t nCapacity = 0;
    std::uint32_t nReceived = 0;  // 0 until a reply is stored
};

// Requests waiting for replies, by transaction id. Every operation is thread-safe;
// the table lock is held while a reply is copied, so once RemoveWaiter returned no
// copy into that requester's buffer is under way or can begin.
class CPendingReplyTable {
public:

    // Inserts a waiter; false (table unchanged) when the id is already waited for.
    bool AddWaiter(std::uint32_t nId, CEvent* pEvent, unsigned char* pBuffer, std::uint32_t nCapacity)
        EXCLUDES(m_lock);

    // Copies a reply to its waiter and signals it; a further reply to a waiter that
    // has one already is taken (true) but not copied. False when nobody waits for the
    // id, or (logged) the reply does not fit the waiter's buffer.
    bool PutReply(std::uint32_t nId, const unsigned char* pData, std::size_t nLen) EXCLUDES(m_lock);

    // A copy of the waiter for nId, if any.
    std::optional<ReplyWaiter> GetWaiter(std::uint32_t nId) EXCLUDES(m_lock);

    // Removes the waiter for nId if it is pEvent's (any waiter when pEvent is null).
    // bSettled: the request was answered after it had been sent more than once, so
    // further replies to its other copies are expected and IsSettled tells them apart.
    void RemoveWaiter(std::uint32_t nId, const CEvent* pEvent = nullptr, bool bSettled = false) EXCLUDES(m_lock);

    // Whether nId belongs to one of the last kSettledKept requests removed as settled.
    bool IsSettled(std::uint32_t nId) EXCLUDES(m_lock);

    static constexpr std::size_t kSettledKept = 1024;

private:
    CMutex m_lock;  // taken before a waiter's event's lock (PutReply sets it)
    std::map<std::uint32_t, ReplyWaiter> m_waiters GUARDED_BY(m_lock);
    // Settled ids, oldest first; bounded, so a peer cannot grow it.
    std::deque<std::uint32_t> m_settledOrder GUARDED_BY(m_lock);
    std::set<std::uint32_t> m_settled GUARDED_BY(m_lock);
};

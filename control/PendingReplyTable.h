#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstddef>
#include <cstdint>
#include <map>
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
    // The process-wide table. Any thread.
    static CPendingReplyTable& Instance();

    // Inserts a waiter; false (table unchanged) when the id is already waited for.
    bool AddWaiter(std::uint32_t nId, CEvent* pEvent, unsigned char* pBuffer, std::uint32_t nCapacity)
        EXCLUDES(m_lock);

    // Copies a reply to its waiter and signals it. False when nobody waits for the
    // id, or (logged) the reply does not fit the waiter's buffer.
    bool PutReply(std::uint32_t nId, const unsigned char* pData, std::size_t nLen) EXCLUDES(m_lock);

    // A copy of the waiter for nId, if any.
    std::optional<ReplyWaiter> GetWaiter(std::uint32_t nId) EXCLUDES(m_lock);

    // Removes the waiter for nId if it is pEvent's (any waiter when pEvent is null).
    void RemoveWaiter(std::uint32_t nId, const CEvent* pEvent = nullptr) EXCLUDES(m_lock);

private:
    CMutex m_lock;  // taken before a waiter's event's lock (PutReply sets it)
    std::map<std::uint32_t, ReplyWaiter> m_waiters GUARDED_BY(m_lock);
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
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
    bool AddWaiter(std::uint32_t nId, CEvent* pEvent, unsigned char* pBuffer, std::uint32_t nCapacity);

    // Copies a reply to its waiter and signals it. False when nobody waits for the
    // id, or (logged) the reply does not fit the waiter's buffer.
    bool PutReply(std::uint32_t nId, const unsigned char* pData, std::size_t nLen);

    // A copy of the waiter for nId, if any.
    std::optional<ReplyWaiter> GetWaiter(std::uint32_t nId);

    // Removes the waiter for nId if it is pEvent's (any waiter when pEvent is null).
    void RemoveWaiter(std::uint32_t nId, const CEvent* pEvent = nullptr);

private:
    std::mutex m_lock;
    std::map<std::uint32_t, ReplyWaiter> m_waiters;  // guarded by m_lock
};

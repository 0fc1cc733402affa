#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The requests a recorder answered lately. A server that got no reply sends its
// request again with the same transaction id; the recorder must answer it with the
// very reply of the first time and not act on it twice. The history is bounded: when
// full, the oldest request is forgotten.
//
// Threads: not thread-safe; the recorder's control thread uses it.
class CSimRequestHistory {
public:
    struct Entry {
        std::string strIp;                  // the server's address and port
        std::uint16_t nPort = 0;
        std::uint32_t nTransactionId = 0;
        std::uint64_t nDigest = 0;          // of the whole request datagram
        bool bAnswered = false;             // false: no reply went out (withheld)
        std::vector<unsigned char> reply;   // the reply datagram as sent the first time
    };

    explicit CSimRequestHistory(std::size_t nCapacity);

    // The request remembered for this sender and id; nullptr when there is none. The
    // pointer lasts until the next Add.
    const Entry* Find(const std::string& strIp, std::uint16_t nPort, std::uint32_t nTransactionId) const;
    // Remembers a request as not answered yet; one of the same sender and id is replaced.
    void Add(const std::string& strIp, std::uint16_t nPort, std::uint32_t nTransactionId, std::uint64_t nDigest);
    // Records the reply sent to the request of this sender and id (ignored when it is
    // not remembered).
    void SetReply(const std::string& strIp, std::uint16_t nPort, std::uint32_t nTransactionId,
                  const unsigned char* pReply, std::size_t nLen);
    std::size_t Size() const { return m_entries.size(); }

    // A 64-bit digest of a datagram: a request sent again is the same bytes.
    static std::uint64_t Digest(const unsigned char* pData, std::size_t nLen);

private:
    Entry* FindEntry(const std::string& strIp, std::uint16_t nPort, std::uint32_t nTransactionId);

    const std::size_t m_nCapacity;
    std::deque<Entry> m_entries;  // oldest first
};

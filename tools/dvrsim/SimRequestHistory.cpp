#include "tools/dvrsim/SimRequestHistory.h"

#include <algorithm>
#include <utility>

CSimRequestHistory::CSimRequestHistory(std::size_t nCapacity) : m_nCapacity(std::max<std::size_t>(nCapacity, 1)) {}

const CSimRequestHistory::Entry* CSimRequestHistory::Find(const std::string& strIp, std::uint16_t nPort,
                                                          std::uint32_t nTransactionId) const
{
    // Newest first: a repeat follows its first copy closely.
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
        if (it->nTransactionId == nTransactionId && it->nPort == nPort && it->strIp == strIp)
            return &*it;
    return nullptr;
}

CSimRequestHistory::Entry* CSimRequestHistory::FindEntry(const std::string& strIp, std::uint16_t nPort,
                                                         std::uint32_t nTransactionId)
{
    return const_cast<Entry*>(std::as_const(*this).Find(strIp, nPort, nTransactionId));
}

void CSimRequestHistory::Add(const std::string& strIp, std::uint16_t nPort, std::uint32_t nTransactionId,
                             std::uint64_t nDigest)
{
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
        return entry.nTransactionId == nTransactionId && entry.nPort == nPort && entry.strIp == strIp;
    });
    if (it != m_entries.end())
        m_entries.erase(it);
    if (m_entries.size() >= m_nCapacity)
        m_entries.pop_front();
    Entry entry;
    entry.strIp = strIp;
    entry.nPort = nPort;
    entry.nTransactionId = nTransactionId;
    entry.nDigest = nDigest;
    m_entries.push_back(std::move(entry));
}

void CSimRequestHistory::SetReply(const std::string& strIp, std::uint16_t nPort, std::uint32_t nTransactionId,
                                  const unsigned char* pReply, std::size_t nLen)
{
    Entry* pEntry = FindEntry(strIp, nPort, nTransactionId);
    if (pEntry == nullptr)
        return;
    pEntry->bAnswered = true;
    pEntry->reply.assign(pReply, pReply + nLen);
}

std::uint64_t CSimRequestHistory::Digest(const unsigned char* pData, std::size_t nLen)
{
    // FNV-1a over every byte, length included: cheap next to a datagram's round trip.
    std::uint64_t n = 0xCBF29CE484222325ULL ^ nLen;
    for (std::size_t i = 0; i < nLen; ++i) {
        n ^= pData[i];
        n *= 0x100000001B3ULL;
    }
    return n;
}

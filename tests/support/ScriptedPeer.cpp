#include "ScriptedPeer.h"

#include <gtest/gtest.h>

#include <cstring>

ScriptedPeer::ScriptedPeer(const char* szLocalIp) : m_socket(CSocket::CreateUdp(szLocalIp, 0)) {}

std::vector<unsigned char> ScriptedPeer::Registration(const std::string& name, std::uint8_t nChannels,
                                                      std::uint32_t nId, std::size_t nLen)
{
    std::vector<unsigned char> datagram(std::max(nLen, kRegisterMinSize), 0);
    ControlHeader header;
    header.command = ZELP_REGISTER;
    header.transactionId = nId;
    header.payloadLength = static_cast<std::uint32_t>(kRegisterMinSize - kControlHeaderSize);
    EncodeHeader(header, datagram.data());
    std::memcpy(datagram.data() + kRegisterNameOffset, name.data(), std::min<std::size_t>(name.size(), 32));
    datagram[kRegisterChannelsOffset] = nChannels;
    datagram.resize(nLen);
    return datagram;
}

std::vector<unsigned char> ScriptedPeer::KeepAlive(const std::string& name, std::uint32_t nId, std::size_t nLen)
{
    std::vector<unsigned char> datagram(std::max(nLen, kKeepAliveMinSize), 0);
    ControlHeader header;
    header.command = ZELP_KEEPALIVE;
    header.transactionId = nId;
    header.payloadLength = static_cast<std::uint32_t>(kKeepAliveMinSize - kControlHeaderSize);
    EncodeHeader(header, datagram.data());
    std::memcpy(datagram.data() + kKeepAliveNameOffset, name.data(), std::min<std::size_t>(name.size(), 32));
    datagram.resize(nLen);
    return datagram;
}

std::vector<unsigned char> ScriptedPeer::Reply(std::uint8_t nCommand, std::uint16_t nStatus, std::uint32_t nId,
                                               const std::vector<unsigned char>& payload)
{
    std::vector<unsigned char> datagram(kControlHeaderSize);
    ControlHeader header;
    header.isReply = 1;
    header.command = nCommand;
    header.status = nStatus;
    header.transactionId = nId;
    header.payloadLength = static_cast<std::uint32_t>(payload.size());
    EncodeHeader(header, datagram.data());
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    return datagram;
}

std::vector<unsigned char> ScriptedPeer::EarliestRecord(const std::string& fileName, std::uint32_t tStart,
                                                        std::uint32_t tEnd, std::uint8_t nChannel)
{
    EarliestFileRecord record;
    std::strncpy(record.szFileName, fileName.c_str(), sizeof(record.szFileName) - 1);
    record.nStart = tStart;
    record.nEnd = tEnd;
    record.nChannel = nChannel;
    std::vector<unsigned char> payload(kEarliestFileRecordSize);
    EncodeEarliestFileRecord(record, payload.data());
    return payload;
}

std::vector<unsigned char> ScriptedPeer::CountRecord(std::uint32_t nCount)
{
    std::vector<unsigned char> payload(kFileCountRecordSize);
    EncodeFileCountRecord(FileCountRecord {nCount}, payload.data());
    return payload;
}

void ScriptedPeer::Send(const std::vector<unsigned char>& datagram)
{
    EXPECT_EQ(m_socket.SendTo(m_serverIp.c_str(), m_nServerPort, datagram.data(), datagram.size()),
              static_cast<ssize_t>(datagram.size()));
}

std::optional<std::vector<unsigned char>> ScriptedPeer::Receive(int nTimeoutMs)
{
    if (m_socket.WaitReadable(nTimeoutMs) != 1)
        return std::nullopt;
    std::vector<unsigned char> buffer(65536);
    ssize_t n = m_socket.RecvFrom(buffer.data(), buffer.size(), nullptr, nullptr);
    if (n < 0)
        return std::nullopt;
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

std::optional<std::vector<unsigned char>> ScriptedPeer::ReceiveReply(int nTimeoutMs)
{
    for (;;) {
        auto datagram = Receive(nTimeoutMs);
        if (!datagram || (datagram->size() > 4 && (*datagram)[4] != 0))
            return datagram;
    }
}

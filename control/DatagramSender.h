#pragma once

#include <cstdint>

// Where a transaction's datagrams go out. The server's is the UDP control socket;
// tests give one that loses, delays or duplicates.
class CDatagramSender {
public:
    virtual ~CDatagramSender() = default;

    // Sends nLen bytes to szIp:nPort; 0 on success, -1 on failure. Any thread.
    virtual int SendMsg(const char* szIp, std::uint16_t nPort, const void* pData, int nLen) = 0;

};

#pragma once

#include <cstdint>

// The handler the UDP server is created with: replies go to the pending-reply
// table, registrations and keepalives to their handlers. szLocalIp is the local
// address the datagram arrived on ("" unknown). Receive thread.
void OnControlDatagram(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                       const char* szLocalIp);

// Command 0: answers 200, prepares the vehicle's directory, adds the vehicle with the
// local address its registration arrived on. Receive thread.
void ZELPOnRegister(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                    const char* szLocalIp);

// Command 1: refreshes the vehicle (and, coming from its registered address, the
// local address its datagrams arrive on) and starts its download pass when none
// runs; answers 200, or 402 to a stranger. Receive thread.
void ZELPOnKeepAlive(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                     const char* szLocalIp);

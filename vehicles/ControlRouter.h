#pragma once

#include <cstdint>

// The handler the UDP server is created with: replies go to the pending-reply
// table, registrations and keepalives to their handlers. Receive thread.
void OnControlDatagram(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort);

// Command 0: answers 200, prepares the vehicle's directory, adds the vehicle.
// Receive thread.
void ZELPOnRegister(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort);

// Command 1: refreshes the vehicle and starts its download pass when none runs;
// answers 200, or 402 to a stranger. Receive thread.
void ZELPOnKeepAlive(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort);

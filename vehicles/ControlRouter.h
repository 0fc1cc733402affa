#pragma once

#include <cstdint>

class CVehicleMgr;

// Routes the control channel's datagrams: replies to the pending-reply table,
// registrations and keepalives to the registry. szLocalIp is the local address the
// datagram arrived on ("" unknown). Every method runs on the control socket's
// receive thread.
class CControlRouter {
public:
    explicit CControlRouter(CVehicleMgr& registry);

    // The UDP server's handler.
    void OnControlDatagram(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                           const char* szLocalIp);

    // Command 0: answers 200, prepares the vehicle's directory, adds the vehicle with
    // the local address its registration arrived on.
    void ZELPOnRegister(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                        const char* szLocalIp);

    // Command 1: refreshes the vehicle (and, coming from its registered address, the
    // local address its datagrams arrive on) and starts its download pass when none
    // runs; answers 200, or 402 to a stranger.
    void ZELPOnKeepAlive(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                         const char* szLocalIp);

private:
    void SendReply(const unsigned char* pRequest, std::uint16_t nStatus, const char* szIp, std::uint16_t nPort);

    CVehicleMgr& m_registry;
};

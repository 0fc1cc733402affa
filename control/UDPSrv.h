#pragma once

#include "control/DatagramSender.h"
#include "control/DatagramSender.h"
#include "platform/Mutex.h"
#include "platform/Socket.h"
#include "platform/ThreadSafety.h"
#include "platform/WakeFd.h"

#include <cstdint>
#include <functional>
#include <thread>

class CServerCounters;

// Called on the receive thread for each datagram with its sender and the local
// address it arrived on ("" when unknown); bytes and texts are valid only during the
// call.
using DatagramHandler = std::function<void(const unsigned char* pData, int nLen, const char* szIp,
                                           std::uint16_t nPort, const char* szLocalIp)>;

// Receive buffer asked for the control socket: room for a rush of a few thousand
// datagrams while the receive thread routes.
constexpr int kControlReceiveBuffer = 8 << 20;

// The control channel's UDP socket and its receive thread.
// Order of use: Create, Start, SendMsg any number of times, Stop; then again.
class CUDPSrv : public CDatagramSender {
public:
    // pCounters, when given, counts the datagrams received. Any thread.
    explicit CUDPSrv(CServerCounters* pCounters = nullptr) : m_pCounters(pCounters) {}
    virtual ~CUDPSrv();
    CUDPSrv(const CUDPSrv&) = delete;
    CUDPSrv& operator=(const CUDPSrv&) = delete;

    // Binds szLocalIp (null or "" for every address) and nPort. 0, or -1 with
    // nothing left open (no handler, port taken, already created). Window thread.
    int Create(const char* szLocalIp, std::uint16_t nPort, DatagramHandler handler);

    // Starts the receive thread after a successful Create. Window thread.
    void Start();

    // Wakes the receive thread at once, waits until it has ended, and only then
    // closes the socket. Any thread but the receive thread.
    void Stop();

    // Sends one datagram; 0 when the platform took it, -1 otherwise. Any thread.
    int SendMsg(const char* szIp, std::uint16_t nPort, const void* pData, int nLen) override;

    // The bound port (useful when created on port 0), 0 when idle. Any thread.
    std::uint16_t LocalPort() const;

private:
    void ReceiveLoop();

    CMutex m_stateLock ACQUIRED_BEFORE(m_sendLock);  // serialises Create, Start and Stop
    std::thread m_thread GUARDED_BY(m_stateLock);
    mutable CMutex m_sendLock;  // serialises SendMsg and guards m_socket's lifetime
    // Not GUARDED_BY: they change only under both locks while no receive thread runs,
    // and the receive thread reads them without a lock.
    CSocket m_socket;
    DatagramHandler m_handler;
    CServerCounters* const m_pCounters;
    // Ends the receive thread's wait. Not GUARDED_BY either: opened and closed under
    // m_stateLock while no receive thread runs, signalled by Stop under it, read by
    // the receive thread without a lock.
    CWakeFd m_wake;
};

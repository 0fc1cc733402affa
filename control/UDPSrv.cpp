#include "control/UDPSrv.h"

#include "control/ControlMessage.h"
#include "core/Logger.h"
#include "core/ServerCounters.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/Poller.h"
#include "platform/Timing.h"

#include <cerrno>
#include <string>
#include <vector>

CUDPSrv::~CUDPSrv()
{
    Stop();
}

int CUDPSrv::Create(const char* szLocalIp, std::uint16_t nPort, DatagramHandler handler)
{
    if (!handler)
        return -1;
    CMutexLock state(m_stateLock);
    CMutexLock guard(m_sendLock);
    if (m_socket.IsValid() || m_thread.joinable())
        return -1;
    CSocket sock = CSocket::CreateUdp(szLocalIp, nPort);
    if (!sock.IsValid())
        return -1;
    // Hundreds of recorders registering and keeping alive at once must not overflow
    // the socket while the receive thread routes.
    int nGranted = sock.SetReceiveBuffer(kControlReceiveBuffer);
    if (nGranted < kControlReceiveBuffer)
        WriteLog(Format("control socket receive buffer is %d bytes, %d were asked", nGranted, kControlReceiveBuffer));
    // The address a recorder's datagrams arrive on is one it can reach: file requests
    // may name it.
    if (!sock.ReportArrivalAddress())
        WriteLog(Format("control socket cannot tell the address datagrams arrive on, errno=%d", errno));
    m_socket = std::move(sock);
    m_handler = std::move(handler);
    return 0;
}

void CUDPSrv::Start()
{
    CMutexLock state(m_stateLock);
    if (!m_socket.IsValid() || m_thread.joinable())
        return;
    // Without a way to wake it, the thread could not be stopped.
    if (m_wake.Open() != 0) {
        WriteLog(Format("control socket cannot start receiving, errno=%d", errno));
        return;
    }
    m_thread = std::thread([this] { ReceiveLoop(); });
}

void CUDPSrv::Stop()
{
    CMutexLock state(m_stateLock);
    // The socket stays open until the thread has left its wait: closed under a
    // waiter, its number could be reused by another descriptor meanwhile.
    if (m_thread.joinable()) {
        m_wake.Signal();
        m_thread.join();
    }
    m_wake.Close();
    CMutexLock guard(m_sendLock);
    m_socket.Close();
}

int CUDPSrv::SendMsg(const char* szIp, std::uint16_t nPort, const void* pData, int nLen)
{
    if (nLen < 0)
        return -1;
    CMutexLock guard(m_sendLock);
    if (!m_socket.IsValid())
        return -1;
    return m_socket.SendTo(szIp, nPort, pData, static_cast<std::size_t>(nLen)) >= 0 ? 0 : -1;
}

std::uint16_t CUDPSrv::LocalPort() const
{
    CMutexLock guard(m_sendLock);
    return m_socket.IsValid() ? m_socket.LocalPort() : 0;
}

void CUDPSrv::ReceiveLoop()
{
    std::vector<unsigned char> buffer(kMaxDatagramSize);
    std::string peerIp;
    std::string localIp;
    std::uint16_t nPeerPort = 0;
    for (;;) {
        CPoller::Outcome eOutcome =
            CPoller::WaitOne(m_socket.Fd(), CPoller::Want::Read, Timing().nUdpIdleWaitMs, &m_wake);
        if (eOutcome == CPoller::Outcome::Woken)
            return;  // Stop asked
        if (eOutcome == CPoller::Outcome::Failed) {
            if (errno == EINTR)
                continue;
            WriteLog(Format("select error! errorno=%d", errno));
            return;
        }
        if (eOutcome == CPoller::Outcome::TimedOut)
            continue;

        ssize_t nRecv = m_socket.RecvFrom(buffer.data(), buffer.size(), &peerIp, &nPeerPort, &localIp);
        if (nRecv < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            WriteLog(Format("Socket error while recv! errno=%d", errno));
            return;
        }
        if (nRecv == 0)
            continue;  // an empty datagram: nobody hung up, UDP has no peer to close
        if (static_cast<std::size_t>(nRecv) > buffer.size()) {
            WriteLog(Format("Datagram of %zd bytes from %s:%u exceeds %zu bytes, dropped",
                            nRecv, peerIp.c_str(), nPeerPort, buffer.size()));
            continue;
        }
        if (m_pCounters)
            CServerCounters::Bump(m_pCounters->nControlDatagrams);
        m_handler(buffer.data(), static_cast<int>(nRecv), peerIp.c_str(), nPeerPort, localIp.c_str());
    }
}

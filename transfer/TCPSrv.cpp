#include "transfer/TCPSrv.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "core/ServerCounters.h"
#include "transfer/FileReceiver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int kListenBacklog = 5;

} // namespace

std::uint16_t ListenPortOf(std::uint32_t nCount)
{
    constexpr std::uint32_t kFirst = 10000;
    constexpr std::uint32_t kPorts = 65536 - kFirst;
    return static_cast<std::uint16_t>(kFirst + (nCount + kPorts - 1) % kPorts);
}

std::uint16_t NextListenPort()
{
    static CMutex s_lock;
    static std::uint32_t s_nCounter = 0;  // under s_lock
    CMutexLock guard(s_lock);
    return ListenPortOf(++s_nCounter);
}

int ListenOnNextPort(CTCPSrv& listener, std::uint16_t& nPort)
{
    for (int i = 0; i < kListenPortTries; ++i) {
        nPort = NextListenPort();
        if (listener.Listen(nullptr, nPort) == 0)
            return 0;
    }
    return -1;
}

CTCPSrv::CTCPSrv(Receiver receiver, const char* szAdvertisedIp, CServerCounters* pCounters)
    : m_receiver(std::move(receiver)), m_pCounters(pCounters)
{
    std::snprintf(m_szAdvertisedIp, sizeof(m_szAdvertisedIp), "%.15s", szAdvertisedIp ? szAdvertisedIp : "");
}

CTCPSrv::~CTCPSrv()
{
    // No thread of ours runs any more (WaitForConnection joins them); the sockets'
    // own destructors release whatever is still open.
    m_cListen.Close();
}

int CTCPSrv::Listen(const char* szIp, std::uint16_t nPort)
{
    if (m_cListen.IsValid())
        return -1;
    CSocket sock = CSocket::ListenTcp(szIp, nPort, kListenBacklog);
    if (!sock.IsValid())
        return -1;
    CMutexLock guard(m_sockLock);
    m_cListen = std::move(sock);
    return 0;
}

void CTCPSrv::GetListenAddr(char (&szIp)[16], std::uint16_t& nPort) const
{
    std::snprintf(szIp, sizeof(szIp), "%.15s", m_szAdvertisedIp);
    nPort = m_cListen.IsValid() ? m_cListen.LocalPort() : 0;
}

bool CTCPSrv::HasWaitingConnection()
{
    return m_cListen.WaitReadable(0) == 1;
}

void CTCPSrv::ExpectTransfer(const std::string& device, const std::string& fileName, std::uint8_t nChannel)
{
    m_strExpectedDevice = device;
    m_strExpectedFile = fileName;
    m_nExpectedChannel = nChannel;
}

TransferOutcome CTCPSrv::WaitForConnection()
{
    m_nReceivedBytes = 0;
    m_outcome = TransferOutcome {};
    // Accept and receive run on the task's own thread: a vehicle needs no more
    // threads than its channels, however many files it sends.
    x_AcceptAndReceive();
    return m_outcome;
}

void CTCPSrv::NoteBeforeRename(const std::string& path, std::uint64_t nSize) const
{
    if (m_beforeRename)
        m_beforeRename(path, nSize);
}

void CTCPSrv::SetOutcome(TransferResult eResult, std::uint64_t nBytes, std::uint64_t nFileBytes,
                         const std::string& strPath)
{
    m_outcome = TransferOutcome {eResult, nBytes, nFileBytes, strPath};
}

void CTCPSrv::x_AcceptAndReceive()
{
    int nReady = m_cListen.WaitReadable(Timing().nAcceptWindowMs);
    int nErr = errno;
    if (nReady == 0) {
        WriteLog("wait for DVR's connection too long, quit listen...");
        DebugOutput("wait for DVR's connection too long, quit listen...\n");
        return;
    }
    if (nReady < 0) {
        WriteLog(Format("select accept error! errorno=%d", nErr));
        return;
    }

    CSocket conn = m_cListen.Accept();
    {
        CMutexLock guard(m_sockLock);
        // A CloseSockets that came between the wait and the accept must still stop
        // this transfer.
        if (m_bClosed)
            conn.Abort();
        m_cAccepted = std::move(conn);
    }
    // An invalid connection is handed over as well: the receiver's first wait fails.
    if (m_receiver)
        m_receiver(this);
    CloseAccepted();
}

void CTCPSrv::CloseSockets()
{
    CMutexLock guard(m_sockLock);
    m_bClosed = true;
    m_cListen.Abort();
    m_cAccepted.Abort();
}

std::uint32_t CTCPSrv::TakeReceivedBytes()
{
    return m_nReceivedBytes.exchange(0);
}

int CTCPSrv::WaitAccepted(int nTimeoutMs)
{
    return m_cAccepted.WaitReadable(nTimeoutMs);
}

ssize_t CTCPSrv::RecvAccepted(void* pBuf, std::size_t nLen)
{
    if (!m_cAccepted.IsValid()) {
        errno = EBADF;
        return -1;
    }
    return m_cAccepted.Recv(pBuf, nLen);
}

ssize_t CTCPSrv::TryRecvAccepted(void* pBuf, std::size_t nLen)
{
    if (!m_cAccepted.IsValid()) {
        errno = EBADF;
        return -1;
    }
    return m_cAccepted.RecvNoWait(pBuf, nLen);
}

void CTCPSrv::AddReceivedBytes(std::uint32_t nBytes)
{
    m_nReceivedBytes.fetch_add(nBytes);
    if (m_pCounters)
        CServerCounters::Bump(m_pCounters->nReceivedBytes, nBytes);
}

void CTCPSrv::CloseAccepted()
{
    // Under the lock, so that a concurrent CloseSockets never shuts down a number
    // that has just been released and reused.
    CMutexLock guard(m_sockLock);
    m_cAccepted.Close();
}

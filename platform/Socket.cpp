#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

bool MakeAddr(const char* szIp, std::uint16_t nPort, sockaddr_in* pAddr)
{
    *pAddr = {};
    pAddr->sin_family = AF_INET;
    pAddr->sin_port = htons(nPort);
    if (szIp == nullptr || *szIp == '\0') {
        pAddr->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, szIp, &pAddr->sin_addr) == 1;
}

void SplitAddr(const sockaddr_in& addr, std::string* pIp, std::uint16_t* pPort)
{
    if (pIp) {
        char szIp[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr.sin_addr, szIp, sizeof(szIp));
        *pIp = szIp;
    }
    if (pPort)
        *pPort = ntohs(addr.sin_port);
}

// Opens and binds a socket; closes it again when the bind fails.
int OpenBound(int nType, const char* szLocalIp, std::uint16_t nPort, bool bReuseAddr)
{
    sockaddr_in addr {};
    if (!MakeAddr(szLocalIp, nPort, &addr)) {
        errno = EINVAL;
        return -1;
    }
    int fd = ::socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (bReuseAddr) {
        int nOne = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        int nErr = errno;
        ::close(fd);
        errno = nErr;
        return -1;
    }
    return fd;
}

} // namespace

bool ParseIpv4(const char* szIp, std::uint32_t* pNetOrderAddr)
{
    in_addr addr {};
    if (szIp == nullptr || inet_pton(AF_INET, szIp, &addr) != 1)
        return false;
    *pNetOrderAddr = addr.s_addr;
    return true;
}

bool IsLoopbackIpv4(const char* szIp)
{
    std::uint32_t nAddr = 0;
    return ParseIpv4(szIp, &nAddr) && (ntohl(nAddr) >> 24) == 127;
}

CSocket::CSocket(int fd) : m_fd(fd) {}

CSocket::~CSocket()
{
    Close();
}

CSocket::CSocket(CSocket&& other) noexcept
    : m_fd(other.m_fd.exchange(-1)), m_bAborted(other.m_bAborted.load())
{
}

CSocket& CSocket::operator=(CSocket&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.m_fd.exchange(-1);
        m_bAborted = other.m_bAborted.load();
    }
    return *this;
}

CSocket CSocket::CreateUdp(const char* szLocalIp, std::uint16_t nPort)
{
    return CSocket(OpenBound(SOCK_DGRAM, szLocalIp, nPort, false));
}

CSocket CSocket::ListenTcp(const char* szLocalIp, std::uint16_t nPort, int nBacklog)
{
    // SO_REUSEADDR so that a port left in TIME_WAIT by the last transfer can be
    // listened on again; it does not let two listeners share a port.
    int fd = OpenBound(SOCK_STREAM, szLocalIp, nPort, true);
    if (fd < 0)
        return CSocket();
    if (::listen(fd, nBacklog) != 0) {
        int nErr = errno;
        ::close(fd);
        errno = nErr;
        return CSocket();
    }
    return CSocket(fd);
}

CSocket CSocket::ConnectTcp(const char* szIp, std::uint16_t nPort, int nTimeoutMs)
{
    sockaddr_in addr {};
    if (!MakeAddr(szIp, nPort, &addr)) {
        errno = EINVAL;
        return CSocket();
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return CSocket();
    CSocket sock(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS)
            return CSocket();
        pollfd pfd {fd, POLLOUT, 0};
        int nReady;
        do {
            nReady = ::poll(&pfd, 1, nTimeoutMs);
        } while (nReady < 0 && errno == EINTR);
        if (nReady == 0) {
            errno = ETIMEDOUT;
            return CSocket();
        }
        int nErr = 0;
        socklen_t nErrLen = sizeof(nErr);
        if (nReady < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErr, &nErrLen) != 0)
            return CSocket();
        if (nErr != 0) {
            errno = nErr;
            return CSocket();
        }
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return sock;
}

std::uint16_t CSocket::LocalPort() const
{
    sockaddr_in addr {};
    socklen_t nLen = sizeof(addr);
    if (::getsockname(m_fd.load(), reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

int CSocket::WaitReadable(int nTimeoutMs)
{
    int fd = m_fd.load();
    if (fd < 0 || m_bAborted.load()) {
        errno = EBADF;
        return -1;
    }
    pollfd pfd {fd, POLLIN, 0};
    int nReady = ::poll(&pfd, 1, nTimeoutMs);
    if (m_bAborted.load()) {
        errno = EBADF;
        return -1;
    }
    if (nReady < 0)
        return -1;
    if (nReady == 0)
        return 0;
    if (pfd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

CSocket CSocket::Accept(std::string* pPeerIp, std::uint16_t* pPeerPort)
{
    sockaddr_in addr {};
    socklen_t nLen = sizeof(addr);
    int fd;
    do {
        fd = ::accept4(m_fd.load(), reinterpret_cast<sockaddr*>(&addr), &nLen, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !m_bAborted.load());
    if (fd < 0)
        return CSocket();
    SplitAddr(addr, pPeerIp, pPeerPort);
    return CSocket(fd);
}

ssize_t CSocket::RecvFrom(void* pBuf, std::size_t nLen, std::string* pPeerIp, std::uint16_t* pPeerPort,
                          std::string* pLocalIp)
{
    sockaddr_in addr {};
    iovec part {pBuf, nLen};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg {};
    msg.msg_name = &addr;
    msg.msg_namelen = sizeof(addr);
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    // MSG_TRUNC makes the call return the datagram's real length, so that an
    // oversized datagram can be told from one that just fits.
    ssize_t n = ::recvmsg(m_fd.load(), &msg, MSG_TRUNC);
    if (n < 0)
        return n;
    SplitAddr(addr, pPeerIp, pPeerPort);
    if (pLocalIp) {
        pLocalIp->clear();
        for (cmsghdr* pCmsg = CMSG_FIRSTHDR(&msg); pCmsg != nullptr; pCmsg = CMSG_NXTHDR(&msg, pCmsg)) {
            if (pCmsg->cmsg_level != IPPROTO_IP || pCmsg->cmsg_type != IP_PKTINFO)
                continue;
            in_pktinfo info {};
            std::memcpy(&info, CMSG_DATA(pCmsg), sizeof(info));
            // ipi_spec_dst is the local address a reply would leave from: the
            // destination itself for a unicast datagram, this host's own address for
            // one sent to a broadcast address (which ipi_addr would name).
            in_addr local = info.ipi_spec_dst.s_addr != 0 ? info.ipi_spec_dst : info.ipi_addr;
            char szIp[INET_ADDRSTRLEN] = {};
            if (inet_ntop(AF_INET, &local, szIp, sizeof(szIp)) != nullptr)
                *pLocalIp = szIp;
        }
    }
    return n;
}

bool CSocket::ReportArrivalAddress()
{
    int nOne = 1;
    return ::setsockopt(m_fd.load(), IPPROTO_IP, IP_PKTINFO, &nOne, sizeof(nOne)) == 0;
}

ssize_t CSocket::SendTo(const char* szIp, std::uint16_t nPort, const void* pBuf, std::size_t nLen)
{
    sockaddr_in addr {};
    if (!MakeAddr(szIp, nPort, &addr)) {
        errno = EINVAL;
        return -1;
    }
    return ::sendto(m_fd.load(), pBuf, nLen, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

ssize_t CSocket::Recv(void* pBuf, std::size_t nLen)
{
    ssize_t n;
    do {
        n = ::recv(m_fd.load(), pBuf, nLen, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t CSocket::RecvNoWait(void* pBuf, std::size_t nLen)
{
    if (m_bAborted.load()) {
        errno = EAGAIN;
        return -1;
    }
    ssize_t n;
    do {
        n = ::recv(m_fd.load(), pBuf, nLen, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool CSocket::SendAll(const void* pBuf, std::size_t nLen)
{
    const char* p = static_cast<const char*>(pBuf);
    while (nLen > 0) {
        ssize_t n = ::send(m_fd.load(), p, nLen, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        nLen -= static_cast<std::size_t>(n);
    }
    return true;
}

void CSocket::Abort()
{
    m_bAborted = true;
    int fd = m_fd.load();
    // shutdown wakes poll, accept and recv on stream and datagram sockets alike;
    // close would not, and would free the number for reuse under the waiter.
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

void CSocket::Close()
{
    int fd = m_fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

int CSocket::SetReceiveBuffer(int nBytes)
{
    int fd = m_fd.load();
    if (fd < 0)
        return -1;
    // A privileged process may pass the system's cap; anyone else gets up to the cap.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &nBytes, sizeof(nBytes)) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nBytes, sizeof(nBytes));
    int nGranted = 0;
    socklen_t nLen = sizeof(nGranted);
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nGranted, &nLen) != 0)
        return -1;
    // The kernel reports twice the payload room it grants (the rest is bookkeeping).
    return nGranted / 2;
}

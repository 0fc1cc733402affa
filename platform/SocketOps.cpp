#include "platform/SocketOps.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

namespace {

bool AddressOf(const sockaddr_storage& addr, std::string& ip, int& port)
{
    char szIp[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(addr);
        inet_ntop(AF_INET, &v4.sin_addr, szIp, sizeof(szIp));
        port = ntohs(v4.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(addr);
        inet_ntop(AF_INET6, &v6.sin6_addr, szIp, sizeof(szIp));
        port = ntohs(v6.sin6_port);
    }
    ip = szIp;
    return true;
}

} // namespace

bool CSocketOps::SetNonBlocking(int fd)
{
    int nFlags = ::fcntl(fd, F_GETFL);
    return nFlags >= 0 && ::fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) == 0;
}

bool CSocketOps::SetNoDelay(int fd)
{
    int nOn = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn)) == 0;
}

bool CSocketOps::SetReuseAddress(int fd)
{
    int nOn = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn)) == 0;
}

bool CSocketOps::Listen(int fd, int nBacklog)
{
    return ::listen(fd, nBacklog) == 0;
}

ssize_t CSocketOps::Receive(int fd, void* pBuf, std::size_t nLen)
{
    return ::recv(fd, pBuf, nLen, 0);
}

ssize_t CSocketOps::Send(int fd, const void* pBuf, std::size_t nLen)
{
    return ::send(fd, pBuf, nLen, MSG_NOSIGNAL);
}

ssize_t CSocketOps::SendFile(int fd, int fileFd, std::int64_t nOffset, std::size_t nLen)
{
    off_t nOff = static_cast<off_t>(nOffset);
    return ::sendfile(fd, fileFd, &nOff, nLen);
}

void CSocketOps::ShutdownSend(int fd)
{
    ::shutdown(fd, SHUT_WR);
}

void CSocketOps::ShutdownBoth(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
}

bool CSocketOps::PeerAddress(int fd, std::string& ip, int& port)
{
    sockaddr_storage addr {};
    socklen_t nLen = sizeof(addr);
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0 && AddressOf(addr, ip, port);
}

bool CSocketOps::LocalAddress(int fd, std::string& ip, int& port)
{
    sockaddr_storage addr {};
    socklen_t nLen = sizeof(addr);
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0 && AddressOf(addr, ip, port);
}

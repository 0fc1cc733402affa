#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// Calls on a socket descriptor that someone else owns (a CUniqueFd, the HTTP
// library's listener). Each is one system call; failures leave errno set. Any thread
// that may use the descriptor.
class CSocketOps {
public:
    // Reads and writes return at once from now on (EAGAIN when they would wait).
    static bool SetNonBlocking(int fd);
    // Sends small writes at once instead of gathering them (no Nagle delay).
    static bool SetNoDelay(int fd);
    // Lets a listener bind a port left in TIME_WAIT (but not share a busy one).
    static bool SetReuseAddress(int fd);
    // (Re)sets the listen backlog of a bound stream socket.
    static bool Listen(int fd, int nBacklog);

    // One receive: bytes, 0 at the end of the stream, -1 with errno.
    static ssize_t Receive(int fd, void* pBuf, std::size_t nLen);
    // One send, which never raises SIGPIPE: bytes taken or -1 with errno.
    static ssize_t Send(int fd, const void* pBuf, std::size_t nLen);
    // Sends up to nLen bytes of the file fileFd from nOffset without copying them
    // through this process (sendfile): bytes taken, 0 at the file's end, or -1 with
    // errno (EAGAIN when the socket is full). A peer that left raises SIGPIPE: the
    // caller ignores it (IgnoreSigPipe).
    static ssize_t SendFile(int fd, int fileFd, std::int64_t nOffset, std::size_t nLen);
    // Ends the sending side: the peer reads the end of the stream.
    static void ShutdownSend(int fd);
    // Ends both sides: a thread waiting on the socket wakes.
    static void ShutdownBoth(int fd);

    // The peer's or the local address (IPv4 or IPv6) as text and its port; false,
    // with ip and port left alone, when the socket has none.
    static bool PeerAddress(int fd, std::string& ip, int& port);
    static bool LocalAddress(int fd, std::string& ip, int& port);
};

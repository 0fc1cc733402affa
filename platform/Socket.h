#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// Owner of one socket descriptor. Not copyable; moving hands the descriptor over.
//
// Threads: one thread waits on and reads from a socket; any other thread may call
// Abort() to wake that waiter at once (the descriptor stays open). Close() releases
// the descriptor exactly once, whoever calls it and however often; call it from
// another thread only after the waiter has left (Abort first, join, then Close).
class CSocket {
public:
    CSocket() = default;
    explicit CSocket(int fd);
    ~CSocket();
    CSocket(CSocket&& other) noexcept;
    CSocket& operator=(CSocket&& other) noexcept;
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // An IPv4 datagram socket bound to szLocalIp (nullptr or "" for every local
    // address) and nPort (0 picks a free one). Invalid on failure, with errno set.
    [[nodiscard]] static CSocket CreateUdp(const char* szLocalIp, std::uint16_t nPort);
    // An IPv4 stream socket listening on szLocalIp:nPort (nPort 0 picks one).
    [[nodiscard]] static CSocket ListenTcp(const char* szLocalIp, std::uint16_t nPort, int nBacklog = 16);
    // Connects to szIp:nPort within nTimeoutMs. Invalid on failure, with errno set.
    [[nodiscard]] static CSocket ConnectTcp(const char* szIp, std::uint16_t nPort, int nTimeoutMs);

    [[nodiscard]] bool IsValid() const { return m_fd.load() >= 0; }
    [[nodiscard]] int Fd() const { return m_fd.load(); }
    [[nodiscard]] bool IsAborted() const { return m_bAborted.load(); }
    [[nodiscard]] std::uint16_t LocalPort() const;

    // Waits until the socket is readable (or, for a listener, a connection waits).
    // 1 readable, 0 time-out, -1 error or aborted (errno EBADF after Abort).
    // nTimeoutMs < 0 waits without limit.
    [[nodiscard]] int WaitReadable(int nTimeoutMs);

    // Accepts one waiting connection; invalid socket and errno on failure.
    [[nodiscard]] CSocket Accept(std::string* pPeerIp = nullptr, std::uint16_t* pPeerPort = nullptr);

    // Receives one datagram. Returns the datagram's full length (which exceeds
    // nLen when it did not fit and was cut), or -1 with errno. pLocalIp, when given,
    // gets the local address the datagram arrived on once ReportArrivalAddress is
    // on, else "".
    [[nodiscard]] ssize_t RecvFrom(void* pBuf, std::size_t nLen, std::string* pPeerIp, std::uint16_t* pPeerPort,
                                   std::string* pLocalIp = nullptr);
    // Has every datagram received from now on carry the local address it arrived on
    // (for a socket bound to every address, which one the sender used). False with
    // errno when the system refuses. Owner's thread, before use.
    [[nodiscard]] bool ReportArrivalAddress();
    // Sends one datagram to szIp:nPort; bytes sent or -1.
    [[nodiscard]] ssize_t SendTo(const char* szIp, std::uint16_t nPort, const void* pBuf, std::size_t nLen);

    // Stream receive: bytes read, 0 at end of stream, -1 with errno.
    [[nodiscard]] ssize_t Recv(void* pBuf, std::size_t nLen);
    // Stream receive of what has already arrived, without waiting: -1 with EAGAIN when
    // nothing has (and always once aborted, so that the abort shows in the next wait).
    [[nodiscard]] ssize_t RecvNoWait(void* pBuf, std::size_t nLen);
    // Stream send of every byte (never raises SIGPIPE); true when all went out.
    [[nodiscard]] bool SendAll(const void* pBuf, std::size_t nLen);

    // Asks for a receive buffer of nBytes (beyond the system's cap where the process
    // may); the size the kernel granted, or -1. Owner's thread, before use.
    [[nodiscard]] int SetReceiveBuffer(int nBytes);

    // Wakes any thread waiting on this socket; later waits fail at once.
    void Abort();
    // Releases the descriptor (once).
    void Close();

private:
    std::atomic<int> m_fd {-1};
    std::atomic<bool> m_bAborted {false};
};

// Fills an IPv4 address from dotted text; false when the text is no address.
[[nodiscard]] bool ParseIpv4(const char* szIp, std::uint32_t* pNetOrderAddr);

// Whether the text is an IPv4 address of the loopback network 127.0.0.0/8.
[[nodiscard]] bool IsLoopbackIpv4(const char* szIp);

#pragma once

#include "platform/Poller.h"
#include "platform/UniqueFd.h"
#include "web/WebBody.h"

#include <httplib.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// One dashboard client connection, plain or TLS, as the HTTP library's stream. The
// dispatcher's poller fills it without waiting until a whole request (its head, and
// a short body it announces) is in; only then does a worker let the library parse and
// answer it, reading from what was gathered. What the library writes, and the file
// ranges of a streamed body, wait in the connection's output and go out without
// waiting (SendNoWait) as the client takes them: a client that does not read holds
// its output, never a thread. One thread at a time uses a connection.
class CWebConnection : public httplib::Stream {
public:
    // What FillNoWait found.
    enum class Fill {
        Wait,       // nothing more yet: wait until the socket is readable
        WaitWrite,  // TLS must send first: wait until the socket is writable
        Head,       // a whole request head is in
        Oversize,   // the head grew past its limit
        Closed,     // the peer closed, or the connection failed
    };

    // Takes fd (non-blocking from now on); pTlsContext null for plain HTTP.
    CWebConnection(int fd, SSL_CTX* pTlsContext);
    ~CWebConnection() override;  // closes the socket
    CWebConnection(const CWebConnection&) = delete;
    CWebConnection& operator=(const CWebConnection&) = delete;

    // Poller: completes the TLS handshake and reads whatever has arrived, gathering at
    // most about nHeadMax bytes of one request head.
    Fill FillNoWait(std::size_t nHeadMax);
    // Whether a whole request (head of at most nHeadMax bytes) waits in what was read.
    bool HasHead(std::size_t nHeadMax);
    // Poller, after a refusal: reads and drops what arrives, so that closing does not
    // reset the connection before the peer read the answer. Wait, or Closed at its end.
    Fill DiscardNoWait();
    // Ends the sending side: the peer sees the end of the answer.
    void ShutdownSend();
    // Whether some bytes of a request (or of the TLS handshake) have arrived.
    bool HasPartialRequest() const;

    // Worker: the time (MonotonicMs) after which reads of this request fail.
    void SetDeadline(std::int64_t nDeadlineMs) { m_nDeadlineMs = nDeadlineMs; }
    // Puts a body's pieces after what was written: its file ranges are sent from
    // their files as the socket takes them.
    void QueueBody(CWebBody body);
    // What SendNoWait found.
    enum class Send {
        Done,     // the output is empty
        Wait,     // output is left: wait for OutputWant
        Failed,   // the connection failed, or a file ended before its range
        Held,     // a file range is next and nFileMax of file bytes went out
    };
    // Sends of the output what goes out at once, at most nBudget bytes (so that one
    // large answer does not keep the thread from the others), of them at most nFileMax
    // from files. *pSent: bytes sent; *pFileSent: of them from files.
    Send SendNoWait(std::size_t nBudget, std::size_t* pSent = nullptr, std::uint64_t nFileMax = ~std::uint64_t {0},
                    std::uint64_t* pFileSent = nullptr);
    // Bytes waiting to go out, file ranges included.
    std::uint64_t Backlog() const { return m_nBacklog; }
    // What the output waits for after SendNoWait gave Wait (TLS may need to read).
    CPoller::Want OutputWant() const { return m_eOutWant; }
    // Whether TLS sends file ranges through the kernel (SSL_sendfile); false for plain
    // HTTP and where the kernel cannot.
    bool KernelTls() const { return m_bKernelTls; }
    // Best-effort send of a short answer, without waiting (a refusal before closing).
    void SendAtOnce(const std::string& text);
    // Wakes a worker waiting on this connection: reads and writes fail from now on.
    // Any thread.
    void Abort();

    int Fd() const { return m_fd.Get(); }

    // httplib::Stream.
    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return m_fd.Get(); }

private:
    // One read without waiting: bytes, 0 at the end, -1 with m_eWant set to what to
    // wait for (Read or Write) or to Nothing on failure.
    ssize_t x_ReadNoWait(char* ptr, std::size_t nSize);
    ssize_t x_WriteNoWait(const char* ptr, std::size_t nSize);
    // Sends the whole output, waiting within the write time-out; false when that
    // failed. Only for a read that must wait for the peer.
    bool x_SendAllWaiting();
    // One piece's turn in SendNoWait, at most nMax bytes: bytes sent (0 when a TLS
    // file slice was read into memory first), -1 with m_eWant set (Nothing on failure).
    ssize_t x_SendFront(std::size_t nMax);
    // Appends bytes to the output.
    void x_Append(const char* ptr, std::size_t nSize);
    // Looks for the end of the head that starts at m_nInPos (sets m_nHeadEnd).
    bool x_FindHeadEnd();
    // Waits for m_eWant until nTimeoutMs or the deadline; false on time-out or failure.
    bool x_Wait(int nTimeoutMs) const;

    CUniqueFd m_fd;
    SSL* m_pTls = nullptr;
    bool m_bHandshaken = false;
    bool m_bTlsStarted = false;
    bool m_bBroken = false;        // TLS was asked for and could not be set up
    mutable CPoller::Want m_eWant = CPoller::Want::Nothing;  // what the last failed call waits for
    std::string m_in;              // bytes read and not yet handed to the library
    std::size_t m_nInPos = 0;      // first of them
    std::size_t m_nScanned = 0;    // bytes from m_nInPos known to hold no head end
    std::size_t m_nHeadEnd = 0;    // offset from m_nInPos past the head found, 0 none
    std::size_t m_nBodyNeed = 0;   // bytes after the head that belong to the request
    // The output: bytes the library wrote and file ranges of bodies, in order. A TLS
    // write that waits is retried with the same front bytes (partial writes and a
    // moving buffer are allowed, so appending behind them is fine).
    std::deque<CWebBody::Piece> m_out;
    std::size_t m_nOutPos = 0;     // bytes of the front (bytes) piece already sent
    std::uint64_t m_nBacklog = 0;
    CPoller::Want m_eOutWant = CPoller::Want::Write;  // what output put in since the last send waits for
    bool m_bKernelTls = false;
    std::int64_t m_nDeadlineMs = 0;
};

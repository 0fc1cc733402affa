#include "web/WebConnection.h"

#include "platform/Poller.h"
#include "platform/SocketOps.h"
#include "platform/System.h"
#include "platform/Timing.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kOutPieceMax = 65536;  // the library's small writes are gathered into pieces this big
constexpr std::size_t kTlsFileSlice = 65536;  // a file range read for TLS without the kernel's help, per turn

// What a request head announces of its body.
struct Announced {
    std::size_t nBody = 0;        // bytes worth gathering before a worker parses the request
    bool bExpectsContinue = false;  // the client waits to be told to send them
};

// nBody is 0 for a method that carries no body (one sent along is never read), for a
// chunked one and for one over nMax (refused by its length).
Announced AnnouncedBody(const char* pHead, std::size_t nLen, std::size_t nMax)
{
    Announced announced;
    std::string head(pHead, nLen);
    const std::string method = head.substr(0, head.find(' '));
    if (method != "POST" && method != "PUT" && method != "PATCH" && method != "DELETE")
        return announced;
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (head.find("\r\ntransfer-encoding:") != std::string::npos)
        return announced;
    static const std::string kLength = "\r\ncontent-length:";
    std::size_t nAt = head.find(kLength);
    if (nAt == std::string::npos)
        return announced;
    nAt = head.find_first_not_of(" \t", nAt + kLength.size());
    std::size_t nValue = 0;
    for (; nAt < head.size() && std::isdigit(static_cast<unsigned char>(head[nAt])); ++nAt) {
        nValue = nValue * 10 + static_cast<std::size_t>(head[nAt] - '0');
        if (nValue > nMax)
            return announced;
    }
    announced.nBody = nValue;
    announced.bExpectsContinue = nValue > 0 && head.find("\r\nexpect: 100-continue") != std::string::npos;
    return announced;
}

} // namespace

CWebConnection::CWebConnection(int fd, SSL_CTX* pTlsContext) : m_fd(fd)
{
    CSocketOps::SetNonBlocking(m_fd.Get());
    // Answers are gathered into one send (see write), so Nagle's delay only costs.
    CSocketOps::SetNoDelay(m_fd.Get());
    if (pTlsContext != nullptr) {
        m_pTls = SSL_new(pTlsContext);
        if (m_pTls == nullptr || SSL_set_fd(m_pTls, m_fd.Get()) != 1)
            m_bBroken = true;
        else  // the output is sent as far as it goes, and grows behind a write that waits
            SSL_set_mode(m_pTls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
}

CWebConnection::~CWebConnection()
{
    if (m_pTls != nullptr) {
        if (m_bHandshaken)
            SSL_shutdown(m_pTls);  // one close_notify, without waiting for the peer's
        SSL_free(m_pTls);
    }
}

ssize_t CWebConnection::x_ReadNoWait(char* ptr, std::size_t nSize)
{
    m_eWant = CPoller::Want::Nothing;
    if (m_pTls == nullptr) {
        ssize_t n = CSocketOps::Receive(m_fd.Get(), ptr, nSize);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            m_eWant = CPoller::Want::Read;
        return n;
    }
    ERR_clear_error();
    int n = SSL_read(m_pTls, ptr, static_cast<int>(std::min<std::size_t>(nSize, 1 << 30)));
    if (n > 0)
        return n;
    int nError = SSL_get_error(m_pTls, n);
    if (nError == SSL_ERROR_ZERO_RETURN)
        return 0;
    if (nError == SSL_ERROR_WANT_READ)
        m_eWant = CPoller::Want::Read;
    else if (nError == SSL_ERROR_WANT_WRITE)
        m_eWant = CPoller::Want::Write;
    return -1;
}

ssize_t CWebConnection::x_WriteNoWait(const char* ptr, std::size_t nSize)
{
    m_eWant = CPoller::Want::Nothing;
    if (m_pTls == nullptr) {
        ssize_t n = CSocketOps::Send(m_fd.Get(), ptr, nSize);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            m_eWant = CPoller::Want::Write;
        return n;
    }
    ERR_clear_error();
    // A retried SSL_write must pass the same bytes: the caller keeps them in place.
    int n = SSL_write(m_pTls, ptr, static_cast<int>(std::min<std::size_t>(nSize, 1 << 30)));
    if (n > 0)
        return n;
    int nError = SSL_get_error(m_pTls, n);
    if (nError == SSL_ERROR_WANT_READ)
        m_eWant = CPoller::Want::Read;
    else if (nError == SSL_ERROR_WANT_WRITE)
        m_eWant = CPoller::Want::Write;
    return -1;
}

bool CWebConnection::x_Wait(int nTimeoutMs) const
{
    if (m_eWant == CPoller::Want::Nothing)
        return false;
    std::int64_t nEnd = MonotonicMs() + nTimeoutMs;
    if (m_nDeadlineMs > 0)
        nEnd = std::min(nEnd, m_nDeadlineMs);
    for (;;) {
        std::int64_t nLeft = nEnd - MonotonicMs();
        if (nLeft <= 0)
            return false;
        CPoller::Outcome eOutcome = CPoller::WaitOne(m_fd.Get(), m_eWant, static_cast<int>(nLeft));
        if (eOutcome == CPoller::Outcome::Ready)
            return true;  // readable, writable or failed: the next call tells
        if (eOutcome == CPoller::Outcome::Failed && errno != EINTR)
            return false;
    }
}

CWebConnection::Fill CWebConnection::FillNoWait(std::size_t nHeadMax)
{
    if (m_pTls != nullptr && !m_bHandshaken && !m_bBroken) {
        m_bTlsStarted = true;
        ERR_clear_error();
        int n = SSL_accept(m_pTls);
        if (n != 1) {
            int nError = SSL_get_error(m_pTls, n);
            if (nError == SSL_ERROR_WANT_READ)
                return Fill::Wait;
            if (nError == SSL_ERROR_WANT_WRITE)
                return Fill::WaitWrite;
            return Fill::Closed;
        }
        m_bHandshaken = true;
        m_bKernelTls = BIO_get_ktls_send(SSL_get_wbio(m_pTls)) != 0;
    }
    if (m_bBroken)
        return Fill::Closed;
    for (;;) {
        if (x_FindHeadEnd()) {
            if (m_nHeadEnd > nHeadMax)
                return Fill::Oversize;
            if (m_in.size() - m_nInPos >= m_nHeadEnd + m_nBodyNeed)
                return Fill::Head;
        } else if (m_in.size() - m_nInPos > nHeadMax) {
            return Fill::Oversize;
        }
        if (m_nInPos > 0 && (m_nInPos == m_in.size() || m_nInPos >= kReadChunk)) {
            m_in.erase(0, m_nInPos);
            m_nInPos = 0;
        }
        std::size_t nOld = m_in.size();
        m_in.resize(nOld + kReadChunk);
        ssize_t n = x_ReadNoWait(m_in.data() + nOld, kReadChunk);
        m_in.resize(nOld + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n == 0)
            return Fill::Closed;
        if (n < 0) {
            if (m_eWant == CPoller::Want::Read)
                return Fill::Wait;
            if (m_eWant == CPoller::Want::Write)
                return Fill::WaitWrite;
            return Fill::Closed;
        }
    }
}

bool CWebConnection::x_FindHeadEnd()
{
    static constexpr char kEnd[] = "\r\n\r\n";
    if (m_nHeadEnd != 0)
        return true;
    std::size_t nFrom = m_nInPos + (m_nScanned >= 3 ? m_nScanned - 3 : 0);
    std::size_t nAt = m_in.find(kEnd, nFrom, 4);
    if (nAt == std::string::npos) {
        m_nScanned = m_in.size() - m_nInPos;
        return false;
    }
    m_nHeadEnd = nAt + 4 - m_nInPos;
    const Announced announced = AnnouncedBody(m_in.data() + m_nInPos, m_nHeadEnd, kReadChunk);
    m_nBodyNeed = announced.nBody;
    // Gathered here like any body, it must be asked for here too: no worker waits for it.
    if (announced.bExpectsContinue && m_in.size() - m_nInPos < m_nHeadEnd + m_nBodyNeed) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        x_Append(kContinue, sizeof(kContinue) - 1);
    }
    return true;
}

bool CWebConnection::HasHead(std::size_t nHeadMax)
{
    return x_FindHeadEnd() && m_nHeadEnd <= nHeadMax && m_in.size() - m_nInPos >= m_nHeadEnd + m_nBodyNeed;
}

CWebConnection::Fill CWebConnection::DiscardNoWait()
{
    char buf[4096];
    for (;;) {
        ssize_t n = x_ReadNoWait(buf, sizeof(buf));
        if (n > 0)
            continue;
        return n < 0 && m_eWant != CPoller::Want::Nothing ? Fill::Wait : Fill::Closed;
    }
}

void CWebConnection::ShutdownSend()
{
    CSocketOps::ShutdownSend(m_fd.Get());
}

bool CWebConnection::HasPartialRequest() const
{
    return m_in.size() > m_nInPos || (m_bTlsStarted && !m_bHandshaken);
}

void CWebConnection::QueueBody(CWebBody body)
{
    for (CWebBody::Piece& piece : body.Take()) {
        m_nBacklog += piece.nLength;
        m_out.push_back(std::move(piece));
    }
}

void CWebConnection::x_Append(const char* ptr, std::size_t nSize)
{
    if (nSize == 0)
        return;
    if (m_out.empty() || m_out.back().pFile || m_out.back().bytes.size() >= kOutPieceMax)
        m_out.emplace_back();
    CWebBody::Piece& piece = m_out.back();
    piece.bytes.append(ptr, nSize);
    piece.nLength += nSize;
    m_nBacklog += nSize;
}

ssize_t CWebConnection::x_SendFront(std::size_t nMax)
{
    CWebBody::Piece& piece = m_out.front();
    if (!piece.pFile)
        return x_WriteNoWait(piece.bytes.data() + m_nOutPos, piece.bytes.size() - m_nOutPos);
    // One call sends no more than asked for: on a roomy socket (loopback's grows to
    // megabytes) it would otherwise hold the thread far past its slice.
    const std::size_t nWant = static_cast<std::size_t>(std::min<std::uint64_t>({piece.nLength, nMax, 1 << 30}));
    ssize_t n = 0;
    if (m_pTls == nullptr) {
        m_eWant = CPoller::Want::Nothing;
        n = CSocketOps::SendFile(m_fd.Get(), piece.pFile->Fd(), piece.nOffset, nWant);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            m_eWant = CPoller::Want::Write;
    } else if (m_bKernelTls) {
        m_eWant = CPoller::Want::Nothing;
        ERR_clear_error();
        n = SSL_sendfile(m_pTls, piece.pFile->Fd(), piece.nOffset, nWant, 0);
        // A full socket is told by errno as sendfile left it, whatever the TLS
        // library's state says.
        const int nErr = errno;
        if (n < 0 && (SSL_get_error(m_pTls, static_cast<int>(n)) == SSL_ERROR_WANT_WRITE || nErr == EAGAIN ||
                      nErr == EWOULDBLOCK || nErr == EINTR || nErr == EBUSY))
            m_eWant = CPoller::Want::Write;
    } else {
        // TLS in this process: a slice of the file is read and goes out as bytes.
        std::string slice;
        if (piece.pFile->ReadAt(piece.nOffset, std::min(nWant, kTlsFileSlice), slice) != 0 || slice.empty()) {
            m_eWant = CPoller::Want::Nothing;
            return -1;
        }
        piece.nOffset += static_cast<std::int64_t>(slice.size());
        piece.nLength -= slice.size();
        if (piece.nLength == 0)
            m_out.pop_front();
        CWebBody::Piece bytes;
        bytes.nLength = slice.size();
        bytes.bytes = std::move(slice);
        m_out.push_front(std::move(bytes));
        return 0;
    }
    if (n == 0) {  // the file is shorter than its range: the answer cannot be whole
        m_eWant = CPoller::Want::Nothing;
        return -1;
    }
    return n;
}

CWebConnection::Send CWebConnection::SendNoWait(std::size_t nBudget, std::size_t* pSent, std::uint64_t nFileMax,
                                               std::uint64_t* pFileSent)
{
    std::size_t nSent = 0;
    std::uint64_t nFileSent = 0;
    auto report = [&] {
        if (pSent)
            *pSent = nSent;
        if (pFileSent)
            *pFileSent = nFileSent;
    };
    while (!m_out.empty() && nSent < nBudget) {
        const bool bFile = m_out.front().pFile != nullptr;
        if (bFile && nFileSent >= nFileMax) {
            m_eOutWant = CPoller::Want::Write;
            report();
            return Send::Held;
        }
        const std::size_t nMax =
            bFile ? static_cast<std::size_t>(std::min<std::uint64_t>(nBudget - nSent, nFileMax - nFileSent))
                  : nBudget - nSent;
        ssize_t n = x_SendFront(nMax);
        if (n < 0) {
            m_eOutWant = m_eWant;
            report();
            return m_eWant == CPoller::Want::Nothing ? Send::Failed : Send::Wait;
        }
        if (bFile && n == 0) {  // a TLS slice of the file was read: it counts as sent from the file
            nFileSent += m_out.front().nLength;
            continue;
        }
        const auto nDone = static_cast<std::size_t>(n);
        CWebBody::Piece& front = m_out.front();
        nSent += nDone;
        m_nBacklog -= nDone;
        if (front.pFile) {
            nFileSent += nDone;
            front.nOffset += static_cast<std::int64_t>(nDone);
            front.nLength -= nDone;
            if (front.nLength == 0)
                m_out.pop_front();
        } else if ((m_nOutPos += nDone) == front.bytes.size()) {
            m_out.pop_front();
            m_nOutPos = 0;
        }
    }
    report();
    // Over budget the socket may still take more: the poller finds it writable at once.
    m_eOutWant = CPoller::Want::Write;
    return m_out.empty() ? Send::Done : Send::Wait;
}

bool CWebConnection::x_SendAllWaiting()
{
    for (;;) {
        Send eSend = SendNoWait(~std::size_t {0});
        if (eSend != Send::Wait)
            return eSend == Send::Done;
        m_eWant = m_eOutWant;
        if (!x_Wait(Timing().nWebWriteTimeoutMs))
            return false;
    }
}

void CWebConnection::SendAtOnce(const std::string& text)
{
    x_WriteNoWait(text.data(), text.size());
}

void CWebConnection::Abort()
{
    CSocketOps::ShutdownBoth(m_fd.Get());
}

bool CWebConnection::is_readable() const
{
    if (m_in.size() > m_nInPos || (m_pTls != nullptr && SSL_pending(m_pTls) > 0))
        return true;
    m_eWant = CPoller::Want::Read;
    return x_Wait(Timing().nWebReadTimeoutMs);
}

bool CWebConnection::is_writable() const
{
    return true;  // write waits for room itself, within the write time-out
}

ssize_t CWebConnection::read(char* ptr, size_t size)
{
    if (m_in.size() > m_nInPos) {
        std::size_t n = std::min(size, m_in.size() - m_nInPos);
        std::copy_n(m_in.data() + m_nInPos, n, ptr);
        m_nInPos += n;
        m_nScanned = m_nScanned > n ? m_nScanned - n : 0;
        m_nHeadEnd = m_nHeadEnd > n ? m_nHeadEnd - n : 0;
        if (m_nHeadEnd == 0)
            m_nBodyNeed = 0;
        return static_cast<ssize_t>(n);
    }
    // Whatever waits to go out goes first: the peer may wait for it (100 Continue)
    // before it sends.
    if (!m_out.empty() && !x_SendAllWaiting())
        return -1;
    for (;;) {
        ssize_t n = x_ReadNoWait(ptr, size);
        if (n >= 0)
            return n;
        if (!x_Wait(Timing().nWebReadTimeoutMs))
            return -1;
    }
}

ssize_t CWebConnection::write(const char* ptr, size_t size)
{
    // Only gathered: the worker sends what goes out at once, the poller the rest.
    x_Append(ptr, size);
    return static_cast<ssize_t>(size);
}

void CWebConnection::get_remote_ip_and_port(std::string& ip, int& port) const
{
    CSocketOps::PeerAddress(m_fd.Get(), ip, port);
}

void CWebConnection::get_local_ip_and_port(std::string& ip, int& port) const
{
    CSocketOps::LocalAddress(m_fd.Get(), ip, port);
}

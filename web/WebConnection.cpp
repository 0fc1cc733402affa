#include "web/WebConnection.h"

#include "platform/Poller.h"
#include "platform/SocketOps.h"
#include "platform/System.h"
#include "platform/Timing.h"

#include <algorithm>
#include <cerrno>

namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kOutFlushAt = 65536;  // the library's writes are gathered up to this

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
    }
    if (m_bBroken)
        return Fill::Closed;
    for (;;) {
        if (x_FindHeadEnd())
            return m_nHeadEnd <= nHeadMax ? Fill::Head : Fill::Oversize;
        if (m_in.size() - m_nInPos > nHeadMax)
            return Fill::Oversize;
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
    return true;
}

bool CWebConnection::HasHead(std::size_t nHeadMax)
{
    return x_FindHeadEnd() && m_nHeadEnd <= nHeadMax;
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

bool CWebConnection::x_SendAll(const char* ptr, std::size_t nSize)
{
    std::size_t nSent = 0;
    while (nSent < nSize) {
        ssize_t n = x_WriteNoWait(ptr + nSent, nSize - nSent);
        if (n > 0)
            nSent += static_cast<std::size_t>(n);
        else if (!x_Wait(Timing().nWebWriteTimeoutMs))
            return false;
    }
    return true;
}

bool CWebConnection::Flush()
{
    bool bOk = x_SendAll(m_out.data(), m_out.size());
    m_out.clear();
    return bOk;
}

void CWebConnection::SendNoWait(const std::string& text)
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
        return static_cast<ssize_t>(n);
    }
    // Whatever waits to go out goes first: the peer may wait for it before it sends.
    if (!m_out.empty() && !Flush())
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
    // Small pieces (the status line, each header) are gathered; a large body goes out
    // from where it is, without a copy.
    if (m_out.size() + size >= kOutFlushAt) {
        if (!Flush())
            return -1;
        if (size >= kOutFlushAt)
            return x_SendAll(ptr, size) ? static_cast<ssize_t>(size) : -1;
    }
    m_out.append(ptr, size);
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

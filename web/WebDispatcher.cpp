#include "web/WebDispatcher.h"

#include "platform/MutexLock.h"
#include "platform/MutexUniqueLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "web/WebConnection.h"

namespace {

const char kBusyAnswer[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kOversizeAnswer[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

} // namespace

CWebDispatcher::CWebDispatcher() = default;

CWebDispatcher::~CWebDispatcher()
{
    Stop();
}

int CWebDispatcher::Start(SSL_CTX* pTlsContext, ServeFn serve, std::size_t nWorkers, std::size_t nMaxConnections)
{
    m_pTls = pTlsContext;
    m_serve = std::move(serve);
    m_nMaxConnections = nMaxConnections;
    if (m_events.Open() != 0)
        return -1;
    m_poller = std::thread([this] { x_PollLoop(); });
    for (std::size_t i = 0; i < nWorkers; ++i)
        m_workers.emplace_back([this] { x_WorkerLoop(); });
    return 0;
}

void CWebDispatcher::Adopt(int fd)
{
    CMutexUniqueLock guard(m_lock);
    if (m_bStop || !m_events.IsOpen() || m_conns.size() >= m_nMaxConnections) {
        guard.Unlock();
        CWebConnection refused(fd, nullptr);  // closes fd on leaving
        if (m_pTls == nullptr)
            refused.SendNoWait(kBusyAnswer);
        return;
    }
    const std::uint64_t nId = m_nNextId++;
    Entry& entry = m_conns[nId];
    entry.pConn = std::make_unique<CWebConnection>(fd, m_pTls);
    // Connecting starts the clock: a client that never sends is dropped like one
    // that sends too slowly.
    entry.nExpiryMs = MonotonicMs() + Timing().nWebHeadWaitMs;
    if (!m_events.Add(fd, nId, CPoller::Want::Read))
        m_conns.erase(nId);
}

void CWebDispatcher::x_ArmLocked(std::uint64_t nId, Entry& entry, bool bWrite)
{
    if (!m_events.Rearm(entry.pConn->Fd(), nId, bWrite ? CPoller::Want::Write : CPoller::Want::Read))
        m_conns.erase(nId);
}

void CWebDispatcher::x_PollLoop()
{
    std::uint64_t ids[CPoller::kMaxReady];
    std::int64_t nNextSweep = MonotonicMs() + Timing().nPollMs;
    for (;;) {
        int n = m_events.Wait(ids, CPoller::kMaxReady, Timing().nPollMs);
        {
            CMutexLock guard(m_lock);
            if (m_bStop)
                return;
        }
        for (int i = 0; i < n; ++i)
            x_OnReady(ids[i]);
        if (MonotonicMs() >= nNextSweep) {
            x_CloseExpired();
            nNextSweep = MonotonicMs() + Timing().nPollMs;
        }
    }
}

void CWebDispatcher::x_OnReady(std::uint64_t nId)
{
    CWebConnection* pConn = nullptr;
    bool bClosing = false;
    {
        CMutexLock guard(m_lock);
        auto it = m_conns.find(nId);
        if (it == m_conns.end() || it->second.bBusy)
            return;
        pConn = it->second.pConn.get();
        bClosing = it->second.bClosing;
    }
    // Only the poller touches (and erases) a connection that no worker has, so it is
    // filled without the lock.
    CWebConnection::Fill fill = bClosing ? pConn->DiscardNoWait() : pConn->FillNoWait(kHeadMaxBytes);
    CMutexLock guard(m_lock);
    auto it = m_conns.find(nId);
    if (it == m_conns.end())
        return;
    Entry& entry = it->second;
    switch (fill) {
    case CWebConnection::Fill::Wait:
    case CWebConnection::Fill::WaitWrite:
        // The head must be whole within the head wait of its first byte.
        if (!entry.bRequestStarted && pConn->HasPartialRequest()) {
            entry.bRequestStarted = true;
            entry.nExpiryMs = MonotonicMs() + Timing().nWebHeadWaitMs;
        }
        x_ArmLocked(nId, entry, fill == CWebConnection::Fill::WaitWrite);
        break;
    case CWebConnection::Fill::Head:
        entry.bBusy = true;
        m_ready.push_back(nId);
        m_readyWake.NotifyOne();
        break;
    case CWebConnection::Fill::Oversize:
        // Closed at once with unread bytes, the socket would be reset and the answer
        // lost: the rest is read and dropped for a while first.
        pConn->SendNoWait(kOversizeAnswer);
        pConn->ShutdownSend();
        entry.bClosing = true;
        entry.nExpiryMs = MonotonicMs() + Timing().nWebLingerMs;
        x_ArmLocked(nId, entry, false);
        break;
    case CWebConnection::Fill::Closed:
        m_conns.erase(it);
        break;
    }
}

void CWebDispatcher::x_CloseExpired()
{
    const std::int64_t nNow = MonotonicMs();
    CMutexLock guard(m_lock);
    for (auto it = m_conns.begin(); it != m_conns.end();) {
        if (!it->second.bBusy && nNow >= it->second.nExpiryMs)
            it = m_conns.erase(it);
        else
            ++it;
    }
}

void CWebDispatcher::x_WorkerLoop()
{
    for (;;) {
        std::uint64_t nId = 0;
        CWebConnection* pConn = nullptr;
        std::size_t nServed = 0;
        {
            CMutexLock guard(m_lock);
            while (!m_bStop && m_ready.empty())
                m_readyWake.Wait(m_lock);
            if (m_bStop)
                return;
            nId = m_ready.front();
            m_ready.pop_front();
            auto it = m_conns.find(nId);
            if (it == m_conns.end())
                continue;
            pConn = it->second.pConn.get();
            nServed = it->second.nServed;
        }
        // Requests that came in one go (pipelined) are answered in order here.
        bool bKeep = true;
        for (;;) {
            const bool bLast = ++nServed >= kRequestsPerConnection;
            pConn->SetDeadline(MonotonicMs() + Timing().nWebReadTimeoutMs + Timing().nWebWriteTimeoutMs);
            bKeep = m_serve(*pConn, bLast) && !bLast;
            if (!bKeep || !pConn->HasHead(kHeadMaxBytes))
                break;
            CMutexLock guard(m_lock);
            if (m_bStop)
                break;
        }
        CMutexLock guard(m_lock);
        auto it = m_conns.find(nId);
        if (it == m_conns.end())
            continue;
        if (!bKeep || m_bStop) {
            m_conns.erase(it);
            continue;
        }
        Entry& entry = it->second;
        entry.bBusy = false;
        entry.nServed = nServed;
        entry.bRequestStarted = pConn->HasPartialRequest();
        entry.nExpiryMs =
            MonotonicMs() + (entry.bRequestStarted ? Timing().nWebHeadWaitMs : Timing().nWebKeepAliveMs);
        x_ArmLocked(nId, entry, false);
    }
}

void CWebDispatcher::Stop()
{
    {
        CMutexLock guard(m_lock);
        if (!m_events.IsOpen())
            return;
        m_bStop = true;
        // A worker waiting on its client's socket wakes at once.
        for (auto& [nId, entry] : m_conns) {
            if (entry.bBusy)
                entry.pConn->Abort();
        }
    }
    m_readyWake.NotifyAll();
    m_events.Wake();
    if (m_poller.joinable())
        m_poller.join();
    for (std::thread& worker : m_workers)
        worker.join();
    m_workers.clear();
    CMutexLock guard(m_lock);
    m_conns.clear();
    m_ready.clear();
    m_events.Close();
}

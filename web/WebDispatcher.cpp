#include "web/WebDispatcher.h"

#include "platform/MutexLock.h"
#include "platform/MutexUniqueLock.h"
#include "platform/SocketOps.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "web/WebConnection.h"

#include <algorithm>

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

int CWebDispatcher::Start(SSL_CTX* pTlsContext, ServeFn serve, std::size_t nWorkers, std::size_t nMaxConnections,
                          std::size_t nMaxPerClient, std::uint64_t nFileBytesPerSecond)
{
    m_budget.Configure(nFileBytesPerSecond, kSendSliceBytes, MonotonicMs());
    m_pTls = pTlsContext;
    m_serve = std::move(serve);
    m_nMaxConnections = nMaxConnections;
    m_nMaxPerClient = nMaxPerClient;
    if (m_events.Open() != 0)
        return -1;
    m_poller = std::thread([this] { x_PollLoop(); });
    for (std::size_t i = 0; i < nWorkers; ++i)
        m_workers.emplace_back([this] { x_WorkerLoop(); });
    return 0;
}

void CWebDispatcher::Adopt(int fd)
{
    std::string client;
    int nPort = 0;
    CSocketOps::PeerAddress(fd, client, nPort);
    CMutexUniqueLock guard(m_lock);
    // One address may not take the table from the others.
    auto itClient = m_perClient.find(client);
    const bool bClientFull = itClient != m_perClient.end() && itClient->second >= m_nMaxPerClient;
    if (m_bStop || !m_events.IsOpen() || m_conns.size() >= m_nMaxConnections || bClientFull) {
        guard.Unlock();
        CWebConnection refused(fd, nullptr);  // closes fd on leaving
        if (m_pTls == nullptr)
            refused.SendAtOnce(kBusyAnswer);
        return;
    }
    const std::uint64_t nId = m_nNextId++;
    Entry& entry = m_conns[nId];
    entry.pConn = std::make_unique<CWebConnection>(fd, m_pTls);
    // Connecting starts the clock: a client that never sends is dropped like one
    // that sends too slowly.
    entry.nExpiryMs = MonotonicMs() + Timing().nWebHeadWaitMs;
    entry.strClient = client;
    ++m_perClient[client];
    if (!m_events.Add(fd, nId, CPoller::Want::Read))
        x_EraseLocked(m_conns.find(nId));
}

void CWebDispatcher::x_EraseLocked(std::map<std::uint64_t, Entry>::iterator it)
{
    auto itClient = m_perClient.find(it->second.strClient);
    if (itClient != m_perClient.end() && --itClient->second == 0)
        m_perClient.erase(itClient);
    m_conns.erase(it);
}

void CWebDispatcher::x_ArmLocked(std::uint64_t nId, Entry& entry, bool bWrite)
{
    entry.bArmedWrite = bWrite;
    if (!m_events.Rearm(entry.pConn->Fd(), nId, bWrite ? CPoller::Want::Write : CPoller::Want::Read))
        x_EraseLocked(m_conns.find(nId));
}

void CWebDispatcher::x_PollLoop()
{
    std::uint64_t ids[CPoller::kMaxReady];
    std::int64_t nNextSweep = MonotonicMs() + Timing().nPollMs;
    for (;;) {
        int n = m_events.Wait(ids, CPoller::kMaxReady, x_WaitMs());
        {
            CMutexLock guard(m_lock);
            if (m_bStop)
                return;
        }
        x_ReadsFirst(ids, n);
        for (int i = 0; i < n; ++i)
            x_OnReady(ids[i]);
        x_ReleaseHeld();
        if (MonotonicMs() >= nNextSweep) {
            x_CloseExpired();
            nNextSweep = MonotonicMs() + Timing().nPollMs;
        }
    }
}

void CWebDispatcher::x_ReadsFirst(std::uint64_t* pIds, int n)
{
    if (n <= 1)
        return;
    std::uint64_t writes[CPoller::kMaxReady];
    int nReads = 0, nWrites = 0;
    CMutexLock guard(m_lock);
    for (int i = 0; i < n; ++i) {
        auto it = m_conns.find(pIds[i]);
        if (it != m_conns.end() && it->second.bArmedWrite)
            writes[nWrites++] = pIds[i];
        else
            pIds[nReads++] = pIds[i];
    }
    std::copy_n(writes, nWrites, pIds + nReads);
}

CWebConnection::Send CWebDispatcher::x_SendSlice(CWebConnection& conn, std::size_t* pSent)
{
    if (!m_budget.Limited())
        return conn.SendNoWait(kSendSliceBytes, pSent);
    const std::uint64_t nGranted = m_budget.Take(kSendSliceBytes, MonotonicMs());
    std::uint64_t nFileSent = 0;
    const CWebConnection::Send eSend = conn.SendNoWait(kSendSliceBytes, pSent, nGranted, &nFileSent);
    m_budget.Return(nGranted - std::min(nGranted, nFileSent));
    return eSend;
}

void CWebDispatcher::x_HoldLocked(std::uint64_t nId, Entry& entry)
{
    if (entry.bHeld)
        return;
    entry.bHeld = true;
    m_held.push_back(nId);
}

int CWebDispatcher::x_WaitMs()
{
    {
        CMutexLock guard(m_lock);
        if (m_held.empty())
            return Timing().nPollMs;
    }
    return std::min(Timing().nPollMs, std::max(1, m_budget.WaitMs(kSendSliceBytes, MonotonicMs())));
}

void CWebDispatcher::x_ReleaseHeld()
{
    {
        CMutexLock guard(m_lock);
        if (m_held.empty())
            return;
    }
    if (m_budget.WaitMs(kSendSliceBytes, MonotonicMs()) > 0)
        return;
    CMutexLock guard(m_lock);
    const std::int64_t nNow = MonotonicMs();
    // Oldest first: they become writable, and are reported, in this order.
    std::deque<std::uint64_t> held;
    held.swap(m_held);
    for (std::uint64_t nId : held) {
        auto it = m_conns.find(nId);
        if (it == m_conns.end() || !it->second.bHeld)
            continue;
        Entry& entry = it->second;
        entry.bHeld = false;
        // The time its client has to take the output starts again.
        entry.nExpiryMs = nNow + Timing().nWebWriteTimeoutMs;
        if (!entry.bBusy)  // a worker's connection is watched again when it returns
            x_ArmLocked(nId, entry, true);
    }
}

void CWebDispatcher::x_OnReady(std::uint64_t nId)
{
    CWebConnection* pConn = nullptr;
    bool bClosing = false;
    bool bCloseWhenSent = false;
    {
        CMutexLock guard(m_lock);
        auto it = m_conns.find(nId);
        if (it == m_conns.end() || it->second.bBusy || it->second.bHeld)
            return;
        pConn = it->second.pConn.get();
        bClosing = it->second.bClosing;
        bCloseWhenSent = it->second.bCloseWhenSent;
    }
    // Only the poller touches (and erases) a connection that no worker has, so it is
    // sent from and filled without the lock.
    std::size_t nSent = 0;
    CWebConnection::Send eSend = CWebConnection::Send::Done;
    if (!bClosing && pConn->Backlog() > 0)
        eSend = x_SendSlice(*pConn, &nSent);
    // Requests wait while too much of the answers waits.
    const bool bRead = eSend != CWebConnection::Send::Failed && !bCloseWhenSent &&
                       pConn->Backlog() <= kBacklogMaxBytes;
    CWebConnection::Fill fill = CWebConnection::Fill::Wait;
    if (bClosing)
        fill = pConn->DiscardNoWait();
    else if (bRead)
        fill = pConn->FillNoWait(kHeadMaxBytes);
    CMutexLock guard(m_lock);
    auto it = m_conns.find(nId);
    if (it == m_conns.end())
        return;
    Entry& entry = it->second;
    if (eSend == CWebConnection::Send::Failed || (bCloseWhenSent && pConn->Backlog() == 0)) {
        x_EraseLocked(it);
        return;
    }
    if (nSent > 0)  // the client reads: its output may wait again
        entry.nExpiryMs = MonotonicMs() + Timing().nWebWriteTimeoutMs;
    const bool bHeld = eSend == CWebConnection::Send::Held;
    if (!bClosing && !bRead) {
        if (bHeld)
            x_HoldLocked(nId, entry);
        else
            x_ArmLocked(nId, entry, pConn->OutputWant() == CPoller::Want::Write);
        return;
    }
    x_AfterFillLocked(nId, entry, fill, nSent > 0, bHeld);
}

void CWebDispatcher::x_AfterFillLocked(std::uint64_t nId, Entry& entry, CWebConnection::Fill fill, bool bDrained,
                                       bool bHeld)
{
    CWebConnection& conn = *entry.pConn;
    const std::int64_t nNow = MonotonicMs();
    switch (fill) {
    case CWebConnection::Fill::Wait:
    case CWebConnection::Fill::WaitWrite:
        if (bHeld) {
            x_HoldLocked(nId, entry);
            break;
        }
        if (!entry.bClosing && conn.Backlog() > 0) {
            x_ArmLocked(nId, entry, conn.OutputWant() == CPoller::Want::Write);
            break;
        }
        if (bDrained) {  // the output has just gone: idle, or a head on its way
            entry.bRequestStarted = conn.HasPartialRequest();
            entry.nExpiryMs = nNow + (entry.bRequestStarted ? Timing().nWebHeadWaitMs : Timing().nWebKeepAliveMs);
        }
        // The head must be whole within the head wait of its first byte.
        if (!entry.bRequestStarted && conn.HasPartialRequest()) {
            entry.bRequestStarted = true;
            entry.nExpiryMs = nNow + Timing().nWebHeadWaitMs;
        }
        x_ArmLocked(nId, entry, fill == CWebConnection::Fill::WaitWrite);
        break;
    case CWebConnection::Fill::Head:
        if (entry.nServed == 0 && conn.KernelTls())
            m_nKernelTls.fetch_add(1, std::memory_order_relaxed);
        entry.bBusy = true;
        m_ready.push_back(nId);
        m_readyWake.NotifyOne();
        break;
    case CWebConnection::Fill::Oversize:
        // Answers still waiting to go out would come after the refusal: closed.
        if (conn.Backlog() > 0) {
            x_EraseLocked(m_conns.find(nId));
            break;
        }
        // Closed at once with unread bytes, the socket would be reset and the answer
        // lost: the rest is read and dropped for a while first.
        conn.SendAtOnce(kOversizeAnswer);
        conn.ShutdownSend();
        entry.bClosing = true;
        entry.nExpiryMs = nNow + Timing().nWebLingerMs;
        x_ArmLocked(nId, entry, false);
        break;
    case CWebConnection::Fill::Closed:
        x_EraseLocked(m_conns.find(nId));
        break;
    }
}

void CWebDispatcher::x_CloseExpired()
{
    const std::int64_t nNow = MonotonicMs();
    CMutexLock guard(m_lock);
    for (auto it = m_conns.begin(); it != m_conns.end();) {
        if (!it->second.bBusy && !it->second.bHeld && nNow >= it->second.nExpiryMs)
            x_EraseLocked(it++);
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
        // Requests that came in one go (pipelined) are answered in order here, as long
        // as their answers go out.
        bool bKeep = true;
        bool bSendFailed = false;
        for (;;) {
            const bool bLast = ++nServed >= kRequestsPerConnection;
            pConn->SetDeadline(MonotonicMs() + Timing().nWebReadTimeoutMs);
            bKeep = m_serve(*pConn, bLast) && !bLast;
            // The answer's head goes out now, its files' bytes from the poller: the
            // worker is free at once for the next request (a status poll waits for no
            // file slice).
            if (pConn->SendNoWait(kSendSliceBytes, nullptr, 0) == CWebConnection::Send::Failed) {
                bSendFailed = true;
                break;
            }
            if (!bKeep || pConn->Backlog() > kBacklogMaxBytes || !pConn->HasHead(kHeadMaxBytes))
                break;
            CMutexLock guard(m_lock);
            if (m_bStop)
                break;
        }
        CMutexLock guard(m_lock);
        auto it = m_conns.find(nId);
        if (it == m_conns.end())
            continue;
        it->second.nServed = nServed;
        x_ReturnLocked(nId, it->second, bKeep, bSendFailed);
    }
}

void CWebDispatcher::x_ReturnLocked(std::uint64_t nId, Entry& entry, bool bKeep, bool bSendFailed)
{
    CWebConnection& conn = *entry.pConn;
    if (bSendFailed || m_bStop || (!bKeep && conn.Backlog() == 0)) {
        x_EraseLocked(m_conns.find(nId));
        return;
    }
    entry.bBusy = false;
    const std::int64_t nNow = MonotonicMs();
    if (conn.Backlog() > 0) {
        // The rest goes out from the poller; a client that stops reading is closed.
        entry.bCloseWhenSent = !bKeep;
        entry.nExpiryMs = nNow + Timing().nWebWriteTimeoutMs;
        x_ArmLocked(nId, entry, conn.OutputWant() == CPoller::Want::Write);
        return;
    }
    entry.bRequestStarted = conn.HasPartialRequest();
    entry.nExpiryMs = nNow + (entry.bRequestStarted ? Timing().nWebHeadWaitMs : Timing().nWebKeepAliveMs);
    x_ArmLocked(nId, entry, false);
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
    m_perClient.clear();
    m_ready.clear();
    m_held.clear();
    m_events.Close();
}

#pragma once

#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/Poller.h"
#include "platform/ThreadSafety.h"
#include "web/WebConnection.h"
#include "web/WebSendBudget.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

// Runs the dashboard's client connections: one poller thread holds every connection
// that waits (for its TLS handshake, its request head, or idle between requests) and
// reads without waiting; a small pool of workers answers the connections whose head
// is whole. A silent or slow client thus holds a slot of the bounded table, never a
// worker, and is closed when its head does not arrive in time.
//
// Answers never wait to be sent either: a worker sends what goes out at once of the
// answer's bytes and leaves the rest, and every file range, in the connection's output,
// which the poller sends as the socket becomes writable (a large file a slice per turn). Each of its turns takes the
// connections waiting for a request first and sends slices after, one per connection
// in the order they became writable, so that a short answer never waits behind more
// than a slice of each file being sent. An optional budget caps the bytes per second
// sent from files; a connection that finds it spent waits, unwatched, until it has
// refilled. While more than kBacklogMaxBytes
// wait there, no further request of that connection is parsed, so a client that
// does not read its answers holds a bounded backlog and no worker; one whose output
// does not move within the write time-out is closed.
class CWebDispatcher {
public:
    // Answers the request whose head waits in the connection; true when the
    // connection may stay open for another. bLast: the connection must close after it.
    using ServeFn = std::function<bool(CWebConnection& conn, bool bLast)>;

    static constexpr std::size_t kWorkers = 4;
    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kHeadMaxBytes = 16384;       // a longer head is answered 431
    static constexpr std::size_t kRequestsPerConnection = 1000;
    static constexpr std::size_t kMaxPerClient = 32;                 // connections from one address
    static constexpr std::uint64_t kBacklogMaxBytes = 256 * 1024;     // output past which requests wait
    static constexpr std::size_t kSendSliceBytes = 256 * 1024;       // sent for one connection per turn

    CWebDispatcher();
    ~CWebDispatcher();  // Stop()
    CWebDispatcher(const CWebDispatcher&) = delete;
    CWebDispatcher& operator=(const CWebDispatcher&) = delete;

    // Starts the poller and nWorkers workers; pTlsContext null for plain HTTP;
    // nFileBytesPerSecond caps what goes out from files over all connections, 0 for no
    // limit. 0, or -1 when the poller cannot be set up. Starter's thread, once.
    int Start(SSL_CTX* pTlsContext, ServeFn serve, std::size_t nWorkers = kWorkers,
              std::size_t nMaxConnections = kMaxConnections, std::size_t nMaxPerClient = kMaxPerClient,
              std::uint64_t nFileBytesPerSecond = 0);
    // Takes an accepted socket. Over the connection bound, or over the bound of its
    // client's address, it is refused at once (503 on plain HTTP). The accepting thread.
    void Adopt(int fd) EXCLUDES(m_lock);
    // TLS connections whose files the kernel encrypts (SSL_sendfile); the others read
    // and encrypt in this process. Any thread.
    std::uint64_t KernelTlsConnections() const { return m_nKernelTls.load(std::memory_order_relaxed); }
    // Closes every connection and ends the threads; a worker that is answering is cut
    // off. The starter's thread, after accepting has ended.
    void Stop() EXCLUDES(m_lock);

private:
    struct Entry {
        std::unique_ptr<CWebConnection> pConn;
        std::int64_t nExpiryMs = 0;  // closed at this time unless with a worker
        bool bBusy = false;          // with a worker: the poller leaves it alone
        bool bRequestStarted = false;  // bytes of a request (or handshake) have arrived
        bool bClosing = false;       // refused: what arrives is dropped until it ends
        bool bCloseWhenSent = false; // its last answer is in the output
        bool bArmedWrite = false;    // watched for room to write (else for bytes to read)
        bool bHeld = false;          // waits for the file budget, unwatched and never expiring
        std::size_t nServed = 0;
        std::string strClient;       // the peer's address, for the per-client bound
    };

    void x_PollLoop() EXCLUDES(m_lock);
    void x_WorkerLoop() EXCLUDES(m_lock);
    // The poller's turn for one connection whose socket is ready.
    void x_OnReady(std::uint64_t nId) EXCLUDES(m_lock);
    // Puts the connections that wait for a request before those that wait to send.
    void x_ReadsFirst(std::uint64_t* pIds, int n) EXCLUDES(m_lock);
    // Sends a slice of the output within the file budget; Held when it is spent.
    CWebConnection::Send x_SendSlice(CWebConnection& conn, std::size_t* pSent = nullptr);
    // Leaves the connection unwatched until the budget has refilled (caller holds m_lock).
    void x_HoldLocked(std::uint64_t nId, Entry& entry) REQUIRES(m_lock);
    // Watches the held connections again once the budget allows a slice.
    void x_ReleaseHeld() EXCLUDES(m_lock);
    // How long the poller may wait: shorter while connections wait for the budget.
    int x_WaitMs() EXCLUDES(m_lock);
    // Watches the connection's socket for what it waits for (caller holds m_lock).
    void x_ArmLocked(std::uint64_t nId, Entry& entry, bool bWrite) REQUIRES(m_lock);
    void x_CloseExpired() EXCLUDES(m_lock);
    // The poller's turn goes on with what filling the connection found; bDrained: its
    // output has just been sent whole.
    void x_AfterFillLocked(std::uint64_t nId, Entry& entry, CWebConnection::Fill fill, bool bDrained, bool bHeld)
        REQUIRES(m_lock);
    // Sends output for the poller; false when the connection is done with (closed).
    bool x_SendForPoller(std::uint64_t nId, CWebConnection& conn) EXCLUDES(m_lock);
    // Hands a connection back to the poller after a worker's turn (caller holds m_lock).
    void x_ReturnLocked(std::uint64_t nId, Entry& entry, bool bKeep, bool bSendFailed) REQUIRES(m_lock);
    // Removes a connection and its place in the per-client count.
    void x_EraseLocked(std::map<std::uint64_t, Entry>::iterator it) REQUIRES(m_lock);

    SSL_CTX* m_pTls = nullptr;
    ServeFn m_serve;
    std::size_t m_nMaxConnections = kMaxConnections;
    std::size_t m_nMaxPerClient = kMaxPerClient;
    std::atomic<std::uint64_t> m_nKernelTls {0};
    CWebSendBudget m_budget;
    CPoller m_events;  // the waiting connections' sockets, by id; Wake ends the poller's wait

    mutable CMutex m_lock;  // never held while serving
    CCondition m_readyWake;  // a head is ready, or the dispatcher stops
    std::map<std::uint64_t, Entry> m_conns GUARDED_BY(m_lock);  // by id; a socket number may be reused, an id not
    std::deque<std::uint64_t> m_ready GUARDED_BY(m_lock);       // whole heads waiting for a worker
    std::map<std::string, std::size_t> m_perClient GUARDED_BY(m_lock);  // open connections by address
    std::deque<std::uint64_t> m_held GUARDED_BY(m_lock);        // waiting for the file budget, oldest first
    std::uint64_t m_nNextId GUARDED_BY(m_lock) = 1;
    bool m_bStop GUARDED_BY(m_lock) = false;

    // Started and joined by the starter's thread.
    std::thread m_poller;
    std::vector<std::thread> m_workers;
};

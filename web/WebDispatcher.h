#pragma once

#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/Poller.h"
#include "platform/ThreadSafety.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

class CWebConnection;

// Runs the dashboard's client connections: one poller thread holds every connection
// that waits (for its TLS handshake, its request head, or idle between requests) and
// reads without waiting; a small pool of workers answers the connections whose head
// is whole. A silent or slow client thus holds a slot of the bounded table, never a
// worker, and is closed when its head does not arrive in time.
class CWebDispatcher {
public:
    // Answers the request whose head waits in the connection; true when the
    // connection may stay open for another. bLast: the connection must close after it.
    using ServeFn = std::function<bool(CWebConnection& conn, bool bLast)>;

    static constexpr std::size_t kWorkers = 4;
    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kHeadMaxBytes = 16384;       // a longer head is answered 431
    static constexpr std::size_t kRequestsPerConnection = 1000;

    CWebDispatcher();
    ~CWebDispatcher();  // Stop()
    CWebDispatcher(const CWebDispatcher&) = delete;
    CWebDispatcher& operator=(const CWebDispatcher&) = delete;

    // Starts the poller and nWorkers workers; pTlsContext null for plain HTTP. 0, or
    // -1 when the poller cannot be set up. Starter's thread, once.
    int Start(SSL_CTX* pTlsContext, ServeFn serve, std::size_t nWorkers = kWorkers,
              std::size_t nMaxConnections = kMaxConnections);
    // Takes an accepted socket. Over the connection bound it is refused at once (503).
    // The accepting thread.
    void Adopt(int fd) EXCLUDES(m_lock);
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
        std::size_t nServed = 0;
    };

    void x_PollLoop() EXCLUDES(m_lock);
    void x_WorkerLoop() EXCLUDES(m_lock);
    // The poller's turn for one connection whose socket is ready.
    void x_OnReady(std::uint64_t nId) EXCLUDES(m_lock);
    // Watches the connection's socket for what it waits for (caller holds m_lock).
    void x_ArmLocked(std::uint64_t nId, Entry& entry, bool bWrite) REQUIRES(m_lock);
    void x_CloseExpired() EXCLUDES(m_lock);

    SSL_CTX* m_pTls = nullptr;
    ServeFn m_serve;
    std::size_t m_nMaxConnections = kMaxConnections;
    CPoller m_events;  // the waiting connections' sockets, by id; Wake ends the poller's wait

    mutable CMutex m_lock;  // never held while serving
    CCondition m_readyWake;  // a head is ready, or the dispatcher stops
    std::map<std::uint64_t, Entry> m_conns GUARDED_BY(m_lock);  // by id; a socket number may be reused, an id not
    std::deque<std::uint64_t> m_ready GUARDED_BY(m_lock);       // whole heads waiting for a worker
    std::uint64_t m_nNextId GUARDED_BY(m_lock) = 1;
    bool m_bStop GUARDED_BY(m_lock) = false;

    // Started and joined by the starter's thread.
    std::thread m_poller;
    std::vector<std::thread> m_workers;
};

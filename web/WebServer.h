#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "web/WebApi.h"
#include "web/WebSettings.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}
class CWebApi;
class CWebDispatcher;

// The dashboard's HTTP(S) server: started and stopped with the download server.
// The HTTP library parses requests and writes answers; connections are run by a
// CWebDispatcher, answers made by a CWebApi.
class CWebServer {
public:
    CWebServer();
    ~CWebServer();  // Stop()
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Starts serving as settings say, with a log line either way: 0 when serving or
    // turned off (port 0), -1 when it cannot (no token on an address other machines
    // reach, a certificate without key, a port that cannot be bound). Answers report
    // what server says of the download server (its token is taken from settings).
    // The thread that starts the download server.
    int Start(const WebSettings& settings, CWebApi::Config server) EXCLUDES(m_lock);
    // Stops serving and closes every connection. The thread that stops the download
    // server; does nothing when not serving.
    void Stop() EXCLUDES(m_lock);

    // Whether it serves now. Any thread.
    bool IsServing() const { return m_bServing; }
    // TLS connections so far whose file bodies the kernel encrypts; 0 when not
    // serving. The thread that starts and stops it.
    std::uint64_t KernelTlsConnections() EXCLUDES(m_lock);
    // The port served; 0 when not serving. Any thread.
    std::uint16_t Port() const { return m_nPort; }

private:
    CMutex m_lock;  // serialises Start and Stop
    std::unique_ptr<CWebApi> m_pApi GUARDED_BY(m_lock);
    std::unique_ptr<CWebDispatcher> m_pDispatcher GUARDED_BY(m_lock);
    std::unique_ptr<httplib::Server> m_pHttp GUARDED_BY(m_lock);
    std::thread m_listener GUARDED_BY(m_lock);
    // Read without the lock by IsServing, Port and the listener thread.
    std::atomic<bool> m_bListening {false};
    std::atomic<bool> m_bServing {false};
    std::atomic<std::uint16_t> m_nPort {0};
};

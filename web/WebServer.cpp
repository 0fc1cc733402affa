#include "web/WebServer.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/SocketOps.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "web/WebApi.h"
#include "web/WebConnection.h"
#include "web/WebDispatcher.h"

#include <httplib.h>

namespace {

constexpr std::size_t kPayloadMaxBytes = 4096;
constexpr int kListenBacklog = 256;

// What the answer to the request being served decided, for the worker that serves it.
struct Turn {
    CWebConnection* pConn = nullptr;  // the connection served
    bool bHandled = false;  // CWebApi answered (not the library, on a malformed request)
    bool bKeep = false;     // and the connection may stay open
    CWebBody body;          // sent after the head the library writes
};
thread_local Turn t_turn;

// Runs every accepted connection on the inline queue's caller, the accepting thread,
// which only hands it to the dispatcher.
class CInlineQueue : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

// The library's server (plain or TLS) with connections handed to the dispatcher
// instead of a thread each: the library keeps parsing requests and writing answers
// through process_request.
template <class Base>
class CHttpFront final : public Base {
public:
    template <class... Args>
    explicit CHttpFront(CWebDispatcher& dispatcher, Args&&... args)
        : Base(std::forward<Args>(args)...), m_dispatcher(dispatcher)
    {
    }

    // Lets more connections wait to be accepted than the library's backlog of 5, which
    // a burst of browsers and pollers overflows (the kernel then drops their SYNs and
    // they retry a second or more later). After binding.
    void WidenBacklog() { CSocketOps::Listen(this->svr_sock_, kListenBacklog); }

    // Answers one request of conn; true when the connection may stay open. Workers.
    bool Serve(CWebConnection& conn, bool bLast)
    {
        t_turn = Turn {};
        t_turn.pConn = &conn;
        bool bClosed = false;
        bool bOk = this->process_request(conn, bLast, bClosed, nullptr);
        conn.QueueBody(std::move(t_turn.body));
        t_turn.pConn = nullptr;
        return bOk && !bClosed && t_turn.bHandled && t_turn.bKeep;
    }

private:
    bool process_and_close_socket(socket_t sock) override
    {
        m_dispatcher.Adopt(sock);
        return true;
    }

    CWebDispatcher& m_dispatcher;
};

// Keeps the port to ourselves: the library's default (SO_REUSEPORT) would let a
// second server bind the same port and share its clients.
void ListenerOptions(socket_t sock)
{
    CSocketOps::SetReuseAddress(sock);
}

// The URL of the dashboard on addr:port, for the log.
std::string DashboardUrl(const WebSettings& settings, bool bTls)
{
    std::string host = settings.strAddr.find(':') != std::string::npos && settings.strAddr.front() != '['
                           ? "[" + settings.strAddr + "]"
                           : settings.strAddr;
    return Format("%s://%s:%u/", bTls ? "https" : "http", host.c_str(), static_cast<unsigned>(settings.nPort));
}

// Why settings cannot serve the dashboard, or "" when they can.
std::string SettingsRefusal(const WebSettings& settings, bool bTls)
{
    const bool bRemote = !IsLoopbackAddress(settings.strAddr);
    if (bRemote && settings.strToken.empty())
        return "Web dashboard not started: httpaddr " + settings.strAddr +
               " is reachable from other machines, so httptoken must be set";
    // A short token is guessed in no time by whoever reaches the port.
    for (const auto& [szKey, token] : {std::pair<const char*, const std::string&>("httptoken", settings.strToken),
                                       std::pair<const char*, const std::string&>("footagetoken", settings.strFootageToken)}) {
        if (bRemote && !token.empty() && token.size() < kMinRemoteTokenLength)
            return Format("Web dashboard not started: httpaddr %s is reachable from other machines, so %s must be at "
                          "least %zu characters long",
                          settings.strAddr.c_str(), szKey, kMinRemoteTokenLength);
    }
    if (bTls && (settings.strCert.empty() || settings.strKey.empty()))
        return "Web dashboard not started: HTTPS needs both httpcert and httpkey";
    return {};
}

// The library's server, plain or TLS, and how the dispatcher and the listener's set-up
// reach it.
struct FrontEnd {
    std::unique_ptr<httplib::Server> pHttp;
    CWebDispatcher::ServeFn serve;
    std::function<void()> widenBacklog;
    SSL_CTX* pTlsContext = nullptr;
};

// pFront with the calls the dispatcher and the listener's set-up make.
template <class Base>
FrontEnd Wrap(std::unique_ptr<CHttpFront<Base>> pFront)
{
    FrontEnd front;
    auto* pRaw = pFront.get();
    front.serve = [pRaw](CWebConnection& conn, bool bLast) { return pRaw->Serve(conn, bLast); };
    front.widenBacklog = [pRaw] { pRaw->WidenBacklog(); };
    front.pHttp = std::move(pFront);
    return front;
}

// The server for settings, handing its connections to dispatcher; with bTls none when
// the certificate and key cannot be loaded (logged).
FrontEnd MakeFrontEnd(CWebDispatcher& dispatcher, const WebSettings& settings, bool bTls)
{
    if (!bTls)
        return Wrap(std::make_unique<CHttpFront<httplib::Server>>(dispatcher));
    auto pFront = std::make_unique<CHttpFront<httplib::SSLServer>>(dispatcher, settings.strCert.c_str(),
                                                                   settings.strKey.c_str());
    if (!pFront->is_valid()) {
        WriteLog("Web dashboard not started: cannot load httpcert " + settings.strCert + " and httpkey " +
                 settings.strKey);
        return {};
    }
    SSL_CTX* pTlsContext = pFront->ssl_context();
    // The kernel encrypts where it can, so that file ranges go out by SSL_sendfile.
    SSL_CTX_set_options(pTlsContext, SSL_OP_ENABLE_KTLS);
    FrontEnd front = Wrap(std::move(pFront));
    front.pTlsContext = pTlsContext;
    return front;
}

// The body of a request whose method carries one, read from the connection (the
// poller gathered it): the library reads bodies only after our handler. False, with
// the answer in res, when it cannot be read.
bool ReadBody(const httplib::Request& req, httplib::Response& res, std::string& body)
{
    const bool bCarries = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE";
    if (!bCarries || !req.has_header("Content-Length") || req.has_header("Transfer-Encoding"))
        return true;
    const std::string length = req.get_header_value("Content-Length");
    if (length.empty() || length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) {
        res.status = 400;
        return false;
    }
    const std::uint64_t nLength = std::stoull(length);
    if (nLength > kPayloadMaxBytes) {
        res.status = 413;
        return false;
    }
    body.resize(static_cast<std::size_t>(nLength));
    for (std::size_t nDone = 0; nDone < body.size();) {
        ssize_t n = t_turn.pConn->read(body.data() + nDone, body.size() - nDone);
        if (n <= 0) {
            res.status = 400;
            return false;
        }
        nDone += static_cast<std::size_t>(n);
    }
    return true;
}

// Every request goes to pApi (a 500 should it throw); the library only parses and
// writes, through our queue and with our limits.
void SetUpHttp(httplib::Server& http, CWebApi* pApi)
{
    http.set_pre_routing_handler([pApi](const httplib::Request& req, httplib::Response& res) {
        t_turn.bHandled = true;
        try {
            std::string body;
            t_turn.bKeep = ReadBody(req, res, body) && pApi->Handle(req, body, res, t_turn.body);
        } catch (const std::exception&) {
            res = httplib::Response {};
            res.status = 500;
            t_turn.body = CWebBody {};
            t_turn.bKeep = false;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    http.new_task_queue = [] { return new CInlineQueue; };
    http.set_socket_options(ListenerOptions);
    http.set_payload_max_length(kPayloadMaxBytes);
    // Only the Keep-Alive header's figures: the dispatcher applies the time-outs.
    http.set_keep_alive_max_count(CWebDispatcher::kRequestsPerConnection);
    http.set_keep_alive_timeout(std::max(1, Timing().nWebKeepAliveMs / 1000));
}

} // namespace

CWebServer::CWebServer() = default;

CWebServer::~CWebServer()
{
    Stop();
}

int CWebServer::Start(const WebSettings& settings, CWebApi::Config server)
{
    CMutexLock guard(m_lock);
    if (m_bServing || settings.nPort == 0)
        return 0;
    const bool bTls = !settings.strCert.empty() || !settings.strKey.empty();
    const std::string strRefusal = SettingsRefusal(settings, bTls);
    if (!strRefusal.empty()) {
        WriteLog(strRefusal);
        return -1;
    }
    IgnoreSigPipe();  // TLS writes to a peer that left must not end the process

    auto pDispatcher = std::make_unique<CWebDispatcher>();
    FrontEnd front = MakeFrontEnd(*pDispatcher, settings, bTls);
    if (!front.pHttp)
        return -1;
    server.strToken = settings.strToken;
    server.strFootageToken = settings.strFootageToken;
    server.bLoopback = IsLoopbackAddress(settings.strAddr);
    server.bTls = bTls;
    auto pApi = std::make_unique<CWebApi>(std::move(server));
    SetUpHttp(*front.pHttp, pApi.get());
    if (!front.pHttp->bind_to_port(settings.strAddr, settings.nPort)) {
        WriteLog(Format("Web dashboard not started: cannot listen on %s port %u", settings.strAddr.c_str(),
                        static_cast<unsigned>(settings.nPort)));
        return -1;
    }
    front.widenBacklog();
    if (pDispatcher->Start(front.pTlsContext, std::move(front.serve), CWebDispatcher::kWorkers,
                           CWebDispatcher::kMaxConnections, settings.nMaxPerClient,
                           std::uint64_t {settings.nFootageMaxMBs} * 1000000) != 0) {
        WriteLog("Web dashboard not started: cannot set up its connections");
        return -1;
    }
    m_pApi = std::move(pApi);
    m_pDispatcher = std::move(pDispatcher);
    m_pHttp = std::move(front.pHttp);
    m_bListening = true;
    // The server lives until Stop has joined this thread.
    httplib::Server* pServer = m_pHttp.get();
    m_listener = std::thread([this, pServer] {
        pServer->listen_after_bind();
        m_bListening = false;
    });
    m_nPort = settings.nPort;
    m_bServing = true;
    WriteLog("Web dashboard at " + DashboardUrl(settings, bTls));
    return 0;
}

void CWebServer::Stop()
{
    CMutexLock guard(m_lock);
    if (!m_bServing)
        return;
    // The library ignores stop() until its accept loop runs, and must be told once.
    while (m_bListening && !m_pHttp->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (m_pHttp->is_running())
        m_pHttp->stop();
    m_listener.join();
    m_pDispatcher->Stop();
    m_pHttp.reset();
    m_pDispatcher.reset();
    m_pApi.reset();
    m_nPort = 0;
    m_bServing = false;
}

std::uint64_t CWebServer::KernelTlsConnections()
{
    CMutexLock guard(m_lock);
    return m_pDispatcher ? m_pDispatcher->KernelTlsConnections() : 0;
}

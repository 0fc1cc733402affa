#include "web/WebApi.h"

#include "central/CentralStore.h"
#include "core/Logger.h"
#include "core/ServerCounters.h"
#include "depot/FleetHistory.h"
#include "depot/TransferScheduler.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "vehicles/VehicleMgr.h"
#include "web/LogRing.h"
#include "web/WebAssets.h"
#include "web/WebSettings.h"
#include "web/WebViews.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

const char kJson[] = "application/json; charset=utf-8";
// /api/v1/fleet/{name}/missed
constexpr std::string_view kFleetPrefix = "/api/v1/fleet/";
constexpr std::string_view kMissedSuffix = "/missed";

// The page with its style sheet and script inline, so that it is one answer (the
// answer to a request without the token too, which then asks for it), and the
// content policy that lets exactly those two run.
struct Page {
    std::string strHtml;
    std::string strPolicy;
};

std::string Sha256Base64(std::string_view text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int nLen = 0;
    EVP_Digest(text.data(), text.size(), digest, &nLen, EVP_sha256(), nullptr);
    unsigned char encoded[2 * EVP_MAX_MD_SIZE];
    int nOut = EVP_EncodeBlock(encoded, digest, static_cast<int>(nLen));
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(nOut));
}

void ReplaceMark(std::string& html, const std::string& mark, const std::string& text)
{
    std::size_t nAt = html.find(mark);
    if (nAt != std::string::npos)
        html.replace(nAt, mark.size(), text);
}

const Page& DashboardPage()
{
    static const Page s_page = [] {
        Page page;
        page.strHtml = std::string(WebAssetText("index.html"));
        std::string style(WebAssetText("style.css"));
        std::string script(WebAssetText("app.js"));
        ReplaceMark(page.strHtml, "<!--style-->", "<style>" + style + "</style>");
        ReplaceMark(page.strHtml, "<!--script-->", "<script>" + script + "</script>");
        page.strPolicy = "default-src 'none'; style-src 'sha256-" + Sha256Base64(style) + "'; script-src 'sha256-" +
                         Sha256Base64(script) +
                         "'; connect-src 'self'; media-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
                         "frame-ancestors 'none'";
        return page;
    }();
    return s_page;
}

void SetPage(httplib::Response& res)
{
    const Page& page = DashboardPage();
    res.set_header("Content-Security-Policy", page.strPolicy);
    res.set_content(page.strHtml, "text/html; charset=utf-8");
}

void SetError(httplib::Response& res, int nStatus, const char* szText)
{
    res.status = nStatus;
    res.set_content(std::string("{\"error\":\"") + szText + "\"}", kJson);
}

// Equal texts, compared in time that does not depend on where they differ nor on the
// given text's length: their digests are compared in constant time.
// text compressed as a gzip stream; "" when zlib fails.
std::string Gzip(const std::string& text)
{
    z_stream stream {};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const bool bDone = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return bDone ? out : std::string();
}

// Whether the request's Accept-Encoding takes gzip (and does not refuse it with q=0).
bool AcceptsGzip(const httplib::Request& req)
{
    const std::string accepted = req.get_header_value("Accept-Encoding");
    std::size_t nAt = 0;
    while (nAt <= accepted.size()) {
        std::size_t nEnd = accepted.find(',', nAt);
        std::string item = accepted.substr(nAt, nEnd == std::string::npos ? std::string::npos : nEnd - nAt);
        item.erase(std::remove(item.begin(), item.end(), ' '), item.end());
        std::string coding = item.substr(0, item.find(';'));
        if (coding == "gzip" || coding == "*") {
            std::size_t nQ = item.find(";q=");
            return nQ == std::string::npos || std::strtod(item.c_str() + nQ + 3, nullptr) > 0;
        }
        if (nEnd == std::string::npos)
            break;
        nAt = nEnd + 1;
    }
    return false;
}

// Sends a shared rendered text without copying it into the answer: compressed when
// the client takes gzip (a browser does; it is a tenth of the bytes to send).
void SetShared(const httplib::Request& req, httplib::Response& res, std::shared_ptr<const CWebApi::Text> pText,
               const char* szType)
{
    res.set_header("Vary", "Accept-Encoding");
    const bool bGzip = !pText->strGzip.empty() && AcceptsGzip(req);
    if (bGzip)
        res.set_header("Content-Encoding", "gzip");
    const std::string& body = bGzip ? pText->strGzip : pText->strPlain;
    res.set_content_provider(body.size(), szType,
                             [pText = std::move(pText), pBody = &body](std::size_t nOffset, std::size_t nLength,
                                                                        httplib::DataSink& sink) {
                                 return sink.write(pBody->data() + nOffset, nLength);
                             });
}

bool SameSecret(std::string_view given, std::string_view expected)
{
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    unsigned int nA = 0, nB = 0;
    EVP_Digest(given.data(), given.size(), a, &nA, EVP_sha256(), nullptr);
    EVP_Digest(expected.data(), expected.size(), b, &nB, EVP_sha256(), nullptr);
    return nA == nB && CRYPTO_memcmp(a, b, nA) == 0;
}

// "after" of the log request: digits only, within 64 bits; a missing one is 0.
bool ParseAfter(const httplib::Request& req, std::uint64_t& nAfter)
{
    nAfter = 0;
    if (!req.has_param("after"))
        return true;
    std::string text = req.get_param_value("after");
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    nAfter = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

WebStatus CollectStatus(const CWebApi::Config& config)
{
    WebStatus status;
    status.bRunning = config.isRunning ? config.isRunning() : true;
    status.tStartedAt = config.tStartedAt;
    status.nControlPort = config.nControlPort;
    status.strDownloadDir = config.strDownloadDir;
    status.nDiskFree = FreeDiskSpace(config.strDownloadDir);
    status.nOnline = config.pRegistry->Count();
    CTransferScheduler& scheduler = *config.pScheduler;
    status.nTransfersActive = scheduler.Active();
    status.nTransfersQueued = scheduler.Queued();
    CServerCounters& counters = *config.pCounters;
    status.nReceivedBytes = counters.nReceivedBytes.load(std::memory_order_relaxed);
    status.nFilesDownloaded = counters.nFilesDownloaded.load(std::memory_order_relaxed);
    status.nTransferFailures = counters.nTransferFailures.load(std::memory_order_relaxed);
    status.nReplyTimeouts = counters.nReplyTimeouts.load(std::memory_order_relaxed);
    status.nControlDatagrams = counters.nControlDatagrams.load(std::memory_order_relaxed);
    if (config.pCentral) {
        CentralStatus central = config.pCentral->Status();
        if (central.bEnabled)
            status.central = std::move(central);
    }
    status.tNow = WallClockNow();
    return status;
}

// The fleet table, with the online vehicles marked.
std::string RenderFleet(const CWebApi::Config& config)
{
    std::vector<std::string> online;
    for (VehicleStatus& vehicle : config.pRegistry->Snapshot())
        online.push_back(std::move(vehicle.strName));
    const std::uint32_t tNow = WallClockNow();
    return FleetJson(config.pHistory->Snapshot(tNow), online, tNow);
}

std::string RenderMetrics(const CWebApi::Config& config, std::uint64_t nAuthFailures)
{
    WebStatus status = CollectStatus(config);
    status.nAuthFailures = nAuthFailures;
    for (const FleetRecord& rec : config.pHistory->Snapshot(WallClockNow()))
        status.nUnfetchable += rec.nUnfetchable;
    return MetricsText(status, config.pRegistry->Snapshot());
}

// The fleet of every depot, read from the shared database on the worker's thread: a
// question asked rarely, by an operator, so it is not cached.
void SetFleetAcrossDepots(const CWebApi::Config& config, httplib::Response& res)
{
    std::string strError = "no central database is configured";
    std::optional<std::vector<DepotVehicle>> rows;
    if (config.pCentral && config.pCentral->Status().bEnabled)
        rows = config.pCentral->FleetAcrossDepots(strError);
    if (rows)
        res.set_content(FleetAcrossDepotsJson(*rows), kJson);
    else {
        res.status = 503;
        res.set_content(nlohmann::json {{"error", ValidUtf8(strError)}}.dump(), kJson);
    }
}

bool IsMissedPath(const std::string& path)
{
    return path.rfind(kFleetPrefix, 0) == 0 && path.size() > kFleetPrefix.size() + kMissedSuffix.size() &&
           path.compare(path.size() - kMissedSuffix.size(), kMissedSuffix.size(), kMissedSuffix) == 0;
}

// The missed recordings of the vehicle a missed path names.
void SetMissed(const CWebApi::Config& config, const std::string& path, httplib::Response& res)
{
    // The name as the path carries it, percent-decoded: any bytes, slashes too.
    const std::string name =
        path.substr(kFleetPrefix.size(), path.size() - kFleetPrefix.size() - kMissedSuffix.size());
    CFleetHistory& history = *config.pHistory;
    if (!history.Knows(name))
        SetError(res, 404, "no such vehicle");
    else
        res.set_content(MissedJson(history.MissedRecordings(name)), kJson);
}

// The request as a route's handler sees it.
WebRequest RouteRequest(const httplib::Request& req, const std::string& body, WebRole eRole)
{
    WebRequest request;
    request.strMethod = req.method;
    request.strPath = req.path;
    request.params.assign(req.params.begin(), req.params.end());
    request.headers.assign(req.headers.begin(), req.headers.end());
    request.strBody = body;
    request.strClientAddr = req.remote_addr;
    request.eRole = eRole;
    return request;
}

// A route's answer as the head the library writes and the body sent after it.
void SetAnswer(const httplib::Request& req, WebAnswer answer, httplib::Response& res, CWebBody& streamed)
{
    res.status = answer.nStatus;
    for (const auto& [name, value] : answer.headers)
        res.set_header(name, value);
    if (!answer.strContentType.empty())
        res.set_header("Content-Type", answer.strContentType);
    res.set_header("Content-Length", std::to_string(answer.body.Size()));
    if (req.method != "HEAD")
        streamed = std::move(answer.body);
}

} // namespace

CWebApi::CWebApi(Config config)
    : m_config(std::move(config)), m_strExpected(m_config.strToken.empty() ? "" : "Bearer " + m_config.strToken),
      m_strOperator(m_config.strFootageToken.empty() ? "" : "Bearer " + m_config.strFootageToken)
{
    DashboardPage();  // composed now rather than in the first request
}

WebRole CWebApi::x_Role(const httplib::Request& req, bool* pValidToken)
{
    const std::string given = req.get_header_value("Authorization");
    // Both are compared, so that the time taken tells nothing of which one matched.
    const bool bOperator = !m_strOperator.empty() && SameSecret(given, m_strOperator);
    const bool bStatus = !m_strExpected.empty() && SameSecret(given, m_strExpected);
    *pValidToken = bOperator || bStatus;
    const bool bAnyToken = !m_strOperator.empty() || !m_strExpected.empty();
    if (!given.empty() && !m_config.bTls && !IsLoopbackAddress(req.remote_addr) && !m_bWarnedPlain.exchange(true))
        WriteLog("Web dashboard: warning: a token came over plain HTTP from " + req.remote_addr +
                 ", readable by anyone on the way (httpcert and httpkey turn on HTTPS)");
    if (*pValidToken)
        m_guard.OnSuccess(req.remote_addr);
    else if (!given.empty() && bAnyToken)
        m_guard.OnFailure(req.remote_addr, MonotonicMs());
    if (bOperator)
        return WebRole::Operator;
    if (bStatus)
        return WebRole::Status;
    if (!bAnyToken && m_config.bLoopback)
        return WebRole::Operator;
    return m_strExpected.empty() ? WebRole::Status : WebRole::None;
}

bool CWebApi::x_RouteAdded(const httplib::Request& req, const std::string& body, WebRole eRole, bool bValidToken,
                           httplib::Response& res, CWebBody& streamed)
{
    auto it = std::find_if(m_config.routes.begin(), m_config.routes.end(),
                           [&](const WebRoute& route) { return route.Matches(req.method, req.path); });
    if (it == m_config.routes.end())
        return false;
    if (eRole < it->eRequired) {
        if (bValidToken) {
            SetError(res, 403, "forbidden");
        } else {
            res.set_header("WWW-Authenticate", "Bearer realm=\"ZELDownload\"");
            SetError(res, 401, "unauthorized");
        }
        return true;
    }
    SetAnswer(req, it->handler(RouteRequest(req, body, eRole)), res, streamed);
    return true;
}

template <class Render>
std::shared_ptr<const CWebApi::Text> CWebApi::x_Cached(Cached& slot, Render render)
{
    {
        CMutexLock guard(slot.lock);
        const bool bFresh = slot.pText && MonotonicMs() - slot.nMadeMs < Timing().nWebSnapshotMs;
        // While one request renders anew, the others keep getting the last text rather
        // than waiting for it.
        if (bFresh || (slot.pText && slot.bRendering))
            return slot.pText;
        slot.bRendering = true;
    }
    std::shared_ptr<const Text> pText;
    try {
        std::string plain = render();
        std::string gzip = Gzip(plain);
        pText = std::make_shared<const Text>(Text {std::move(plain), std::move(gzip)});
    } catch (...) {
        CMutexLock guard(slot.lock);
        slot.bRendering = false;
        throw;
    }
    CMutexLock guard(slot.lock);
    slot.pText = pText;
    slot.nMadeMs = MonotonicMs();
    slot.bRendering = false;
    return pText;
}

bool CWebApi::Handle(const httplib::Request& req, const std::string& body, httplib::Response& res,
                     CWebBody& streamed)
{
    const bool bRead = req.method == "GET" || req.method == "HEAD";
    // A body not read (sent along with a read, or chunked) ends the connection, so
    // that it is never taken for the next request.
    const bool bKeep = !req.has_header("Transfer-Encoding") &&
                       (!bRead || !req.has_header("Content-Length") || req.get_header_value("Content-Length") == "0");
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");

    // An address in its penalty window is not heard: its token is not even compared.
    if (req.has_header("Authorization")) {
        if (std::int64_t nLeftMs = m_guard.PenaltyLeftMs(req.remote_addr, MonotonicMs()); nLeftMs > 0) {
            res.set_header("Retry-After", std::to_string((nLeftMs + 999) / 1000));
            SetError(res, 429, "too many wrong tokens");
            return bKeep;
        }
    }
    bool bValidToken = false;
    const WebRole eRole = x_Role(req, &bValidToken);
    if (x_RouteAdded(req, body, eRole, bValidToken, res, streamed))
        return bKeep;

    if (eRole < WebRole::Status) {
        res.set_header("WWW-Authenticate", "Bearer realm=\"ZELDownload\"");
        // The page holds no figure: sent without the token, it asks for one.
        if (bRead && req.path == "/")
            SetPage(res);
        else
            SetError(res, 401, "unauthorized");
        res.status = 401;
        return bKeep;
    }
    if (!bRead) {
        res.set_header("Allow", "GET, HEAD");
        SetError(res, 405, "method not allowed");
        return bKeep;
    }

    x_Route(req, res);
    return bKeep;
}

void CWebApi::x_Route(const httplib::Request& req, httplib::Response& res)
{
    if (req.path == "/") {
        SetPage(res);
    } else if (req.path == "/api/v1/status") {
        SetShared(req, res, x_Cached(m_status, [this] { return StatusJson(CollectStatus(m_config)); }), kJson);
    } else if (req.path == "/api/v1/vehicles") {
        SetShared(req, res, x_Cached(m_vehicles, [this] { return VehiclesJson(m_config.pRegistry->Snapshot()); }), kJson);
    } else if (req.path == "/api/v1/fleet" && req.get_param_value("scope") == "all") {
        SetFleetAcrossDepots(m_config, res);
    } else if (req.path == "/api/v1/fleet") {
        SetShared(req, res, x_Cached(m_fleet, [this] { return RenderFleet(m_config); }), kJson);
    } else if (IsMissedPath(req.path)) {
        SetMissed(m_config, req.path, res);
    } else if (req.path == "/api/v1/log") {
        std::uint64_t nAfter = 0;
        if (!ParseAfter(req, nAfter))
            SetError(res, 400, "after must be a whole number");
        else
            res.set_content(LogJson(m_config.pLog->After(nAfter)), kJson);
    } else if (req.path == "/metrics") {
        SetShared(req, res, x_Cached(m_metrics, [this] { return RenderMetrics(m_config, AuthFailures()); }),
                  "text/plain; version=0.0.4; charset=utf-8");
    } else {
        SetError(res, 404, "not found");
    }
}

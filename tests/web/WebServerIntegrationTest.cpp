#include "core/Logger.h"
#include "e2e/E2eFixture.h"
#include "settings/WallClock.h"
#include "support/ScriptedPeer.h"
#include "web/WebDispatcher.h"
#include "web/WebServer.h"
#include "web/WebTestSupport.h"

#include <nlohmann/json.hpp>

#include <set>

namespace {

using Json = nlohmann::json;

// The download server in this process with its dashboard, as both programs start it.
class WebServerTest : public E2eFixture {
protected:
    void SetUp() override
    {
        E2eFixture::SetUp();
        Timing().nWebSnapshotMs = 0;  // every answer shows the server as it is now
        m_nWebPort = FreeTcpPort();
        Configure();
        SetKey("httpport", std::to_string(m_nWebPort));
    }

    void SetKey(const char* szKey, const std::string& value) { Settings().WriteValue(szKey, value); }

    httplib::Client Client() const
    {
        httplib::Client client("127.0.0.1", m_nWebPort);
        client.set_read_timeout(5, 0);
        return client;
    }

    static bool LogHasPrefix(const std::string& prefix)
    {
        for (const std::string& message : ReadLogMessages())
            if (message.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

    std::uint16_t m_nWebPort = 0;
};

} // namespace

TEST_F(WebServerTest, AnswersReadsAndRefusesEverythingElse)
{
    StartServer();
    EXPECT_TRUE(LogHas("Web dashboard at http://127.0.0.1:" + std::to_string(m_nWebPort) + "/"));
    httplib::Client client = Client();

    auto res = client.Get("/api/v1/status");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    Json status = Json::parse(res->body);
    EXPECT_FALSE(status["version"].get<std::string>().empty());
    EXPECT_TRUE(status["running"].get<bool>());
    EXPECT_EQ(status["started_at"], Control().StartedAt());
    EXPECT_EQ(status["control_port"], m_nPort);
    EXPECT_EQ(status["download_dir"], At("store"));
    EXPECT_GT(status["disk_free_bytes"].get<std::uint64_t>(), 0u);
    EXPECT_EQ(status["online"], 0);

    // Browsers and Prometheus take gzip: the same JSON, compressed.
    res = client.Get("/api/v1/status", {{"Accept-Encoding", "deflate, gzip;q=0.8"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Encoding"), "gzip");
    EXPECT_EQ(Json::parse(res->body)["control_port"], m_nPort);

    res = client.Head("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_TRUE(res->body.empty());
    EXPECT_GT(std::stoul(res->get_header_value("Content-Length")), 1000u);

    res = client.Post("/api/v1/status", "x", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    EXPECT_EQ(res->get_header_value("Allow"), "GET, HEAD");
    res = client.Delete("/api/v1/vehicles");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    res = client.Get("/api/v1/nothing");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);

    // The log: numbered lines after the one asked for; anything but a number is refused.
    for (const char* szBad : {"abc", "-1", "1e3", "", "99999999999999999999999"}) {
        res = client.Get(std::string("/api/v1/log?after=") + szBad);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << szBad;
    }
    res = client.Get("/api/v1/log?after=0");
    ASSERT_TRUE(res);
    Json lines = Json::parse(res->body);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0]["text"], "Server starts");
    std::uint64_t nLast = lines.back()["seq"];
    EXPECT_EQ(nLast, lines[0]["seq"].get<std::uint64_t>() + lines.size() - 1);
    WriteLog("after the first look");
    ASSERT_TRUE(WaitFor(
        [&] {
            auto more = client.Get("/api/v1/log?after=" + std::to_string(nLast));
            if (!more || more->status != 200)
                return false;
            Json newer = Json::parse(more->body);
            return !newer.empty() && newer[0]["seq"] == nLast + 1 && newer.back()["text"] == "after the first look";
        },
        5s));

    // Heads: the library cuts a line at 8 KiB (400) and a target too (414); the
    // dispatcher bounds the whole head, which the library alone would not.
    std::string manyLines = "GET /api/v1/status HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 400; ++i)
        manyLines += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
    EXPECT_EQ(RawExchange(m_nWebPort, manyLines + "\r\n").rfind("HTTP/1.1 431 ", 0), 0u);
    EXPECT_EQ(RawExchange(m_nWebPort, "GET / HTTP/1.1\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\n")
                  .rfind("HTTP/1.1 400 ", 0),
              0u);
    EXPECT_EQ(RawExchange(m_nWebPort, "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 414 ", 0),
              0u);
    // A body sent along is never read as the next request: the connection ends.
    std::string answer =
        RawExchange(m_nWebPort, "GET /metrics HTTP/1.1\r\nContent-Length: 40\r\n\r\nGET /api/v1/vehicles HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
    EXPECT_EQ(answer.find("HTTP/1.1", 5), std::string::npos) << answer;
    // Two requests in one go are both answered, in order.
    answer = RawExchange(m_nWebPort, "GET /api/v1/nothing HTTP/1.1\r\n\r\nGET /api/v1/status HTTP/1.1\r\n"
                                     "Connection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 404 ", 0), 0u) << answer;
    EXPECT_NE(answer.find("HTTP/1.1 200 "), std::string::npos) << answer;
}

TEST_F(WebServerTest, SilentAndSlowClientsHoldUpNobody)
{
    Timing().nWebHeadWaitMs = 3000;
    StartServer();
    // More idle and half-sent clients than there are workers.
    std::vector<CSocket> silent, slow;
    for (std::size_t i = 0; i < 3 * CWebDispatcher::kWorkers; ++i) {
        silent.push_back(CSocket::ConnectTcp("127.0.0.1", m_nWebPort, 2000));
        slow.push_back(CSocket::ConnectTcp("127.0.0.1", m_nWebPort, 2000));
        const char szPart[] = "GET /api/v1/status HTTP/1.1\r\nHost: x\r\n";
        ASSERT_TRUE(slow.back().SendAll(szPart, sizeof(szPart) - 1));
    }
    auto res = Client().Get("/api/v1/vehicles");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    // They were all still open while it was answered, and are closed once their head
    // wait is over.
    char byte = 0;
    EXPECT_EQ(silent.front().RecvNoWait(&byte, 1), -1);
    EXPECT_EQ(slow.front().RecvNoWait(&byte, 1), -1);
    for (std::vector<CSocket>* pGroup : {&silent, &slow}) {
        for (CSocket& sock : *pGroup) {
            ASSERT_EQ(sock.WaitReadable(15000), 1);
            EXPECT_EQ(sock.Recv(&byte, 1), 0);
        }
    }
}

TEST_F(WebServerTest, OtherAddressesNeedTheTokenAndFailuresOnlyLog)
{
    // No token on an address other machines reach: downloads start, the dashboard not.
    SetKey("httpaddr", "0.0.0.0");
    StartServer();
    EXPECT_TRUE(Control().IsRunning());
    EXPECT_TRUE(LogHas("Web dashboard not started: httpaddr 0.0.0.0 is reachable from other machines, so "
                       "httptoken must be set"));
    EXPECT_FALSE(Server().Web().IsServing());
    EXPECT_FALSE(CSocket::ConnectTcp("127.0.0.1", m_nWebPort, 2000).IsValid());
    Control().Stop();

    SetKey("httptoken", "depot &amp; s3cret-and-more");
    StartServer();
    httplib::Client client = Client();
    auto res = client.Get("/api/v1/status");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->get_header_value("WWW-Authenticate").rfind("Bearer ", 0), 0u);
    EXPECT_EQ(res->body.find("running"), std::string::npos);
    // The page comes without figures, and asks for the token.
    res = client.Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_NE(res->body.find("id=\"login\""), std::string::npos);
    for (const char* szWrong :
         {"Bearer depot & s3cret-and-mor", "Bearer depot & s3cret-and-more2", "depot & s3cret-and-more", "Basic x"}) {
        res = client.Get("/metrics", {{"Authorization", szWrong}});
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 401) << szWrong;
    }
    // Past three wrong tokens in a row the address waits before its token is looked
    // at again, the right one too.
    const httplib::Headers right {{"Authorization", "Bearer depot & s3cret-and-more"}};
    res = client.Get("/api/v1/status", right);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_EQ(res->get_header_value("Retry-After"), "1");
    ASSERT_TRUE(WaitFor(
        [&] {
            auto again = client.Get("/api/v1/status", right);
            return again && again->status == 200;
        },
        5s));
    // Even a refused method is not told apart without the token.
    res = client.Post("/api/v1/status", "x", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    Control().Stop();
    EXPECT_FALSE(CSocket::ConnectTcp("127.0.0.1", m_nWebPort, 2000).IsValid());

    // A port someone else holds, and a certificate without its key: logged, no more.
    SetKey("httpaddr", "127.0.0.1");
    CSocket holder = CSocket::ListenTcp("127.0.0.1", m_nWebPort);
    ASSERT_TRUE(holder.IsValid());
    StartServer();
    EXPECT_TRUE(LogHas("Web dashboard not started: cannot listen on 127.0.0.1 port " + std::to_string(m_nWebPort)));
    Control().Stop();
    SetKey("httpcert", "cert.pem");
    StartServer();
    EXPECT_TRUE(LogHas("Web dashboard not started: HTTPS needs both httpcert and httpkey"));
    EXPECT_TRUE(Control().IsRunning());
}

TEST_F(WebServerTest, AnyVehicleNameReadsRightInJsonAndMetrics)
{
    StartServer();
    // The server refuses names with a backslash or a control character (they could not
    // be directories); quotes, UTF-8 and bytes that are no UTF-8 pass.
    const std::vector<std::string> sent {"Q\"uote\"'s", "B\xC3\xBC-Stra\xC3\x9F" "e", "bad\xFF\xC3"};
    std::vector<std::unique_ptr<ScriptedPeer>> peers;
    for (const std::string& name : sent) {
        peers.push_back(std::make_unique<ScriptedPeer>());
        peers.back()->SetServerPort(m_nPort);
        peers.back()->Send(ScriptedPeer::Registration(name, 1, 1));
    }
    ASSERT_TRUE(WaitFor([this] { return Server().Registry().Count() == 3; }, 5s));

    httplib::Client client = Client();
    auto res = client.Get("/api/v1/vehicles");
    ASSERT_TRUE(res);
    Json vehicles = Json::parse(res->body);  // throws on invalid UTF-8
    std::set<std::string> names;
    for (const Json& vehicle : vehicles)
        names.insert(vehicle["name"].get<std::string>());
    const std::string replaced = "bad\xEF\xBF\xBD\xEF\xBF\xBD";
    EXPECT_EQ(names, (std::set<std::string> {sent[0], sent[1], replaced}));
    res = client.Get("/api/v1/fleet");
    ASSERT_TRUE(res);
    EXPECT_EQ(Json::parse(res->body).size(), 3u);

    res = client.Get("/metrics");
    ASSERT_TRUE(res);
    const std::string& metrics = res->body;
    for (const char* szMetric : {"zeldownload_vehicle_progress_percent", "zeldownload_vehicle_speed_kbps",
                                 "zeldownload_vehicle_progress_ratio", "zeldownload_vehicle_speed_bytes_per_second"}) {
        for (const std::string& label : {std::string("Q\\\"uote\\\"'s"), sent[1], replaced})
            EXPECT_NE(metrics.find(std::string(szMetric) + "{vehicle=\"" + label + "\"} "), std::string::npos)
                << label << "\n" << metrics;
    }
    EXPECT_NE(metrics.find("\nzeldownload_online_vehicles 3\n"), std::string::npos);
    // The old names say what replaces them.
    EXPECT_NE(metrics.find("# HELP zeldownload_vehicle_speed_kbps Deprecated: use "
                           "zeldownload_vehicle_speed_bytes_per_second."),
              std::string::npos);
    EXPECT_NE(metrics.find("# HELP zeldownload_vehicle_progress_percent Deprecated: use "
                           "zeldownload_vehicle_progress_ratio."),
              std::string::npos);
    if (!HaveCommand("promtool"))
        GTEST_SKIP() << "promtool is not installed (scripts/deps.sh installs prometheus)";
    WriteFile(Dir() / "metrics.txt", metrics);
    std::string output;
    EXPECT_EQ(RunCommand("promtool check metrics < '" + At("metrics.txt") + "' 2>&1", &output), 0) << output;
}

TEST_F(WebServerTest, FleetShowsMissedRecordingsWithTheirListsAndMetrics)
{
    StartServer();
    CFleetHistory& history = Control().History();
    const std::uint32_t tNow = WallClockNow();
    MissedRecording rec;
    rec.nChannel = 1;
    rec.strFileName = "ch01_0007.mp4";
    rec.tStart = tNow - 900;
    rec.tEnd = tNow - 600;
    rec.strReason = "failed 3 times in a row: connection closed after the header";
    for (int nVisit = 0; nVisit < 3; ++nVisit) {
        history.OnArrival("BUS-1", "10.0.0.1:1", tNow);
        history.OnRecordingMissed("BUS-1", rec, tNow);
    }
    history.OnCompleteOffload("BUS-1", tNow);
    history.OnPending("BUS-1", 0);
    // A name of any bytes, a slash too, is reached through the address the fleet gives.
    const std::string odd = "odd/\xFF name";
    history.OnArrival(odd, "10.0.0.2:1", tNow);
    rec.strFileName = "ch01_0001.mp4";
    rec.strReason = "out of the span";
    history.OnRecordingLeftBehind(odd, rec, tNow);

    httplib::Client client = Client();
    auto res = client.Get("/api/v1/fleet");
    ASSERT_TRUE(res);
    Json fleet = Json::parse(res->body);
    ASSERT_EQ(fleet.size(), 2u);
    EXPECT_EQ(fleet[0]["name"], "BUS-1");
    EXPECT_EQ(fleet[0]["unfetchable"], 1);
    EXPECT_EQ(fleet[0]["attention"], Json::parse(R"(["unfetchable recordings"])"));
    EXPECT_EQ(fleet[1]["left_behind"], 1);

    res = client.Get(fleet[0]["missed_url"].get<std::string>());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    Json missed = Json::parse(res->body);
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0]["file_name"], "ch01_0007.mp4");
    EXPECT_EQ(missed[0]["state"], "unfetchable");
    EXPECT_EQ(missed[0]["visits"], 3);
    EXPECT_EQ(missed[0]["reason"], "failed 3 times in a row: connection closed after the header");
    const std::string oddUrl = fleet[1]["missed_url"];
    const std::string answer = RawExchange(m_nWebPort, "GET " + oddUrl + " HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << oddUrl << "\n" << answer;
    EXPECT_NE(answer.find("\"file_name\":\"ch01_0001.mp4\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"state\":\"left_behind\""), std::string::npos) << answer;
    for (const char* szUnknown : {"/api/v1/fleet/NOBODY/missed", "/api/v1/fleet//missed", "/api/v1/fleet/BUS-1"}) {
        res = client.Get(szUnknown);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 404) << szUnknown;
    }

    res = client.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\nzeldownload_unfetchable_recordings 1\n"), std::string::npos) << res->body;
    if (!HaveCommand("promtool"))
        GTEST_SKIP() << "promtool is not installed (scripts/deps.sh installs prometheus)";
    WriteFile(Dir() / "metrics.txt", res->body);
    std::string output;
    EXPECT_EQ(RunCommand("promtool check metrics < '" + At("metrics.txt") + "' 2>&1", &output), 0) << output;
}

TEST_F(WebServerTest, ServesHttpsWithItsCertificate)
{
    if (!HaveCommand("openssl"))
        GTEST_SKIP() << "the openssl command is not installed";
    ASSERT_EQ(RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + At("key.pem") + "' -out '" +
                         At("cert.pem") +
                         "' -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1"),
              0);
    SetKey("httpcert", At("cert.pem"));
    SetKey("httpkey", At("key.pem"));
    StartServer();
    ASSERT_TRUE(LogHas("Web dashboard at https://127.0.0.1:" + std::to_string(m_nWebPort) + "/"));

    httplib::SSLClient client("127.0.0.1", m_nWebPort);
    client.set_ca_cert_path(At("cert.pem"));
    client.enable_server_certificate_verification(true);
    for (int i = 0; i < 3; ++i) {  // one connection kept alive
        auto res = client.Get("/api/v1/status");
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        EXPECT_TRUE(Json::parse(res->body)["running"].get<bool>());
    }
    // Plain HTTP gets no answer from it.
    EXPECT_EQ(RawExchange(m_nWebPort, "GET /api/v1/status HTTP/1.1\r\n\r\n").find("200"), std::string::npos);
}

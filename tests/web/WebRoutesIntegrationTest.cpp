// Handlers added through the dashboard's routing hook: the roles they require, and
// answers whose bodies are file ranges (whole, in ranges, HEAD), over HTTP and HTTPS,
// to clients that read slowly.
#include "platform/File.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "web/WebDispatcher.h"
#include "web/WebRange.h"
#include "web/WebServer.h"
#include "web/WebTestSupport.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <random>
#include <thread>

namespace {

using Json = nlohmann::json;

const char kStatusToken[] = "status-token-0123456789";
const char kOperatorToken[] = "operator-token-0123456789";
constexpr std::uint64_t kFileSize = 20ull << 20;

class WebRoutesTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        m_settings.nPort = FreeTcpPort();
    }

    void TearDown() override
    {
        m_server.Stop();
        Sandbox::TearDown();
    }

    // The test's own handlers: who called (GET), what was sent (POST), a file.
    CWebApi::Config Routes()
    {
        CWebApi::Config config;
        config.routes.push_back({"GET", "/api/v1/recordings", WebRole::Operator, [](const WebRequest& req) {
                                     Json who {{"role", WebRoleName(req.eRole)}, {"path", req.strPath},
                                               {"channel", req.Param("channel")}, {"client", req.strClientAddr}};
                                     return WebAnswer::Text(200, who.dump());
                                 }});
        config.routes.push_back({"POST", "/api/v1/requests", WebRole::Operator, [](const WebRequest& req) {
                                     return WebAnswer::Text(201, req.strBody, "text/plain");
                                 }});
        config.routes.push_back({"GET", "/api/v1/audit", WebRole::Status, [](const WebRequest&) {
                                     return WebAnswer::Text(200, "[]");
                                 }});
        config.routes.push_back({"GET", "/api/v1/requests/file", WebRole::Status, [this](const WebRequest& req) {
                                     return FileAnswer(req, m_pFile, kFileSize, "video/mp4");
                                 }});
        return config;
    }

    void Start() { ASSERT_EQ(m_server.Start(m_settings, Routes()), 0); }

    // A file of kFileSize random bytes, served by the file route.
    void MakeFile()
    {
        std::mt19937_64 random(7);
        m_content.resize(kFileSize);
        for (std::size_t i = 0; i < kFileSize; i += 8) {
            const std::uint64_t nValue = random();
            std::memcpy(m_content.data() + i, &nValue, 8);
        }
        WriteFile(Dir() / "clip.mp4", m_content);
        auto pFile = std::make_shared<CFile>();
        ASSERT_EQ(pFile->Open(At("clip.mp4"), CFile::Mode::Read), 0);
        m_pFile = pFile;
    }

    // Writes a self-signed pair and serves HTTPS with it.
    bool UseTls()
    {
        if (!HaveCommand("openssl"))
            return false;
        EXPECT_EQ(RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + At("key.pem") + "' -out '" +
                             At("cert.pem") +
                             "' -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1"),
                  0);
        m_settings.strCert = At("cert.pem");
        m_settings.strKey = At("key.pem");
        return true;
    }

    // The file's range checks through client (plain or TLS).
    template <class Client>
    void CheckFileAnswers(Client& client)
    {
        const httplib::Headers auth {{"Authorization", std::string("Bearer ") + kStatusToken}};
        auto res = client.Get("/api/v1/requests/file", auth);
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->get_header_value("Accept-Ranges"), "bytes");
        EXPECT_EQ(res->get_header_value("Content-Type"), "video/mp4");
        EXPECT_TRUE(res->body == m_content) << res->body.size();

        httplib::Headers ranged = auth;
        ranged.emplace("Range", "bytes=1000-1999");
        res = client.Get("/api/v1/requests/file", ranged);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 206);
        EXPECT_EQ(res->get_header_value("Content-Range"), "bytes 1000-1999/" + std::to_string(kFileSize));
        EXPECT_TRUE(res->body == m_content.substr(1000, 1000));
        // The last n bytes; an end past the file is cut to it.
        ranged.find("Range")->second = "bytes=-100";
        res = client.Get("/api/v1/requests/file", ranged);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 206);
        EXPECT_TRUE(res->body == m_content.substr(kFileSize - 100));
        ranged.find("Range")->second = "bytes=" + std::to_string(kFileSize - 10) + "-" + std::to_string(kFileSize * 2);
        res = client.Get("/api/v1/requests/file", ranged);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 206);
        EXPECT_EQ(res->get_header_value("Content-Range"),
                  "bytes " + std::to_string(kFileSize - 10) + "-" + std::to_string(kFileSize - 1) + "/" +
                      std::to_string(kFileSize));
        EXPECT_TRUE(res->body == m_content.substr(kFileSize - 10));
        ranged.find("Range")->second = "bytes=" + std::to_string(kFileSize) + "-";
        res = client.Get("/api/v1/requests/file", ranged);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 416);
        EXPECT_EQ(res->get_header_value("Content-Range"), "bytes */" + std::to_string(kFileSize));
        EXPECT_TRUE(res->body.empty());
        // The head alone: the length of the whole, no body; the connection goes on.
        res = client.Head("/api/v1/requests/file", auth);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(kFileSize));
        EXPECT_TRUE(res->body.empty());
        res = client.Get("/api/v1/audit", auth);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, "[]");
    }

    WebSettings m_settings;
    CWebServer m_server;
    std::string m_content;
    std::shared_ptr<const CFile> m_pFile;
};

} // namespace

TEST_F(WebRoutesTest, LoopbackWithoutTokensIsTheOperator)
{
    Start();
    httplib::Client client("127.0.0.1", m_settings.nPort);
    auto res = client.Get("/api/v1/recordings/BUS-1?channel=2");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    Json who = Json::parse(res->body);
    EXPECT_EQ(who["role"], "operator");
    EXPECT_EQ(who["path"], "/api/v1/recordings/BUS-1");
    EXPECT_EQ(who["channel"], "2");
    EXPECT_EQ(who["client"], "127.0.0.1");
    // A body is handed over whole, and the connection stays for the next request.
    const std::string raw = RawExchange(m_settings.nPort,
                                        "POST /api/v1/requests HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world"
                                        "GET /api/v1/audit HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(raw.rfind("HTTP/1.1 201 ", 0), 0u) << raw;
    EXPECT_NE(raw.find("\r\n\r\nhello worldHTTP/1.1 200 "), std::string::npos) << raw;
    // A client that waits to be asked for its body is asked, and answered once it sent.
    CSocket sock = CSocket::ConnectTcp("127.0.0.1", m_settings.nPort, 2000);
    const std::string head = "POST /api/v1/requests HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n"
                             "Connection: close\r\n\r\n";
    ASSERT_TRUE(sock.SendAll(head.data(), head.size()));
    char buf[4096];
    ASSERT_EQ(sock.WaitReadable(3000), 1);
    ssize_t n = sock.Recv(buf, sizeof(buf));
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(sock.SendAll("ping", 4));
    std::string answer;
    while (sock.WaitReadable(3000) > 0 && (n = sock.Recv(buf, sizeof(buf))) > 0)
        answer.append(buf, static_cast<std::size_t>(n));
    EXPECT_NE(answer.find("HTTP/1.1 201 "), std::string::npos) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 8), "\r\n\r\nping") << answer;
    // A path that only starts like a route's is not its.
    res = client.Get("/api/v1/recordingsX");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
}

TEST_F(WebRoutesTest, RolesComeFromTheBearerTokenOnly)
{
    m_settings.strToken = kStatusToken;
    m_settings.strFootageToken = kOperatorToken;
    Start();
    httplib::Client client("127.0.0.1", m_settings.nPort);
    struct Case {
        const char* szWho;
        httplib::Headers headers;
        int nRecordings;  // the operator's route
        int nAudit;       // the status reader's
    };
    const std::vector<Case> cases {
        {"no token", {}, 401, 401},
        {"status token", {{"Authorization", std::string("Bearer ") + kStatusToken}}, 403, 200},
        {"operator token", {{"Authorization", std::string("Bearer ") + kOperatorToken}}, 200, 200},
        {"operator token as a cookie", {{"Cookie", std::string("token=") + kOperatorToken}}, 401, 401},
    };
    for (const Case& c : cases) {
        auto res = client.Get("/api/v1/recordings", c.headers);
        ASSERT_TRUE(res) << c.szWho;
        EXPECT_EQ(res->status, c.nRecordings) << c.szWho;
        if (res->status == 401) {
            EXPECT_EQ(res->get_header_value("WWW-Authenticate").rfind("Bearer ", 0), 0u) << c.szWho;
        }
        res = client.Get("/api/v1/audit", c.headers);
        ASSERT_TRUE(res) << c.szWho;
        EXPECT_EQ(res->status, c.nAudit) << c.szWho;
    }
    auto res = client.Post("/api/v1/requests", {{"Authorization", std::string("Bearer ") + kStatusToken}}, "x",
                           "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = client.Post("/api/v1/requests", {{"Authorization", std::string("Bearer ") + kOperatorToken}}, "wanted",
                      "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 201);
    EXPECT_EQ(res->body, "wanted");
    // With only the status token set, nobody is the operator, on loopback too.
    m_server.Stop();
    m_settings.strFootageToken.clear();
    Start();
    res = client.Get("/api/v1/recordings", {{"Authorization", std::string("Bearer ") + kStatusToken}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
}

TEST_F(WebRoutesTest, FileBodiesOverHttpAndHttps)
{
    MakeFile();
    m_settings.strToken = kStatusToken;
    Start();
    httplib::Client plain("127.0.0.1", m_settings.nPort);
    CheckFileAnswers(plain);
    m_server.Stop();

    if (!UseTls())
        GTEST_SKIP() << "the openssl command is not installed";
    Start();
    httplib::SSLClient tls("127.0.0.1", m_settings.nPort);
    tls.set_ca_cert_path(At("cert.pem"));
    tls.enable_server_certificate_verification(true);
    CheckFileAnswers(tls);
}

TEST_F(WebRoutesTest, SlowReadersOfLargeFilesHoldNoWorker)
{
    MakeFile();
    Start();
    // Twice as many clients as workers ask for the file and read nothing yet.
    std::vector<CSocket> readers;
    for (std::size_t i = 0; i < 2 * CWebDispatcher::kWorkers; ++i) {
        readers.push_back(CSocket::ConnectTcp("127.0.0.1", m_settings.nPort, 2000));
        const std::string request = "GET /api/v1/requests/file HTTP/1.1\r\nConnection: close\r\n\r\n";
        ASSERT_TRUE(readers.back().SendAll(request.data(), request.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Others are answered meanwhile.
    httplib::Client client("127.0.0.1", m_settings.nPort);
    client.set_read_timeout(2, 0);
    int nAnswered = 0;
    for (int i = 0; i < 20; ++i) {
        auto res = client.Get("/api/v1/audit");
        nAnswered += res && res->status == 200 ? 1 : 0;
    }
    EXPECT_EQ(nAnswered, 20);
    // And each reader, once it reads, still gets its file whole. They read at once: one
    // left waiting while the others read would see its idle connection closed.
    std::vector<std::string> received(readers.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < readers.size(); ++i)
            threads.emplace_back([&readers, &received, i] {
                std::vector<char> buf(65536);
                while (readers[i].WaitReadable(5000) > 0) {
                    ssize_t n = readers[i].Recv(buf.data(), buf.size());
                    if (n <= 0)
                        break;
                    received[i].append(buf.data(), static_cast<std::size_t>(n));
                }
            });
    }
    for (const std::string& got : received) {
        const std::size_t nBody = got.find("\r\n\r\n");
        ASSERT_NE(nBody, std::string::npos);
        EXPECT_EQ(got.rfind("HTTP/1.1 200 ", 0), 0u);
        EXPECT_TRUE(got.compare(nBody + 4, std::string::npos, m_content) == 0) << got.size() - nBody - 4;
    }
}

// The footage API over a running dashboard, on a real catalogue, request store and
// audit trail: who may read what, the bytes and their ranges, verifying, requests
// with their manifest and export, and the audit line each action leaves.
#include "footage/AuditLog.h"
#include "footage/FootageRequests.h"
#include "footage/RecordingCatalogue.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "web/FootageApi.h"
#include "web/WebServer.h"
#include "web/WebTestSupport.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <set>

namespace {

using Json = nlohmann::json;

const char kStatusToken[] = "status-token-0123456789";
const char kOperatorToken[] = "operator-token-0123456789";
const std::uint32_t kT0 = WallClockFromFields(2026, 12, 6, 14, 0, 0);

class FootageApiTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        const std::string db = At("fleet.db");
        ASSERT_EQ(m_catalogue.Open(db, At("store")), 0);
        ASSERT_EQ(m_requests.Open(), 0);
        ASSERT_EQ(m_audit.Open(db), 0);
        WebSettings settings;
        settings.nPort = FreeTcpPort();
        settings.strToken = kStatusToken;
        settings.strFootageToken = kOperatorToken;
        CWebApi::Config config;
        config.routes = m_api.Routes();
        ASSERT_EQ(m_server.Start(settings, config), 0);
        m_pClient = std::make_unique<httplib::Client>("127.0.0.1", settings.nPort);
    }

    void TearDown() override
    {
        m_server.Stop();
        m_audit.Close();
        m_requests.Close();
        m_catalogue.Close();
        Sandbox::TearDown();
    }

    // Stores a recording of vehicle's channel starting at kT0 + nMinute minutes, ten
    // minutes long, of nSize bytes, catalogued and hashed; its id.
    std::int64_t Store(const std::string& vehicle, int nChannel, int nMinute, std::size_t nSize = 5000)
    {
        const std::uint32_t tStart = kT0 + nMinute * 60;
        const std::string rel = vehicle + "/" + DateDirName(tStart) + "/" + ChannelDirName(nChannel) + "/" +
                                FinalFileName(nChannel, tStart, tStart + 600);
        std::string bytes(nSize, '\0');
        for (std::size_t k = 0; k < nSize; ++k)
            bytes[k] = static_cast<char>((k * 7 + nMinute + nChannel * 31) & 0xFF);
        std::filesystem::create_directories((Dir() / "store" / rel).parent_path());
        WriteFile(Dir() / "store" / rel, bytes);
        m_content[rel] = bytes;
        CatalogueRow row;
        row.strPath = rel;
        row.nSize = nSize;
        row.tStoredAt = tStart + 700;
        EXPECT_TRUE(m_catalogue.Add(row));
        m_catalogue.Flush();
        CatalogueQuery query;
        query.strVehicle = vehicle;
        query.nChannel = nChannel;
        query.tFrom = tStart;
        query.tTo = tStart + 1;
        CataloguePage page = m_catalogue.Find(query);
        EXPECT_EQ(page.rows.size(), 1u);
        if (page.rows.empty())
            return 0;
        m_catalogue.Verify(page.rows[0].nId);  // takes its first hash
        return page.rows[0].nId;
    }

    httplib::Result Get(const std::string& path, const char* szToken = kOperatorToken, httplib::Headers headers = {})
    {
        if (szToken)
            headers.emplace("Authorization", std::string("Bearer ") + szToken);
        return m_pClient->Get(path, headers);
    }

    httplib::Result Post(const std::string& path, const std::string& body, const char* szToken = kOperatorToken)
    {
        httplib::Headers headers;
        if (szToken)
            headers.emplace("Authorization", std::string("Bearer ") + szToken);
        return m_pClient->Post(path, headers, body, "application/json");
    }

    Json GetJson(const std::string& path)
    {
        auto res = Get(path);
        EXPECT_TRUE(res && res->status == 200) << path << " " << (res ? res->body : httplib::to_string(res.error()));
        return res ? Json::parse(res->body, nullptr, false) : Json();
    }

    // The ids of a recordings list, in its order.
    std::vector<std::int64_t> Ids(const Json& page)
    {
        std::vector<std::int64_t> ids;
        for (const Json& row : page["recordings"])
            ids.push_back(row["id"].get<std::int64_t>());
        return ids;
    }

    // How many audit lines have this action (and object, when given).
    std::size_t AuditCount(const std::string& action, const std::string& object = "")
    {
        std::size_t n = 0;
        for (const AuditEntry& entry : m_audit.List(CAuditLog::kMaxLimit).entries)
            if (entry.strAction == action && (object.empty() || entry.strObject == object)) {
                EXPECT_EQ(entry.strClient, "127.0.0.1");
                ++n;
            }
        return n;
    }

    CRecordingCatalogue m_catalogue;
    CFootageRequests m_requests {At("fleet.db")};
    CAuditLog m_audit;
    CFootageApi m_api {CFootageApi::Parts {&m_catalogue, &m_requests, &m_audit}};
    CWebServer m_server;
    std::unique_ptr<httplib::Client> m_pClient;
    std::map<std::string, std::string> m_content;  // by path below the store
};

} // namespace

TEST_F(FootageApiTest, FootageNeedsTheOperatorAndATicketOpensOnlyItsOwnBytes)
{
    const std::int64_t nFirst = Store("BUS-1", 1, 0);
    const std::int64_t nSecond = Store("BUS-1", 1, 10);
    const std::string one = "/api/v1/recordings/" + std::to_string(nFirst);
    for (const std::string& path : {std::string("/api/v1/recordings"), one, one + "/content",
                                    std::string("/api/v1/requests"), std::string("/api/v1/audit")}) {
        EXPECT_EQ(Get(path, nullptr)->status, 401) << path;
        EXPECT_EQ(Get(path, kStatusToken)->status, 403) << path;
        EXPECT_EQ(Get(path)->status, 200) << path;
    }
    EXPECT_EQ(Post(one + "/verify", "", kStatusToken)->status, 403);
    EXPECT_EQ(Post("/api/v1/requests", "{}", kStatusToken)->status, 403);
    EXPECT_EQ(m_pClient->Delete("/api/v1/requests/1")->status, 401);

    // The operator's answer hands out an address that opens the bytes without a token,
    // for that recording only, and only with the ticket as it was issued.
    const std::string url = GetJson(one)["content_url"].get<std::string>();
    auto res = Get(url, nullptr);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_TRUE(res->body == m_content.begin()->second);
    const std::string ticket = url.substr(url.find("?ticket="));
    EXPECT_EQ(Get("/api/v1/recordings/" + std::to_string(nSecond) + "/content" + ticket, nullptr)->status, 401);
    std::string forged = url;
    forged.back() = forged.back() == '0' ? '1' : '0';
    EXPECT_EQ(Get(forged, nullptr)->status, 401);
    EXPECT_EQ(Get(one + ticket, nullptr)->status, 401);  // a ticket opens bytes, not the row
    // The download by ticket is audited as the operator's, once per ten minutes.
    EXPECT_EQ(AuditCount("recording.download", std::to_string(nFirst)), 1u);
}

TEST_F(FootageApiTest, ListsOverlapTheWindowNewestFirstAndPageWithACursor)
{
    std::vector<std::int64_t> bus1ch1 {Store("BUS-1", 1, 0), Store("BUS-1", 1, 10), Store("BUS-1", 1, 20)};
    const std::int64_t nBus1ch2 = Store("BUS-1", 2, 10);
    const std::int64_t nBus2 = Store("BUS-2", 1, 10);

    EXPECT_EQ(Ids(GetJson("/api/v1/recordings?vehicle=BUS-1&channel=1")),
              (std::vector<std::int64_t> {bus1ch1[2], bus1ch1[1], bus1ch1[0]}));
    // 14:15 to 14:25 overlaps the recordings of 14:10 and 14:20, not the one ending at 14:10.
    const std::string window = "&from=" + std::to_string(kT0 + 15 * 60) + "&to=" + std::to_string(kT0 + 25 * 60);
    EXPECT_EQ(Ids(GetJson("/api/v1/recordings?vehicle=BUS-1" + window)).size(), 3u);
    EXPECT_EQ(Ids(GetJson("/api/v1/recordings?vehicle=BUS-2" + window)), (std::vector<std::int64_t> {nBus2}));
    EXPECT_EQ(Ids(GetJson("/api/v1/recordings?channel=2")), (std::vector<std::int64_t> {nBus1ch2}));

    // Pages of two, following the cursor, list every row once.
    std::vector<std::int64_t> all;
    std::string next;
    for (int nPage = 0; nPage < 5; ++nPage) {
        Json page = GetJson("/api/v1/recordings?limit=2" + (next.empty() ? "" : "&after=" + next));
        for (std::int64_t nId : Ids(page))
            all.push_back(nId);
        if (page["next"].is_null())
            break;
        next = page["next"].get<std::string>();
    }
    EXPECT_EQ(all.size(), 5u);
    EXPECT_EQ(std::set<std::int64_t>(all.begin(), all.end()).size(), 5u);

    for (const char* szBad : {"channel=0", "channel=x", "from=-1", "limit=0", "limit=1001", "after=nonsense"})
        EXPECT_EQ(Get(std::string("/api/v1/recordings?") + szBad)->status, 400) << szBad;
    EXPECT_EQ(Get("/api/v1/recordings/999")->status, 404);
    EXPECT_EQ(Get("/api/v1/recordings/abc")->status, 404);
}

TEST_F(FootageApiTest, BytesComeWholeOrInRangesAndVerifyFindsAChangedByte)
{
    const std::int64_t nId = Store("BUS-0412", 2, 5, 100000);
    const std::string& bytes = m_content.begin()->second;
    const std::string content = "/api/v1/recordings/" + std::to_string(nId) + "/content";
    auto res = Get(content);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_TRUE(res->body == bytes);
    EXPECT_EQ(res->get_header_value("Content-Type"), "video/mp4");
    EXPECT_EQ(res->get_header_value("Content-Disposition"), "attachment; filename=\"BUS-0412_ch02_20261206T140500Z.mp4\"");
    const std::string etag = res->get_header_value("ETag");
    EXPECT_EQ(etag, "\"" + GetJson("/api/v1/recordings/" + std::to_string(nId))["sha256"].get<std::string>() + "\"");

    res = Get(content, kOperatorToken, {{"Range", "bytes=99000-"}});
    EXPECT_EQ(res->status, 206);
    EXPECT_EQ(res->get_header_value("Content-Range"), "bytes 99000-99999/100000");
    EXPECT_TRUE(res->body == bytes.substr(99000));
    res = Get(content, kOperatorToken, {{"Range", "bytes=100000-"}});
    EXPECT_EQ(res->status, 416);
    EXPECT_EQ(res->get_header_value("Content-Range"), "bytes */100000");

    const std::string verify = "/api/v1/recordings/" + std::to_string(nId) + "/verify";
    Json verdict = Json::parse(Post(verify, "")->body);
    EXPECT_TRUE(verdict["match"].get<bool>());
    // One byte changed on disk: the verify says so, in its answer, the log and the audit.
    std::string changed = bytes;
    changed[4321] ^= 0x01;
    WriteFile(Dir() / "store" / m_content.begin()->first, changed);
    verdict = Json::parse(Post(verify, "")->body);
    EXPECT_FALSE(verdict["match"].get<bool>());
    EXPECT_EQ(verdict["outcome"], "MISMATCH");
    EXPECT_NE(verdict["actual"], verdict["expected"]);
    EXPECT_EQ(AuditCount("recording.verify"), 2u);
    bool bLogged = false;
    for (const std::string& line : ReadLogMessages())
        bLogged |= line.find("does not match its hash") != std::string::npos;
    EXPECT_TRUE(bLogged);

    // Retention deleted it: the row stays, its bytes are gone.
    m_catalogue.MarkDeleted(m_content.begin()->first, kT0 + 86400);
    m_catalogue.Flush();
    EXPECT_EQ(Get(content)->status, 410);
    EXPECT_FALSE(GetJson("/api/v1/recordings/" + std::to_string(nId))["deleted_at"].is_null());
    EXPECT_TRUE(GetJson("/api/v1/recordings?vehicle=BUS-0412")["recordings"].empty());
}

TEST_F(FootageApiTest, RequestsGiveAManifestAndAZipOfTheSameBytesAndEveryActionIsAudited)
{
    if (!HaveCommand("python3"))
        GTEST_SKIP() << "python3 is needed to read the zip";
    for (const char* szBad : {"[]", "{\"vehicle\":\"BUS-7\"}", "{\"vehicle\":\"BUS-7\",\"from\":10,\"to\":5}",
                              "{\"vehicle\":\"../x\",\"from\":1,\"to\":5}", "not json",
                              "{\"vehicle\":\"BUS-7\",\"channels\":[300],\"from\":1,\"to\":5}"})
        EXPECT_EQ(Post("/api/v1/requests", szBad)->status, 400) << szBad;

    Json body {{"vehicle", "BUS-7"}, {"channels", {1}}, {"from", kT0}, {"to", kT0 + 1200}, {"reason", "incident 42"}};
    auto res = Post("/api/v1/requests", body.dump());
    ASSERT_EQ(res->status, 201) << res->body;
    const std::int64_t nId = Json::parse(res->body)["id"].get<std::int64_t>();
    Json listed = GetJson("/api/v1/requests")["requests"][0];
    EXPECT_EQ(listed["state"], "waiting");
    EXPECT_EQ(listed["requested_by"], "operator@127.0.0.1");

    // The vehicle's pass fetches the window's two recordings.
    const std::int64_t nA = Store("BUS-7", 1, 0, 70000);
    const std::int64_t nB = Store("BUS-7", 1, 10, 80000);
    m_requests.OnTakenUp(nId, kT0 + 3600);
    for (int nMinute : {0, 10}) {
        const std::uint32_t tStart = kT0 + nMinute * 60;
        m_requests.OnRecording(nId, "BUS-7",
                               FootageRecording {1, "rec" + std::to_string(nMinute), tStart, tStart + 600,
                                                 "BUS-7/" + DateDirName(tStart) + "/ch01/" +
                                                     FinalFileName(1, tStart, tStart + 600),
                                                 nMinute == 0 ? 70000u : 80000u, true});
    }
    FootageChannelResult result;
    result.nChannel = 1;
    result.bFinished = true;
    m_requests.OnPassEnded(nId, {1}, {result}, kT0 + 3700);
    Json detail = GetJson("/api/v1/requests/" + std::to_string(nId));
    EXPECT_EQ(detail["state"], "done");
    ASSERT_EQ(detail["recordings"].size(), 2u);

    // The manifest's hashes are the catalogue's; the export holds the manifest and
    // the very bytes.
    Json manifest = Json::parse(Get(detail["manifest_url"].get<std::string>(), nullptr)->body, nullptr, false);
    ASSERT_EQ(manifest["files"].size(), 2u) << manifest.dump();
    for (const Json& file : manifest["files"]) {
        const std::int64_t nRow = file["path"].get<std::string>().find("_20261206140000_") != std::string::npos ? nA : nB;
        EXPECT_EQ(file["sha256"], GetJson("/api/v1/recordings/" + std::to_string(nRow))["sha256"]);
    }
    res = Get(detail["export_url"].get<std::string>(), nullptr);
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/zip");
    EXPECT_NE(res->get_header_value("Content-Disposition").find("BUS-7_ch01_20261206T140000Z-20261206T142000Z.zip"),
              std::string::npos);
    WriteFile(Dir() / "export.zip", res->body);
    std::string listing;
    ASSERT_EQ(RunCommand("python3 -c \"import zipfile,sys,hashlib; z=zipfile.ZipFile(sys.argv[1]); "
                         "assert z.testzip() is None; "
                         "[print(i.filename, hashlib.sha256(z.read(i)).hexdigest()) for i in z.infolist()]\" '" +
                             At("export.zip") + "'",
                         &listing),
              0);
    for (const Json& file : manifest["files"])
        EXPECT_NE(listing.find(file["path"].get<std::string>() + " " + file["sha256"].get<std::string>()),
                  std::string::npos)
            << listing;
    EXPECT_NE(listing.find("manifest.json"), std::string::npos);

    // An ended request cannot be cancelled; an open one can, once.
    EXPECT_EQ(m_pClient->Delete("/api/v1/requests/" + std::to_string(nId),
                              httplib::Headers {{"Authorization", std::string("Bearer ") + kOperatorToken}})
                  ->status,
              409);
    body["vehicle"] = "BUS-8";
    const std::int64_t nOpen = Json::parse(Post("/api/v1/requests", body.dump())->body)["id"].get<std::int64_t>();
    const httplib::Headers auth {{"Authorization", std::string("Bearer ") + kOperatorToken}};
    EXPECT_EQ(m_pClient->Delete("/api/v1/requests/" + std::to_string(nOpen), auth)->status, 200);
    EXPECT_EQ(m_pClient->Delete("/api/v1/requests/" + std::to_string(nOpen), auth)->status, 409);
    EXPECT_EQ(m_pClient->Delete("/api/v1/requests/9999", auth)->status, 404);

    EXPECT_EQ(AuditCount("request.create"), 2u);
    EXPECT_EQ(AuditCount("request.cancel", std::to_string(nOpen)), 1u);
    EXPECT_EQ(AuditCount("request.manifest", std::to_string(nId)), 1u);
    EXPECT_EQ(AuditCount("request.export", std::to_string(nId)), 1u);
    // The audit trail is read through the API, newest first, and nothing there deletes it.
    Json audit = GetJson("/api/v1/audit?limit=2");
    ASSERT_EQ(audit["audit"].size(), 2u);
    EXPECT_EQ(audit["audit"][0]["action"], "request.cancel");
    auto deleted = m_pClient->Delete("/api/v1/audit", auth);
    ASSERT_TRUE(deleted);
    EXPECT_GE(deleted->status, 400);
    EXPECT_EQ(GetJson("/api/v1/audit?limit=2")["audit"], audit["audit"]);
}

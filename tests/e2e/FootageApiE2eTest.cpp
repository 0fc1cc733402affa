// A footage request made through the dashboard's API, followed to the evidence it
// yields: made while the vehicle is away, kept over a restart, fetched first at the
// next visit, and its manifest and zip export checked against the stored files.
#include "e2e/E2eFixture.h"

#include "settings/WallClock.h"
#include "web/WebTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

namespace {

using Json = nlohmann::json;

class FootageApiE2eTest : public E2eFixture {
protected:
    void SetUp() override
    {
        E2eFixture::SetUp();
        // A recorder coming back from a new port is only taken once its old
        // registration expired; the vehicle must be seen gone between visits.
        Timing().nKeepAliveExpiryS = 2;
        m_nWebPort = FreeTcpPort();
    }

    // Status and body of an API call to the in-process dashboard.
    std::pair<int, std::string> Call(const std::string& method, const std::string& path, const std::string& body = "")
    {
        httplib::Client client("127.0.0.1", m_nWebPort);
        client.set_read_timeout(30, 0);
        httplib::Result res = method == "POST" ? client.Post(path, body, "application/json") : client.Get(path);
        return res ? std::pair {res->status, res->body} : std::pair {0, std::string()};
    }

    Json GetJson(const std::string& path)
    {
        auto [nStatus, body] = Call("GET", path);
        return nStatus == 200 ? Json::parse(body, nullptr, false) : Json();
    }

    std::string StateOf(std::int64_t nId)
    {
        Json request = GetJson("/api/v1/requests/" + std::to_string(nId));
        return request.is_object() ? request["state"].get<std::string>() : "(no answer)";
    }

    // SHA-256 of a file by coreutils, apart from the program's own hashing.
    static std::string Sha256Sum(const fs::path& path)
    {
        std::string out;
        EXPECT_EQ(RunCommand("sha256sum '" + path.string() + "'", &out), 0);
        return out.substr(0, out.find(' '));
    }

    std::uint16_t m_nWebPort = 0;
};

} // namespace

TEST_F(FootageApiE2eTest, ARequestMadeThroughTheApiWhileAwayIsFetchedFirstAndExportsVerifiableEvidence)
{
    Configure();
    DepotSettings depot;
    depot.nRollingHours = 2;
    ConfigureDepot(depot);
    ASSERT_TRUE(Settings().WriteValue("httpport", std::to_string(m_nWebPort)));
    // Half-hour recordings from four hours ago: the rolling window holds the fifth on.
    // The first visit offers six of them, the next two more, newer ones.
    SimOptions options = Options({"BUS-0412"}, 1, 6, 60000);
    options.nRecSeconds = 1800;
    options.tStart = WallClockNow() - 4 * 3600 + 600;
    SimOptions later = options;
    later.nRecordings = 8;
    const CSimRecordings catalogue("BUS-0412", later);
    const auto& all = catalogue.All();
    ASSERT_EQ(all.size(), 8u);
    const SimRecording& wanted = all[1];

    // First visit: the walk stores the fifth and sixth; then the vehicle leaves.
    StartServer();
    StartSim(options);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(FinalPath("BUS-0412", all[4])) && fs::exists(FinalPath("BUS-0412", all[5])); },
                        60s))
        << m_pSim->Summary();
    ASSERT_TRUE(WaitFor([] { return CountLog("vehname=BUS-0412, chan=1, download finished!") >= 1; }, 30s));
    m_pSim.reset();
    ASSERT_TRUE(WaitFor([&] {
        Json vehicles = GetJson("/api/v1/vehicles");
        return vehicles.is_array() && vehicles.empty();
    }, 30s)) << "the vehicle never went offline";

    // The request, through the API, for part of the second recording: far outside the
    // rolling window.
    auto [nCreated, created] =
        Call("POST", "/api/v1/requests",
             Json {{"vehicle", "BUS-0412"},
                   {"channels", {1}},
                   {"from", wanted.tStart + 60},
                   {"to", wanted.tStart + 600},
                   {"reason", "collision report 77"}}
                 .dump());
    ASSERT_EQ(nCreated, 201) << created;
    const std::int64_t nId = Json::parse(created)["id"].get<std::int64_t>();
    EXPECT_EQ(StateOf(nId), "waiting");

    Control().Stop();
    StartServer();
    ASSERT_EQ(StateOf(nId), "waiting");
    Json listed = GetJson("/api/v1/requests");
    ASSERT_TRUE(listed.is_object()) << listed;
    ASSERT_EQ(listed["requests"].size(), 1u);
    EXPECT_EQ(listed["requests"][0]["reason"], "collision report 77");

    // The next visit, with two newer recordings besides.
    StartSim(later);
    ASSERT_TRUE(WaitFor([&] { return StateOf(nId) == "done"; }, 60s)) << StateOf(nId) << "\n" << m_pSim->Summary();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(FinalPath("BUS-0412", all[6])) && fs::exists(FinalPath("BUS-0412", all[7])); },
                        60s))
        << m_pSim->Summary();

    // The requested recording came before the newer ones of the same visit; what the
    // first visit stored was not fetched again, and nothing else outside the window came.
    const std::vector<int> wantedAt = Arrivals("BUS-0412", wanted);
    ASSERT_EQ(wantedAt.size(), 1u);
    for (std::size_t i : {6u, 7u}) {
        const std::vector<int> at = Arrivals("BUS-0412", all[i]);
        ASSERT_EQ(at.size(), 1u) << i;
        EXPECT_LT(wantedAt[0], at[0]) << i;
    }
    for (std::size_t i : {4u, 5u})
        EXPECT_EQ(Arrivals("BUS-0412", all[i]).size(), 1u) << i;
    for (std::size_t i : {0u, 2u, 3u}) {
        EXPECT_TRUE(Arrivals("BUS-0412", all[i]).empty()) << i;
        EXPECT_FALSE(fs::exists(FinalPath("BUS-0412", all[i]))) << i;
    }

    // The request as the API tells it, and the stored bytes are the recorder's.
    Json request = GetJson("/api/v1/requests/" + std::to_string(nId));
    ASSERT_TRUE(request.is_object());
    ASSERT_EQ(request["recordings"].size(), 1u) << request.dump(1);
    const Json& rec = request["recordings"][0];
    EXPECT_EQ(rec["file_name"], wanted.strFileName);
    EXPECT_EQ(rec["fetched"], true);
    const fs::path stored = Dir() / "store" / rec["path"].get<std::string>();
    EXPECT_EQ(stored, FinalPath("BUS-0412", wanted));
    const std::string bytes = ReadFile(stored);
    ASSERT_EQ(bytes.size(), wanted.nSize);
    EXPECT_EQ(CSimRecordings::FirstMismatch(wanted.nSeed, 0, reinterpret_cast<const unsigned char*>(bytes.data()),
                                            bytes.size()),
              -1);
    const std::string sha256 = Sha256Sum(stored);
    ASSERT_EQ(sha256.size(), 64u);

    // Lists: of everything, of the vehicle, and of its channel 1, which the audit
    // trail takes as the same vehicle's again.
    // The catalogue takes the last stored rows in its next batch.
    Json page;
    ASSERT_TRUE(WaitFor([&] {
        page = GetJson("/api/v1/recordings");
        return page.is_object() && page["recordings"].size() == 5;  // the fifth to eighth, and the requested one
    }, 10s)) << page.dump(1);
    for (const char* szQuery : {"vehicle=BUS-0412", "vehicle=BUS-0412&channel=1"}) {
        page = GetJson(std::string("/api/v1/recordings?") + szQuery);
        ASSERT_TRUE(page.is_object()) << szQuery;
        EXPECT_EQ(page["recordings"].size(), 5u) << szQuery;
    }

    // The manifest names the file with the hash of what is on disk.
    auto [nManifest, manifestText] = Call("GET", request["manifest_url"].get<std::string>());
    ASSERT_EQ(nManifest, 200) << manifestText;
    const Json manifest = Json::parse(manifestText);
    EXPECT_EQ(manifest["request"]["id"], nId);
    EXPECT_EQ(manifest["request"]["reason"], "collision report 77");
    ASSERT_EQ(manifest["files"].size(), 1u) << manifestText;
    EXPECT_EQ(manifest["files"][0]["path"], rec["path"]);
    EXPECT_EQ(manifest["files"][0]["size"], wanted.nSize);
    EXPECT_EQ(manifest["files"][0]["sha256"], sha256);

    // The export unzips to the same bytes and a manifest that says the same.
    auto [nExport, zip] = Call("GET", request["export_url"].get<std::string>());
    ASSERT_EQ(nExport, 200) << zip.substr(0, 200);
    WriteFile(Dir() / "export.zip", zip);
    std::string unzipOut;
    ASSERT_EQ(RunCommand("unzip -o -d '" + (Dir() / "unzipped").string() + "' '" + (Dir() / "export.zip").string() +
                             "' 2>&1",
                         &unzipOut),
              0)
        << unzipOut;
    const fs::path unzipped = Dir() / "unzipped" / rec["path"].get<std::string>();
    EXPECT_TRUE(ReadFile(unzipped) == bytes);
    EXPECT_EQ(Sha256Sum(unzipped), sha256);
    const Json inside = Json::parse(ReadFile(Dir() / "unzipped" / "manifest.json"), nullptr, false);
    ASSERT_TRUE(inside.is_object());
    EXPECT_EQ(inside["files"], manifest["files"]);
    EXPECT_EQ(inside["request"]["id"], nId);

    // Each step is in the audit trail, as the operator's.
    Json audit = GetJson("/api/v1/audit?limit=500");
    ASSERT_TRUE(audit.is_object());
    std::multiset<std::pair<std::string, std::string>> done;
    for (const Json& entry : audit["audit"]) {
        done.insert({entry["action"].get<std::string>(), entry["object"].get<std::string>()});
        EXPECT_EQ(entry["role"], "operator") << entry.dump();
        if (entry["action"] == "request.create")
            EXPECT_NE(entry["detail"].get<std::string>().find("collision report 77"), std::string::npos) << entry.dump();
        if (entry["action"] == "request.export")
            EXPECT_EQ(entry["detail"], "1 recordings, " + std::to_string(zip.size()) + " bytes") << entry.dump();
    }
    const std::string id = std::to_string(nId);
    EXPECT_EQ(done, (std::multiset<std::pair<std::string, std::string>> {{"recordings.list", ""},
                                                                         {"recordings.list", "BUS-0412"},
                                                                         {"request.create", id},
                                                                         {"request.manifest", id},
                                                                         {"request.export", id}}))
        << audit.dump(1);
}

// Depots sharing one fleet through a real PostgreSQL: zeldownloadd processes, each in
// its own directory with its own depot name, recorders simulated in this process.
#include "central/CentralFeeds.h"
#include "central/CentralTestSupport.h"
#include "footage/AuditLog.h"
#include "footage/Sha256File.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"
#include "support/PgCluster.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "web/DepotProcess.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <map>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// One depot: a zeldownloadd in a directory named after it.
struct Depot : DepotProcess {
    // The rows of fleet.db waiting to be sent; -1 before the server answers.
    std::int64_t Outbox() const
    {
        Json status = Get("/api/v1/status");
        return status.contains("central") && status["central"]["connected"] == true
                   ? status["central"]["outbox_rows"].get<std::int64_t>()
                   : -1;
    }
    // The finished recordings of the store.
    std::size_t Stored() const
    {
        std::size_t nFiles = 0;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(Dir() / "store", ec); it != fs::recursive_directory_iterator();
             it.increment(ec))
            nFiles += it->path().extension() == ".mp4";
        return nFiles;
    }
};

class CentralE2eTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        ASSERT_TRUE(Cluster().Start()) << Cluster().Why();
        static std::atomic<int> s_nDb {0};
        m_db = "e2e" + std::to_string(::getpid()) + "_" + std::to_string(s_nDb++);
        ASSERT_TRUE(Cluster().CreateDatabase(m_db)) << Cluster().Why();
    }
    void TearDown() override
    {
        m_sims.clear();
        m_depots.clear();
        Sandbox::TearDown();
    }

    static CPgCluster& Cluster() { return CPgCluster::Shared(); }
    std::string Query(const std::string& sql) { return Cluster().Query(m_db, sql); }

    // A depot server fetching the last nRollingHours, sharing the test's database.
    Depot& AddDepot(const std::string& name, std::uint32_t nRollingHours = 24)
    {
        m_depots.push_back(std::make_unique<Depot>());
        Depot& depot = *m_depots.back();
        depot.Start(Dir() / name,
                    {{"centraldb", Cluster().ConnInfo(m_db)}, {"depotname", name}},
                    [&](ServerSettings&, CSettingsFile& file) {
                        DepotSettings depotSettings;
                        depotSettings.nRollingHours = nRollingHours;
                        EXPECT_TRUE(SaveDepotSettings(depotSettings, file));
                        EXPECT_TRUE(file.WriteValue(
                            "depoturl", "http://127.0.0.1:" + std::to_string(depot.WebPort()) + "/"));
                    });
        WaitUp(depot);
        return depot;
    }

    static void WaitUp(const Depot& depot)
    {
        ASSERT_TRUE(WaitFor([&] { return depot.Get("/api/v1/status").is_object(); }, 20s));
    }

    // Recorders of names at depot, nRecordings per channel, the last one ending now.
    CDvrSimulator& Visit(const Depot& depot, std::vector<std::string> names, int nChannels, int nRecordings,
                         std::uint32_t nBytes, int nRateKBps = 0)
    {
        SimOptions options = depot.Recorders(std::move(names), nChannels, nRecordings, nBytes, m_tRecordings);
        options.nRecSeconds = 600;
        options.nKeepAliveMs = 1000;
        options.faults.nRateKBps = nRateKBps;
        m_sims.push_back(std::make_unique<CDvrSimulator>(options));
        EXPECT_EQ(m_sims.back()->Start(), 0);
        return *m_sims.back();
    }

    std::string m_db;
    // Recordings of 600 s each, from three hours ago on.
    std::uint32_t m_tRecordings = WallClockNow() / 600 * 600 - 3 * 3600;
    std::vector<std::unique_ptr<Depot>> m_depots;
    std::vector<std::unique_ptr<CDvrSimulator>> m_sims;
};

// The all-depots fleet entry of vehicle as depot answers it; null when absent.
Json FleetEntry(const Depot& depot, const std::string& vehicle)
{
    Json fleet = depot.Get("/api/v1/fleet?scope=all");
    if (fleet.is_array())
        for (const Json& entry : fleet)
            if (entry["name"] == vehicle)
                return entry;
    return Json();
}

} // namespace

TEST_F(CentralE2eTest, AVehicleSeenAtTwoDepotsShowsBothVisitsAndItsLastDepot)
{
    Depot& north = AddDepot("north");
    Depot& south = AddDepot("south");
    Visit(north, {"BUS-7"}, 1, 2, 64 * 1024);
    ASSERT_TRUE(WaitFor([&] { return north.Stored() == 2; }, 30s));
    m_sims.clear();
    // Times are whole seconds: the second visit begins in a later one.
    std::this_thread::sleep_for(2s);
    Visit(south, {"BUS-7"}, 1, 2, 64 * 1024);
    ASSERT_TRUE(WaitFor([&] { return south.Stored() == 2; }, 30s));
    Json entry;
    ASSERT_TRUE(WaitFor(
        [&] {
            entry = FleetEntry(north, "BUS-7");
            return entry.is_object() && entry["depots"].size() == 2 && entry["files_total"] == 4;
        },
        30s))
        << entry.dump();
    EXPECT_EQ(entry["last_depot"], "south");
    EXPECT_EQ(entry["visits"], 2);
    for (const Json& depot : entry["depots"]) {
        EXPECT_EQ(depot["visits"], 1) << depot.dump();
        EXPECT_EQ(depot["files_total"], 2) << depot.dump();
    }
    // The south depot answers the same from the shared database.
    EXPECT_EQ(FleetEntry(south, "BUS-7")["last_depot"], "south");

    // Every depot's recordings list at each depot; the bytes come from the one holding them.
    Json list = north.Get("/api/v1/recordings?scope=all&vehicle=BUS-7&limit=3");
    ASSERT_TRUE(list.is_object()) << list.dump();
    ASSERT_EQ(list["recordings"].size(), 3u) << list.dump();
    Json next = north.Get("/api/v1/recordings?scope=all&vehicle=BUS-7&limit=3&after=" + list["next"].get<std::string>());
    ASSERT_EQ(next["recordings"].size(), 1u) << next.dump();
    EXPECT_TRUE(next["next"].is_null());
    std::map<std::string, int> byDepot;
    for (const Json& page : {list, next}) {
        for (const Json& rec : page["recordings"]) {
            ++byDepot[rec["depot"]];
            if (rec["depot"] != "south")
                continue;
            const std::string url = rec["content_url"];
            const std::string prefix = "http://127.0.0.1:" + std::to_string(south.WebPort()) + "/";
            ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
            httplib::Client client("127.0.0.1", south.WebPort());
            auto res = client.Get(url.substr(prefix.size() - 1));
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, 200);
            EXPECT_EQ(res->body, ReadFile(south.Dir() / "store" / rec["path"].get<std::string>()));
        }
    }
    EXPECT_EQ(byDepot, (std::map<std::string, int> {{"north", 2}, {"south", 2}}));

    // The metrics with the shared database's series are well-formed.
    httplib::Client metrics("127.0.0.1", north.WebPort());
    auto res = metrics.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("zeldownload_central_outbox_rows "), std::string::npos);
    if (HaveCommand("promtool")) {
        WriteFile(Dir() / "metrics.txt", res->body);
        std::string output;
        EXPECT_EQ(RunCommand("promtool check metrics < '" + At("metrics.txt") + "' 2>&1", &output), 0) << output;
    }
}

TEST_F(CentralE2eTest, ARequestMadeAtOneDepotIsFetchedOnceByTheDepotTheVehicleReaches)
{
    // One hour of rolling window: the requested footage, three hours old, is fetched
    // only because it was asked for.
    Depot& north = AddDepot("north", 1);
    Depot& south = AddDepot("south", 1);
    const std::uint32_t tFrom = m_tRecordings;
    Json made = north.Post("/api/v1/requests",
                           {{"vehicle", "BUS-8"}, {"channels", {1}}, {"from", tFrom}, {"to", tFrom + 600},
                            {"reason", "passenger complaint"}});
    ASSERT_TRUE(made.contains("id")) << made.dump();
    const std::int64_t nId = made["id"];
    ASSERT_TRUE(WaitFor([&] { return north.Outbox() == 0; }, 20s));

    Visit(south, {"BUS-8"}, 2, 20, 32 * 1024);
    Json copy;
    ASSERT_TRUE(WaitFor(
        [&] {
            Json list = south.Get("/api/v1/requests");
            copy = list.is_object() && !list["requests"].empty() ? list["requests"][0] : Json();
            return copy.is_object() && copy["state"] == "done";
        },
        60s))
        << copy.dump();
    EXPECT_EQ(copy["origin_depot"], "north");
    EXPECT_EQ(copy["origin_id"], nId);
    EXPECT_EQ(copy["taken_by"], "south");
    EXPECT_EQ(copy["recording_count"], 1);
    const fs::path requested =
        south.Dir() / "store" / "BUS-8" / DateDirName(tFrom) / ChannelDirName(1) / FinalFileName(1, tFrom, tFrom + 600);
    EXPECT_TRUE(fs::exists(requested)) << requested;

    // The request made at the north depot follows: taken by south, done.
    Json original;
    EXPECT_TRUE(WaitFor(
        [&] {
            original = north.Get("/api/v1/requests/" + std::to_string(nId));
            return original.is_object() && original["state"] == "done";
        },
        30s))
        << original.dump();
    EXPECT_EQ(original["taken_by"], "south");
    EXPECT_EQ(north.Stored(), 0u);
    // Its manifest at either depot names the same file with the hash of its bytes; the
    // export is the holder's to give.
    const std::string stored = ReadFile(requested);
    Json manifests[2];
    int nAt = 0;
    for (auto [pDepot, nRequest] : {std::pair {&north, nId}, std::pair {&south, copy["id"].get<std::int64_t>()}}) {
        httplib::Client client("127.0.0.1", pDepot->WebPort());
        const std::string base = "/api/v1/requests/" + std::to_string(nRequest);
        std::string body;
        ASSERT_TRUE(WaitFor(
            [&] {
                auto res = client.Get(base + "/manifest");
                body = res ? res->body : "no answer";
                return res && res->status == 200;
            },
            30s))
            << body;
        manifests[nAt++] = Json::parse(body);
        auto exported = client.Get(base + "/export");
        ASSERT_TRUE(exported);
        EXPECT_EQ(exported->status, pDepot == &north ? 409 : 200) << exported->body.substr(0, 200);
    }
    for (const Json& manifest : manifests) {
        ASSERT_EQ(manifest["files"].size(), 1u) << manifest.dump();
        EXPECT_EQ(manifest["files"][0]["size"], stored.size());
        EXPECT_EQ(manifest["files"][0]["sha256"], DigestBytes(stored).strSha256);
    }
    EXPECT_EQ(Query("SELECT count(*) FROM request_claim"), "1");
}

TEST_F(CentralE2eTest, WhenTheVehicleIsAtBothDepotsAtOnceOnlyOneFetchesTheRequest)
{
    Depot& north = AddDepot("north", 1);
    Depot& south = AddDepot("south", 1);
    const std::uint32_t tFrom = m_tRecordings + 600;
    Json made = south.Post("/api/v1/requests", {{"vehicle", "BUS-9"}, {"channels", {1}}, {"from", tFrom},
                                                {"to", tFrom + 600}, {"reason", "both at once"}});
    ASSERT_TRUE(made.contains("id")) << made.dump();
    ASSERT_TRUE(WaitFor([&] { return south.Outbox() == 0; }, 20s));
    // One recorder seen by both: two simulators of the same name and recordings.
    Visit(north, {"BUS-9"}, 1, 20, 32 * 1024);
    Visit(south, {"BUS-9"}, 1, 20, 32 * 1024);
    Json original;
    ASSERT_TRUE(WaitFor(
        [&] {
            original = south.Get("/api/v1/requests/" + std::to_string(made["id"].get<std::int64_t>()));
            return original.is_object() && original["state"] == "done";
        },
        60s))
        << original.dump();
    const std::string file = "BUS-9/" + DateDirName(tFrom) + "/" + ChannelDirName(1) + "/" +
                             FinalFileName(1, tFrom, tFrom + 600);
    const bool bNorth = fs::exists(north.Dir() / "store" / file);
    const bool bSouth = fs::exists(south.Dir() / "store" / file);
    EXPECT_NE(bNorth, bSouth) << "fetched at north " << bNorth << ", at south " << bSouth;
    const std::string taker = original["taken_by"];
    EXPECT_EQ(taker, bNorth ? "north" : "south");
    EXPECT_EQ(Query("SELECT taken_by FROM request_claim"), taker);
    // Only the taker holds a copy or its own request as taken by itself.
    Json northList = north.Get("/api/v1/requests");
    EXPECT_EQ(northList["requests"].size(), taker == "north" ? 1u : 0u) << northList.dump();
}

TEST_F(CentralE2eTest, AMinuteWithoutTheSharedDatabaseLosesNoRowAndHoldsNoDownload)
{
    Depot& north = AddDepot("north");
    ASSERT_TRUE(WaitFor([&] { return north.Outbox() == 0; }, 20s));
    // Ten vehicles whose transfers run over slow links for longer than the outage.
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i)
        names.push_back("BUS-" + std::to_string(100 + i));
    CDvrSimulator& sim = Visit(north, names, 1, 6, 256 * 1024, 40);
    ASSERT_TRUE(WaitFor([&] { return north.Stored() >= 5; }, 30s));
    ASSERT_TRUE(Cluster().Stop());
    const std::size_t nBefore = north.Stored();
    std::this_thread::sleep_for(60s);
    const std::size_t nDuring = north.Stored() - nBefore;
    ASSERT_TRUE(Cluster().Start()) << Cluster().Why();
    ASSERT_TRUE(WaitFor([&] { return north.Stored() == 60; }, 120s)) << north.Stored();
    // Files kept arriving while the database was away.
    EXPECT_GT(nDuring, 10u);
    std::printf("recordings stored during the outage: %zu of 60\n", nDuring);
    sim.Stop();
    m_sims.clear();
    // Once the vehicles are gone (their departures written), everything is sent.
    ASSERT_TRUE(WaitFor(
        [&] {
            Json status = north.Get("/api/v1/status");
            return status.contains("central") && status["central"]["connected"] == true &&
                   status["central"]["outbox_rows"] == 0 && status["online"] == 0;
        },
        60s));
    north.Stop(SIGTERM);
    for (const CentralFeed& feed : CentralFeeds())
        EXPECT_EQ(CentralRows(Cluster(), m_db, "north", feed), LocalRows((north.Dir() / "fleet.db").string(), feed))
            << feed.szTable;
    EXPECT_EQ(Query("SELECT count(*) FROM recording WHERE depot='north'"), "60");
}

TEST_F(CentralE2eTest, ADepotKilledWhileSendingLosesAndRepeatsNoRow)
{
    // A depot with a long audit trail joins the shared fleet: every row is queued at
    // its first start and sent in many batches.
    fs::create_directories(Dir() / "north");
    const std::string db = (Dir() / "north" / "fleet.db").string();
    {
        CAuditLog audit;
        ASSERT_EQ(audit.Open(db), 0);
    }
    ASSERT_EQ(SqliteFile(db).Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60000)"
                                  " INSERT INTO audit(at, client, role, action, object, detail)"
                                  " SELECT 1700000000 + i, '192.0.2.1', 'operator', 'recording.view', i, '' FROM n"),
              "");

    Depot& north = AddDepot("north");
    ASSERT_TRUE(WaitFor(
        [&] {
            std::string sent = Query("SELECT count(*) FROM audit");
            return !sent.empty() && std::stoi(sent) > 0;
        },
        30s));
    north.Stop(SIGKILL);
    const std::string atKill = Query("SELECT count(*) FROM audit");
    ASSERT_LT(std::stoi(atKill), 60000) << "sent whole before the kill";
    north.Restart();
    WaitUp(north);
    ASSERT_TRUE(WaitFor([&] { return north.Outbox() == 0; }, 60s));
    north.Stop(SIGTERM);
    EXPECT_EQ(Query("SELECT count(*), count(DISTINCT id), min(id), max(id) FROM audit"), "60000|60000|1|60000")
        << "killed with " << atKill << " sent";
    for (const CentralFeed& feed : CentralFeeds())
        EXPECT_EQ(CentralRows(Cluster(), m_db, "north", feed), LocalRows(db, feed)) << feed.szTable;
}

#include "depot/FleetHistory.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "support/PgCluster.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "web/DepotProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <regex>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t kT0 = 1700000000;  // start of the simulated recordings

// zeldownloadd as a process in the sandbox, recorders simulated in this one, and
// Debian's headless Chromium looking at the dashboard.
class DashboardWebTest : public Sandbox {
protected:
    void TearDown() override
    {
        m_pSim.reset();
        m_depot.Stop(SIGTERM);
        Sandbox::TearDown();
    }

    // Starts the server with the usual settings and, besides, the keys given.
    void Launch(const DepotProcess::Keys& keys = {})
    {
        m_depot.Start(Dir(), keys, [](ServerSettings& settings, CSettingsFile&) {
            settings.tStart = kT0 - 60;
            settings.tStop = kT0 + 86400;
        });
    }

    std::string RenderedPage(const std::string& fragment = {}) const { return m_depot.RenderedPage(fragment); }

    // Recorders of names, each transfer connecting nConnectDelayMs after its request.
    void StartSim(std::vector<std::string> names, int nChannels, int nRecordings, std::uint32_t nBytes,
                  int nConnectDelayMs = 0)
    {
        SimOptions options = m_depot.Recorders(std::move(names), nChannels, nRecordings, nBytes, kT0);
        options.faults.nConnectDelayMs = nConnectDelayMs;
        m_pSim = std::make_unique<CDvrSimulator>(options);
        ASSERT_EQ(m_pSim->Start(), 0);
    }

    DepotProcess m_depot;
    std::unique_ptr<CDvrSimulator> m_pSim;
};

} // namespace

TEST_F(DashboardWebTest, BrowserShowsTheVehiclesDownloading)
{
    if (!HaveCommand("chromium"))
        GTEST_SKIP() << "chromium is not installed (scripts/deps.sh installs it)";
    Launch();

    // Three recorders whose recordings each wait before they stream: their passes
    // take many seconds, so the browser finds them midway.
    StartSim({"WEB-1", "WEB-2", "WEB-3"}, 2, 40, 1u << 20, 300);

    // Wait (through the API) until every vehicle is midway through its pass.
    const bool bMidway = WaitFor([&] {
        nlohmann::json vehicles = m_depot.Get("/api/v1/vehicles");
        bool bAll = vehicles.size() == 3;
        for (const auto& vehicle : vehicles)
            bAll = bAll && vehicle["progress"] > 0 && vehicle["progress"] < 100;
        return bAll;
    }, std::chrono::seconds(60), [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
    ASSERT_TRUE(bMidway) << "the vehicles never showed progress midway";

    const std::string dom = RenderedPage();
    // Every vehicle has its row, with a progress bar that shows the figure it carries.
    const std::regex row("<tr class=\"vehicle\" data-name=\"(WEB-[123])\" data-progress=\"([0-9]+)\">(.*?)</tr>");
    std::set<std::string> shown;
    int nMidway = 0;
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator(); ++it) {
        const std::string name = (*it)[1];
        const int nProgress = std::stoi((*it)[2]);
        const std::string cells = (*it)[3];
        shown.insert(name);
        EXPECT_NE(cells.find("style=\"width: " + std::to_string(nProgress) + "%;\""), std::string::npos) << cells;
        EXPECT_NE(cells.find(">" + std::to_string(nProgress) + "%</span>"), std::string::npos) << cells;
        if (nProgress > 0 && nProgress < 100)
            ++nMidway;
    }
    EXPECT_EQ(shown, (std::set<std::string> {"WEB-1", "WEB-2", "WEB-3"})) << dom;
    EXPECT_GT(nMidway, 0) << dom;
    // The summary and the log came along too.
    EXPECT_NE(dom.find("<span id=\"s-online\" class=\"value\">3</span>"), std::string::npos);
    EXPECT_NE(dom.find("<li><time>"), std::string::npos);
    EXPECT_NE(dom.find("vehname=WEB-"), std::string::npos);
    EXPECT_NE(dom.find("class=\"link live\""), std::string::npos);
}

TEST_F(DashboardWebTest, BrowserShowsUnfetchableAndLeftBehindRecordings)
{
    if (!HaveCommand("chromium"))
        GTEST_SKIP() << "chromium is not installed (scripts/deps.sh installs it)";
    // The server finds them in its fleet.db.
    const std::uint32_t tNow = WallClockNow();
    {
        CFleetHistory history(At(CFleetHistory::kDefaultPath));
        ASSERT_EQ(history.Open(), 0);
        MissedRecording rec;
        rec.nChannel = 2;
        rec.strFileName = "ch02_0042.mp4";
        rec.tStart = tNow - 3600;
        rec.tEnd = tNow - 3300;
        rec.strReason = "failed 3 times in a row: connection closed after the header";
        for (int nVisit = 0; nVisit < 3; ++nVisit) {
            history.OnArrival("BUS-9", "10.0.0.9:1", tNow - 100 + nVisit);
            history.OnRecordingMissed("BUS-9", rec, tNow - 100 + nVisit);
        }
        rec.strFileName = "ch02_0041.mp4";
        rec.strReason = "out of the span";
        history.OnRecordingLeftBehind("BUS-9", rec, tNow - 90);
        history.OnRecordingLeftBehind("LEFT-1", rec, tNow - 90);
        for (const char* szName : {"BUS-9", "LEFT-1"}) {
            history.OnCompleteOffload(szName, tNow - 60);
            history.OnPending(szName, 0);
        }
    }
    Launch();
    ASSERT_TRUE(WaitFor([&] { return m_depot.Get("/api/v1/fleet").size() == 2; }, std::chrono::seconds(30), [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }));

    const std::string dom = RenderedPage();
    // The vehicle with an unfetchable recording is marked and says why; the one with
    // only a left-behind recording shows its count unmarked.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(dom, match, std::regex("<tr class=\"attention\" title=\"([^\"]*)\" "
                                                         "data-name=\"BUS-9\">(.*?)</tr>")))
        << dom;
    EXPECT_EQ(match[1], "unfetchable recordings");
    EXPECT_NE(match[2].str().find(">1 unfetchable, 1 left behind</td>"), std::string::npos) << match[2];
    ASSERT_TRUE(std::regex_search(dom, match, std::regex("<tr data-name=\"LEFT-1\">(.*?)</tr>"))) << dom;
    EXPECT_NE(match[1].str().find(">1 left behind</td>"), std::string::npos) << match[1];

    // Both are listed with their reasons.
    ASSERT_TRUE(std::regex_search(dom, match, std::regex("<tr class=\"unfetchable\" data-name=\"BUS-9\">(.*?)</tr>")))
        << dom;
    EXPECT_NE(match[1].str().find("<td>ch02_0042.mp4</td>"), std::string::npos) << match[1];
    EXPECT_NE(match[1].str().find("<td>failed 3 times in a row: connection closed after the header</td>"),
              std::string::npos)
        << match[1];
    const std::regex leftRow("<tr class=\"left_behind\" data-name=\"(BUS-9|LEFT-1)\">.*?<td>out of the span</td></tr>");
    EXPECT_EQ(std::distance(std::sregex_iterator(dom.begin(), dom.end(), leftRow), std::sregex_iterator()), 2) << dom;
    EXPECT_NE(dom.find("<p id=\"missed-empty\" class=\"empty\" hidden=\"\">"), std::string::npos) << dom;
    // Without a shared database, nothing of it shows.
    EXPECT_NE(dom.find("<div id=\"central\" class=\"card\" hidden=\"\">"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<select id=\"fleet-scope\" aria-label=\"Which fleet\" hidden=\"\">"), std::string::npos) << dom;
}

namespace {

// What the cells of a table row hold, in order.
std::vector<std::string> Cells(const std::string& row)
{
    std::vector<std::string> cells;
    const std::regex cell("<td[^>]*>(.*?)</td>");
    for (auto it = std::sregex_iterator(row.begin(), row.end(), cell); it != std::sregex_iterator(); ++it)
        cells.push_back((*it)[1]);
    return cells;
}

// The cells of the row of dom that pattern (up to its ">") finds; empty when none does.
std::vector<std::string> RowCells(const std::string& dom, const std::string& pattern)
{
    std::smatch match;
    if (!std::regex_search(dom, match, std::regex(pattern + "(.*?)</tr>")))
        return {};
    return Cells(match[1]);
}

} // namespace

TEST_F(DashboardWebTest, BrowserShowsTheSharedFleetOfAllDepots)
{
    if (!HaveCommand("chromium"))
        GTEST_SKIP() << "chromium is not installed (scripts/deps.sh installs it)";
    CPgCluster& cluster = CPgCluster::Shared();
    ASSERT_TRUE(cluster.Start()) << cluster.Why();
    const std::string db = "dash" + std::to_string(::getpid());
    ASSERT_TRUE(cluster.CreateDatabase(db)) << cluster.Why();
    Launch({{"centraldb", cluster.ConnInfo(db)}, {"depotname", "north"}});

    // One recorder offloads its two recordings and leaves; everything reaches the
    // shared database.
    StartSim({"BUS-7"}, 1, 2, 64u << 10);
    const auto nap = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    nlohmann::json local, status;
    ASSERT_TRUE(WaitFor([&] {
        local = m_depot.Get("/api/v1/fleet");
        return local.is_array() && local.size() == 1 && local[0]["files_total"] == 2;
    }, std::chrono::seconds(60), nap)) << local.dump();
    // Each pass of an online vehicle rewrites its row: the outbox holds still only
    // once it has gone (silent past the keep-alive expiry).
    m_pSim.reset();
    ASSERT_TRUE(WaitFor([&] { return m_depot.Get("/api/v1/vehicles") == nlohmann::json::array(); },
                        std::chrono::seconds(60), nap));
    ASSERT_TRUE(WaitFor([&] {
        status = m_depot.Get("/api/v1/status");
        return status.contains("central") && status["central"]["connected"] == true &&
               status["central"]["outbox_rows"] == 0;
    }, std::chrono::seconds(30), nap)) << status.dump();
    local = m_depot.Get("/api/v1/fleet")[0];

    // The status shows the sending; the fleet shows this depot's own view by default,
    // with the choice of all depots beside its title.
    std::string dom = RenderedPage();
    EXPECT_NE(dom.find("<div id=\"central\" class=\"card\">"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<span id=\"c-depot\" class=\"value\">north</span>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<span id=\"c-link\" class=\"sub good\">connected</span>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<span id=\"c-outbox\" class=\"sub\">outbox 0 rows</span>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<select id=\"fleet-scope\" aria-label=\"Which fleet\">"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<div id=\"fleet-all-depots\" hidden=\"\">"), std::string::npos) << dom;
    EXPECT_EQ(RowCells(dom, "<tr data-name=\"BUS-7\">").size(), 10u) << dom;

    // All depots: the vehicle as this depot sent it, its depot's row folded away.
    dom = RenderedPage("status?fleet=all");
    EXPECT_NE(dom.find("<div id=\"fleet-depot\" hidden=\"\">"), std::string::npos) << dom;
    std::vector<std::string> row = RowCells(dom, "<tr class=\"vehicle-all\" data-name=\"BUS-7\"[^>]*>");
    ASSERT_EQ(row.size(), 8u) << dom;
    EXPECT_EQ(row[0], "BUS-7");
    EXPECT_EQ(row[1], "north");
    EXPECT_EQ(row[3], local["visits"].dump());
    EXPECT_EQ(row[4], "2");
    std::vector<std::string> depot =
        RowCells(dom, "<tr class=\"depot\" data-name=\"BUS-7\" data-depot=\"north\" hidden=\"\">");
    ASSERT_EQ(depot.size(), 8u) << dom;
    EXPECT_EQ(depot[1], "north");

    // Another depot saw it since: it is the last depot, and the visits add up.
    const std::uint32_t tLastSeen = local["last_seen"];
    ASSERT_EQ(cluster.Query(db, "INSERT INTO vehicle(depot, name, first_seen, last_seen, last_address, visits, "
                                "files_total, bytes_total, files_last_visit, bytes_last_visit, last_complete_offload, "
                                "pending, last_failure_time, last_failure, missed_dropped) VALUES ('south', 'BUS-7', " +
                                    std::to_string(tLastSeen - 86400) + ", " + std::to_string(tLastSeen + 600) +
                                    ", '198.51.100.4:7000', 4, 30, 3145728, 3, 1048576, " +
                                    std::to_string(tLastSeen + 500) + ", 0, 0, '', 0) RETURNING depot"),
              "south")
        << cluster.Why();
    dom = RenderedPage("status?fleet=all&open=BUS-7");
    row = RowCells(dom, "<tr class=\"vehicle-all open\" data-name=\"BUS-7\"[^>]*>");
    ASSERT_EQ(row.size(), 8u) << dom;
    EXPECT_EQ(row[1], "south");
    EXPECT_EQ(row[3], std::to_string(local["visits"].get<int>() + 4));
    EXPECT_EQ(row[4], "32");
    // Opened, each depot's own figures.
    depot = RowCells(dom, "<tr class=\"depot\" data-name=\"BUS-7\" data-depot=\"south\">");
    ASSERT_EQ(depot.size(), 8u) << dom;
    EXPECT_EQ(depot[3], "4");
    EXPECT_EQ(depot[5], "3.0 MiB");
    depot = RowCells(dom, "<tr class=\"depot\" data-name=\"BUS-7\" data-depot=\"north\">");
    ASSERT_EQ(depot.size(), 8u) << dom;
    EXPECT_EQ(depot[3], local["visits"].dump());

    // The shared database gone, the view says why instead of a table; the status
    // card says the link is down.
    ASSERT_TRUE(cluster.Stop()) << cluster.Why();
    int nStatus = 0;
    nlohmann::json answer;
    ASSERT_TRUE(WaitFor([&] {
        answer = m_depot.Get("/api/v1/fleet?scope=all", &nStatus);
        return nStatus == 503;
    }, std::chrono::seconds(30), nap)) << nStatus;
    ASSERT_TRUE(WaitFor([&] {
        status = m_depot.Get("/api/v1/status");
        return status.contains("central") && status["central"]["connected"] == false;
    }, std::chrono::seconds(30), nap)) << status.dump();
    dom = RenderedPage("status?fleet=all");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(dom, match, std::regex("<p id=\"fleet-all-error\" class=\"denied\">([^<]+)</p>")))
        << dom;
    EXPECT_FALSE(match[1].str().empty());
    EXPECT_NE(dom.find("<table id=\"fleet-all\" hidden=\"\">"), std::string::npos) << dom;
    EXPECT_EQ(dom.find("class=\"vehicle-all"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<span id=\"c-link\" class=\"sub bad\">not connected: "), std::string::npos) << dom;
    ASSERT_TRUE(cluster.Start()) << cluster.Why();
}

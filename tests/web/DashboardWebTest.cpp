#include "depot/FleetHistory.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "support/Sandbox.h"
#include "support/ServerProcess.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "web/WebTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::uint32_t kT0 = 1700000000;  // start of the simulated recordings

// zeldownloadd as a process in the sandbox, recorders simulated in this one, and
// Debian's headless Chromium looking at the dashboard.
class DashboardWebTest : public Sandbox {
protected:
    void TearDown() override
    {
        m_pSim.reset();
        m_server.Stop(SIGTERM);
        Sandbox::TearDown();
    }

    void Launch()
    {
        CSettingsFile file(At("QorConfig.xml"));
        ServerSettings settings = DefaultSettings();
        m_nControlPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
        settings.nPort = m_nControlPort;
        std::strcpy(settings.szDownDir, "store");
        settings.tStart = kT0 - 60;
        settings.tStop = kT0 + 86400;
        ASSERT_TRUE(SaveSettings(settings, file));
        m_nWebPort = FreeTcpPort();
        ASSERT_TRUE(file.WriteValue("httpport", std::to_string(m_nWebPort)));
        ASSERT_TRUE(m_server.Start({.dir = Dir(), .err = "stderr.txt"}));
    }

    // The page after its script ran for a few seconds, as the browser holds it.
    std::string RenderedPage() const
    {
        std::string dom;
        int nExit = RunCommand("timeout 120 chromium --headless --no-sandbox --disable-gpu --user-data-dir=" +
                                   (Dir() / "chromium").string() +
                                   " --virtual-time-budget=4000 --dump-dom http://127.0.0.1:" +
                                   std::to_string(m_nWebPort) + "/ 2>/dev/null",
                               &dom);
        EXPECT_EQ(nExit, 0);
        return dom;
    }

    ServerProcess m_server;
    std::uint16_t m_nControlPort = 0;
    std::uint16_t m_nWebPort = 0;
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
    SimOptions options;
    options.nServerPort = m_nControlPort;
    options.vecNames = {"WEB-1", "WEB-2", "WEB-3"};
    options.nChannels = 2;
    options.nRecordings = 40;
    options.nRecBytes = 1u << 20;
    options.nRecSeconds = 300;
    options.tStart = kT0;
    options.nKeepAliveMs = 300;
    options.nVerbosity = 0;
    options.faults.nConnectDelayMs = 300;
    m_pSim = std::make_unique<CDvrSimulator>(options);
    ASSERT_EQ(m_pSim->Start(), 0);

    // Wait (through the API) until every vehicle is midway through its pass.
    httplib::Client client("127.0.0.1", m_nWebPort);
    const bool bMidway = WaitFor([&] {
        auto res = client.Get("/api/v1/vehicles");
        if (!res || res->status != 200)
            return false;
        nlohmann::json vehicles = nlohmann::json::parse(res->body);
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
    httplib::Client client("127.0.0.1", m_nWebPort);
    ASSERT_TRUE(WaitFor([&] {
        auto res = client.Get("/api/v1/fleet");
        return res && res->status == 200 && nlohmann::json::parse(res->body).size() == 2;
    }, std::chrono::seconds(30), [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }));

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
}

// The footage views as a browser shows them: zeldownloadd as a process in the sandbox,
// two simulated recorders serving a real H.264 clip made by ffmpeg, and Debian's
// headless Chromium looking at #recordings and #requests.
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "web/DepotProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <map>
#include <regex>
#include <set>
#include <thread>

namespace {

using Json = nlohmann::json;

constexpr std::uint32_t kT0 = 1700000000;  // start of the simulated recordings
constexpr std::uint32_t kRecSeconds = 300;

class FootageWebTest : public Sandbox {
protected:
    void TearDown() override
    {
        m_pSim.reset();
        m_depot.Stop(SIGTERM);
        Sandbox::TearDown();
    }

    // Why the test cannot run here; "" when it can.
    static std::string Missing()
    {
        for (const char* szName : {"chromium", "ffmpeg"})
            if (!HaveCommand(szName))
                return std::string(szName) + " is not installed (scripts/deps.sh installs it)";
        return "";
    }

    // A three-second H.264 clip at 10 frames a second, made now.
    void MakeClip()
    {
        const std::string path = At("clip.mp4");
        ASSERT_EQ(RunCommand("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=duration=3:size=160x120:rate=10 "
                             "-c:v libx264 -pix_fmt yuv420p -movflags +faststart -y " +
                             path + " 2>&1"),
                  0);
        m_clip = ReadFile(path);
        ASSERT_GT(m_clip.size(), 1000u);
    }

    void Launch()
    {
        m_depot.Start(Dir(), {}, [](ServerSettings& settings, CSettingsFile&) {
            settings.tStart = kT0 - 60;
            settings.tStop = kT0 + 86400;
        });
    }

    // CAM-A and CAM-B, two channels of two recordings each, every one the clip; waits
    // until the catalogue lists all eight.
    void StartFleet()
    {
        SimOptions options =
            m_depot.Recorders({"CAM-A", "CAM-B"}, 2, 2, static_cast<std::uint32_t>(m_clip.size()), kT0);
        options.strRecFile = At("clip.mp4");
        m_pSim = std::make_unique<CDvrSimulator>(options);
        ASSERT_EQ(m_pSim->Start(), 0);
        ASSERT_TRUE(WaitFor([&] { return Recordings("").size() == 8; }, std::chrono::seconds(60), Nap))
            << "the catalogue never listed the eight recordings: " << Recordings("").dump();
    }

    static void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }

    // The API's recordings for a query ("vehicle=CAM-A&channel=2"); empty on failure.
    Json Recordings(const std::string& query) const
    {
        Json answer = m_depot.Get("/api/v1/recordings?" + query);
        return answer.is_object() ? answer["recordings"] : Json::array();
    }

    std::string RenderedPage(const std::string& fragment, int nBudgetMs) const
    {
        return m_depot.RenderedPage(fragment, nBudgetMs);
    }

    // The part of dom from <table id="name"> to its end; "" when absent.
    static std::string Table(const std::string& dom, const std::string& name)
    {
        const std::size_t nStart = dom.find("<table id=\"" + name + "\">");
        const std::size_t nEnd = dom.find("</table>", nStart);
        return nStart == std::string::npos || nEnd == std::string::npos ? "" : dom.substr(nStart, nEnd - nStart);
    }

    // The recordings table's rows: id -> (vehicle, channel), and the id of the row in
    // the player (0 when none).
    struct ShownRecordings {
        std::map<std::int64_t, std::pair<std::string, int>> rows;
        std::int64_t nChosen = 0;
    };
    static ShownRecordings RecordingRows(const std::string& dom)
    {
        ShownRecordings shown;
        const std::string table = Table(dom, "recordings");
        const std::regex row("<tr data-id=\"([0-9]+)\"([^>]*)><td>([^<]*)</td><td class=\"num\">([0-9]+)</td>");
        for (auto it = std::sregex_iterator(table.begin(), table.end(), row); it != std::sregex_iterator(); ++it) {
            const std::int64_t nId = std::stoll((*it)[1]);
            shown.rows[nId] = {(*it)[3], std::stoi((*it)[4])};
            if ((*it)[2].str().find("chosen") != std::string::npos)
                shown.nChosen = nId;
        }
        return shown;
    }

    // The ids of rows of the API's answer.
    static std::set<std::int64_t> Ids(const Json& rows)
    {
        std::set<std::int64_t> ids;
        for (const Json& row : rows)
            ids.insert(row["id"].get<std::int64_t>());
        return ids;
    }

    static std::set<std::int64_t> Ids(const ShownRecordings& shown)
    {
        std::set<std::int64_t> ids;
        for (const auto& [nId, row] : shown.rows)
            ids.insert(nId);
        return ids;
    }

    DepotProcess m_depot;
    std::string m_clip;
    std::unique_ptr<CDvrSimulator> m_pSim;
};

} // namespace

TEST_F(FootageWebTest, RecordingsViewPlaysTheClipWhoseBytesComeBackWholeAndRequestsViewShowsTheStates)
{
    if (const std::string missing = Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    MakeClip();
    Launch();
    StartFleet();

    // Unfiltered: all eight, from both vehicles and both channels.
    ShownRecordings all = RecordingRows(RenderedPage("recordings", 3000));
    EXPECT_EQ(Ids(all), Ids(Recordings(""))) << Table(RenderedPage("recordings", 3000), "recordings");
    std::set<std::pair<std::string, int>> kinds;
    for (const auto& [nId, row] : all.rows)
        kinds.insert(row);
    EXPECT_EQ(kinds, (std::set<std::pair<std::string, int>> {{"CAM-A", 1}, {"CAM-A", 2}, {"CAM-B", 1}, {"CAM-B", 2}}));
    EXPECT_EQ(all.nChosen, 0);

    // By vehicle: CAM-A's four.
    ShownRecordings byVehicle = RecordingRows(RenderedPage("recordings?vehicle=CAM-A", 3000));
    EXPECT_EQ(byVehicle.rows.size(), 4u);
    for (const auto& [nId, row] : byVehicle.rows)
        EXPECT_EQ(row.first, "CAM-A") << nId;
    EXPECT_EQ(Ids(byVehicle), Ids(Recordings("vehicle=CAM-A")));

    // By vehicle and channel, with the first in the player: the media element read the
    // clip's three seconds from the server's bytes.
    const std::string dom = RenderedPage("recordings?vehicle=CAM-A&channel=2&play=first", 6000);
    ShownRecordings narrowed = RecordingRows(dom);
    const Json expected = Recordings("vehicle=CAM-A&channel=2");
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_EQ(Ids(narrowed), Ids(expected)) << Table(dom, "recordings");
    EXPECT_EQ(narrowed.nChosen, expected[0]["id"].get<std::int64_t>()) << Table(dom, "recordings");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(dom, match, std::regex("<video id=\"player\"[^>]*>"))) << dom;
    const std::string video = match[0];
    EXPECT_NE(video.find("src=\"/api/v1/recordings/" + std::to_string(narrowed.nChosen) + "/content?ticket="),
              std::string::npos)
        << video;
    ASSERT_TRUE(std::regex_search(video, match, std::regex("data-duration=\"([0-9.]+)\""))) << video;
    EXPECT_NEAR(std::stod(match[1]), 3.0, 0.2) << video;
    EXPECT_NE(dom.find("<h2 id=\"player-title\">CAM-A · channel 2 · "), std::string::npos);

    // The bytes behind content_url, whole and by ranges, are the clip's.
    httplib::Client client("127.0.0.1", m_depot.WebPort());
    const Json row = Recordings("vehicle=CAM-B&channel=1")[0];
    const std::string url = row["content_url"];
    EXPECT_EQ(row["size"], m_clip.size());
    auto whole = client.Get(url);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 200);
    EXPECT_TRUE(whole->body == m_clip) << whole->body.size() << " bytes";
    const std::size_t nSize = m_clip.size();
    for (auto [nFirst, nLast] : {std::pair<std::size_t, std::size_t> {1000, 4999}, {nSize - 700, nSize - 1}, {0, 0}}) {
        auto part = client.Get(url, {{"Range", "bytes=" + std::to_string(nFirst) + "-" + std::to_string(nLast)}});
        ASSERT_TRUE(part);
        EXPECT_EQ(part->status, 206);
        EXPECT_EQ(part->get_header_value("Content-Range"),
                  "bytes " + std::to_string(nFirst) + "-" + std::to_string(nLast) + "/" + std::to_string(nSize));
        EXPECT_TRUE(part->body == m_clip.substr(nFirst, nLast - nFirst + 1)) << nFirst << "-" << nLast;
    }
    // What was stored on disk is the clip too.
    EXPECT_TRUE(ReadFile(Dir() / "store" / row["path"].get<std::string>()) == m_clip);

    // The requests view shows requests made through the API with their states.
    // One for footage CAM-B has stored already, one for a vehicle that never came.
    auto Make = [&](const Json& body) -> std::int64_t {
        auto res = client.Post("/api/v1/requests", body.dump(), "application/json");
        EXPECT_TRUE(res && res->status == 201) << (res ? res->body : "no answer");
        return res && res->status == 201 ? Json::parse(res->body)["id"].get<std::int64_t>() : 0;
    };
    const std::int64_t nStored = Make({{"vehicle", "CAM-B"},
                                       {"channels", {1}},
                                       {"from", kT0 + 10},
                                       {"to", kT0 + kRecSeconds - 10},
                                       {"reason", "complaint 4411"}});
    const std::int64_t nAway = Make(
        {{"vehicle", "CAM-AWAY"}, {"channels", Json::array()}, {"from", kT0}, {"to", kT0 + 600}, {"reason", "stolen bag"}});
    ASSERT_GT(nStored, 0);
    ASSERT_GT(nAway, 0);
    auto StateOf = [&](std::int64_t nId) {
        auto res = client.Get("/api/v1/requests/" + std::to_string(nId));
        return res && res->status == 200 ? Json::parse(res->body)["state"].get<std::string>() : std::string("?");
    };
    ASSERT_TRUE(WaitFor([&] { return StateOf(nStored) == "done"; }, std::chrono::seconds(30), Nap))
        << StateOf(nStored);
    ASSERT_EQ(StateOf(nAway), "waiting");

    const std::string table = Table(RenderedPage("requests", 3000), "requests");
    std::map<std::int64_t, std::string> rows;
    const std::regex requestRow("<tr data-id=\"([0-9]+)\">(.*?)</tr>");
    for (auto it = std::sregex_iterator(table.begin(), table.end(), requestRow); it != std::sregex_iterator(); ++it)
        rows[std::stoll((*it)[1])] = (*it)[2];
    ASSERT_EQ(rows.size(), 2u) << table;

    const std::string& stored = rows[nStored];
    EXPECT_NE(stored.find("<td>CAM-B</td><td>1</td>"), std::string::npos) << stored;
    EXPECT_NE(stored.find(">complaint 4411</td>"), std::string::npos) << stored;
    EXPECT_NE(stored.find("<span class=\"state done\">done</span>"), std::string::npos) << stored;
    EXPECT_NE(stored.find("<td class=\"num\">1</td>"), std::string::npos) << stored;  // one recording
    EXPECT_NE(stored.find(">Export</a>"), std::string::npos) << stored;
    EXPECT_EQ(stored.find(">Cancel</button>"), std::string::npos) << stored;

    const std::string& away = rows[nAway];
    EXPECT_NE(away.find("<td>CAM-AWAY</td><td>all</td>"), std::string::npos) << away;
    EXPECT_NE(away.find("<span class=\"state waiting\">waiting</span>"), std::string::npos) << away;
    EXPECT_NE(away.find(">Manifest</a>"), std::string::npos) << away;
    EXPECT_EQ(away.find(">Export</a>"), std::string::npos) << away;
    EXPECT_NE(away.find(">Cancel</button>"), std::string::npos) << away;
}

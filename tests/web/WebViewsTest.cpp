#include "support/Sandbox.h"
#include "web/LogRing.h"
#include "web/WebTestSupport.h"
#include "web/WebViews.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

TEST(WebViewsTest, InvalidUtf8IsReplacedByteByByte)
{
    EXPECT_EQ(ValidUtf8("plain B\xC3\xBC \xE2\x82\xAC \xF0\x9F\x9A\x8C"), "plain B\xC3\xBC \xE2\x82\xAC \xF0\x9F\x9A\x8C");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(ValidUtf8("a\xFF" "b"), "a" + bad + "b");
    EXPECT_EQ(ValidUtf8("\xC0\xAF"), bad + bad);                       // overlong '/'
    EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), bad + bad + bad);             // a surrogate
    EXPECT_EQ(ValidUtf8("\xF4\x90\x80\x80"), bad + bad + bad + bad);   // above U+10FFFF
    EXPECT_EQ(ValidUtf8("end\xE2\x82"), "end" + bad + bad);            // cut short
}

class WebMetricsTest : public Sandbox {};

TEST_F(WebMetricsTest, NamesOfAnyBytesMakeValidJsonAndMetrics)
{
    std::vector<VehicleStatus> vehicles(5);
    const char* names[] = {"back\\slash", "quo\"te", "line\nfeed", "B\xC3\xBC", "raw\xFF"};
    for (std::size_t i = 0; i < vehicles.size(); ++i) {
        vehicles[i].strName = names[i];
        vehicles[i].nProgress = static_cast<int>(10 * i);
        vehicles[i].nSpeedBytes = static_cast<std::uint32_t>(1000 * i);
    }
    nlohmann::json json = nlohmann::json::parse(VehiclesJson(vehicles));
    EXPECT_EQ(json[0]["name"], "back\\slash");
    EXPECT_EQ(json[2]["name"], "line\nfeed");
    EXPECT_EQ(json[4]["name"], "raw\xEF\xBF\xBD");

    WebStatus status;
    status.nOnline = vehicles.size();
    status.nDiskFree = 12345;
    status.nUnfetchable = 7;
    status.nAuthFailures = 3;
    const std::string metrics = MetricsText(status, vehicles);
    EXPECT_NE(metrics.find("# TYPE zeldownload_unfetchable_recordings gauge\nzeldownload_unfetchable_recordings 7\n"),
              std::string::npos)
        << metrics;
    for (const char* szSeries : {"{vehicle=\"back\\\\slash\"} 0\n", "{vehicle=\"quo\\\"te\"} 10\n",
                                 "{vehicle=\"line\\nfeed\"} 20\n", "{vehicle=\"B\xC3\xBC\"} 30\n",
                                 "{vehicle=\"raw\xEF\xBF\xBD\"} 40\n"})
        EXPECT_NE(metrics.find(std::string("zeldownload_vehicle_progress_percent") + szSeries), std::string::npos)
            << szSeries;
    // The same in base units.
    EXPECT_NE(metrics.find("zeldownload_vehicle_progress_ratio{vehicle=\"B\xC3\xBC\"} 0.3\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("zeldownload_vehicle_progress_ratio{vehicle=\"back\\\\slash\"} 0\n"), std::string::npos);
    EXPECT_NE(metrics.find("zeldownload_vehicle_speed_bytes_per_second{vehicle=\"B\xC3\xBC\"} 3000\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("# TYPE zeldownload_http_auth_failures_total counter\nzeldownload_http_auth_failures_total 3\n"),
              std::string::npos);
    if (!HaveCommand("promtool"))
        GTEST_SKIP() << "promtool is not installed (scripts/deps.sh installs prometheus)";
    WriteFile(Dir() / "metrics.txt", metrics);
    std::string output;
    EXPECT_EQ(RunCommand("promtool check metrics < '" + At("metrics.txt") + "' 2>&1", &output), 0) << output << metrics;
}

TEST(LogRingTest, HandsOutNumberedLinesAfterTheOneAsked)
{
    CLogRing ring(5);
    for (int i = 1; i <= 8; ++i)
        ring.Add("", "line " + std::to_string(i), 100);
    // Lines 1 to 3 were pushed out: asking from before them starts at the oldest kept.
    std::vector<CLogRing::Line> lines = ring.After(0, 3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].nSeq, 4u);
    EXPECT_EQ(lines[0].strText, "line 4");
    EXPECT_EQ(lines[2].nSeq, 6u);
    lines = ring.After(6);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].strText, "line 8");
    EXPECT_TRUE(ring.After(8).empty());
    EXPECT_TRUE(ring.After(1000).empty());

    // As the logger posts them: the vehicle's name behind the message's NUL.
    char payload[kNotifyPayloadSize] = "vehname=BUS1, chan=1, download finished!";
    std::strcpy(payload + std::strlen(payload) + 1, "BUS1");
    ring.OnNotifyEvent(NOTIFY_LOG, payload);
    char plain[kNotifyPayloadSize] = "Server starts";
    ring.OnNotifyEvent(NOTIFY_LOG, plain);
    lines = ring.After(8);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].strVehicle, "BUS1");
    EXPECT_EQ(lines[0].strText, "vehname=BUS1, chan=1, download finished!");
    EXPECT_EQ(lines[1].strVehicle, "");
}

TEST(WebFleetViewsTest, MissedRecordingsAreCountedMarkedAndListed)
{
    const std::uint32_t tNow = 1700000000;
    FleetRecord clean;
    clean.strName = "CLEAN";
    clean.tLastCompleteOffload = tNow - 60;
    clean.nPending = 0;
    FleetRecord lost = clean;
    lost.strName = "a b/\xC3\xBC\xFF";
    lost.nLeftBehind = 4;
    FleetRecord stuck = clean;
    stuck.strName = "STUCK";
    stuck.nUnfetchable = 2;
    stuck.nMissedDropped = 5;
    stuck.nPending = 3;
    nlohmann::json json = nlohmann::json::parse(FleetJson({lost, clean, stuck}, {}, tNow));
    ASSERT_EQ(json.size(), 3u);
    // Left behind alone is shown, not marked: nothing is left to fetch.
    EXPECT_EQ(json[0]["left_behind"], 4);
    EXPECT_EQ(json[0]["unfetchable"], 0);
    EXPECT_TRUE(json[0]["attention"].empty());
    // Every byte of the name reaches the server as it is.
    EXPECT_EQ(json[0]["missed_url"], "/api/v1/fleet/a%20b%2F%C3%BC%FF/missed");
    EXPECT_EQ(json[1]["missed_url"], "/api/v1/fleet/CLEAN/missed");
    EXPECT_TRUE(json[1]["attention"].empty());
    EXPECT_EQ(json[2]["unfetchable"], 2);
    EXPECT_EQ(json[2]["missed_dropped"], 5);
    EXPECT_EQ(json[2]["attention"], nlohmann::json::parse(R"(["recordings pending on the recorder",
        "unfetchable recordings", "missed recordings beyond the list's limit"])"));
    EXPECT_EQ(AttentionReasons(stuck, tNow), json[2]["attention"].get<std::vector<std::string>>());

    MissedRecording unfetchable;
    unfetchable.nChannel = 2;
    unfetchable.strFileName = "ch02_\xFF.mp4";
    unfetchable.tStart = tNow - 600;
    unfetchable.tEnd = tNow - 300;
    unfetchable.strReason = "failed 3 times in a row: refused";
    unfetchable.nVisits = 3;
    unfetchable.tLastMissed = tNow - 5;
    unfetchable.eState = MissedRecording::State::Unfetchable;
    MissedRecording left;
    left.eState = MissedRecording::State::LeftBehind;
    MissedRecording retrying;
    json = nlohmann::json::parse(MissedJson({unfetchable, left, retrying}));
    ASSERT_EQ(json.size(), 3u);
    EXPECT_EQ(json[0], nlohmann::json::parse(R"({"channel": 2, "file_name": "ch02_\ufffd.mp4", "start": 1699999400,
        "end": 1699999700, "reason": "failed 3 times in a row: refused", "visits": 3, "last_missed": 1699999995,
        "state": "unfetchable"})"));
    EXPECT_EQ(json[1]["state"], "left_behind");
    EXPECT_EQ(json[2]["state"], "retrying");
}

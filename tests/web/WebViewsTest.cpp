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
    }
    nlohmann::json json = nlohmann::json::parse(VehiclesJson(vehicles));
    EXPECT_EQ(json[0]["name"], "back\\slash");
    EXPECT_EQ(json[2]["name"], "line\nfeed");
    EXPECT_EQ(json[4]["name"], "raw\xEF\xBF\xBD");

    WebStatus status;
    status.nOnline = vehicles.size();
    status.nDiskFree = 12345;
    const std::string metrics = MetricsText(status, vehicles);
    for (const char* szSeries : {"{vehicle=\"back\\\\slash\"} 0\n", "{vehicle=\"quo\\\"te\"} 10\n",
                                 "{vehicle=\"line\\nfeed\"} 20\n", "{vehicle=\"B\xC3\xBC\"} 30\n",
                                 "{vehicle=\"raw\xEF\xBF\xBD\"} 40\n"})
        EXPECT_NE(metrics.find(std::string("zeldownload_vehicle_progress_percent") + szSeries), std::string::npos)
            << szSeries;
    if (!HaveCommand("promtool"))
        GTEST_SKIP() << "promtool is not installed (scripts/deps.sh installs prometheus)";
    WriteFile("metrics.txt", metrics);
    std::string output;
    EXPECT_EQ(RunCommand("promtool check metrics < metrics.txt 2>&1", &output), 0) << output << metrics;
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

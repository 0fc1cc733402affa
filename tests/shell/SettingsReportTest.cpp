#include "shell/SettingsReport.h"

#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "shell/ServerControl.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace {

class SettingsReportTest : public Sandbox {
protected:
    SettingsReport Read(const std::string& text)
    {
        WriteFile(Dir() / "QorConfig.xml", text);
        CSettingsFile file((Dir() / "QorConfig.xml").string(), CSettingsFile::Access::ReadOnly);
        return ReadSettingsReport(file);
    }

    // What a relative download directory names when the summary is given it as it is.
    static std::string Absolute(const char* szDir) { return std::filesystem::absolute(szDir).string(); }
};

using Lines = std::vector<std::string>;

} // namespace

TEST_F(SettingsReportTest, FileWithKeysButNoPortNamesTheIgnoredOnes)
{
    SettingsReport report =
        Read("<QorConf>\r\n<downdir>/srv/zeldownload</downdir>\r\n<IP>10.0.0.2</IP>\r\n"
             "<rollinghours>24</rollinghours>\r\n<maxvehicles>1000</maxvehicles>\r\n</QorConf>\r\n");
    EXPECT_EQ(report.warnings, Lines {"QorConfig.xml has no port: downdir, IP ignored, defaults used"});
    // The classic keys took their defaults; the depot keys count without a port.
    EXPECT_STREQ(report.settings.szDownDir, "mp4download");
    EXPECT_STREQ(report.settings.szIP, "127.0.0.1");
    EXPECT_EQ(report.settings.nPort, 5990);
    EXPECT_EQ(report.depot.nRollingHours, 24u);
    EXPECT_EQ(report.depot.nMaxVehicles, 1000u);

    // Nothing ignored, nothing to say: the file an older zeldownloadd made.
    EXPECT_EQ(Read("<QorConf><rollinghours>24</rollinghours></QorConf>").warnings, Lines {});
    EXPECT_EQ(Read("<QorConf></QorConf>").warnings, Lines {});
}

TEST_F(SettingsReportTest, ValuesNotTakenAsWrittenAreNamed)
{
    // With a port, a missing classic key reads as empty; an odd value is named with
    // what is used instead.
    SettingsReport report = Read("<QorConf><port>70000</port><downdir></downdir><IP>10.0.0.300</IP>"
                                 "<maxtransfers>lots</maxtransfers><retaindays>99999</retaindays>"
                                 "<logmaxmb> 16 </logmaxmb><logkeep>0</logkeep></QorConf>");
    EXPECT_EQ(report.warnings,
              (Lines {"QorConfig.xml has no startdown, stoptdown, filetype, MIRDOMode: read as empty",
                      "port \"70000\" is not a port from 1 to 65535, 4464 used",
                      "IP \"10.0.0.300\" is not an IPv4 address: recorders cannot connect back to it",
                      "downdir is empty: recordings are stored in the working directory",
                      "maxtransfers \"lots\" is not a whole number, 0 used", "retaindays 99999 is above 3660, 3660 used",
                      "logkeep 0 is below 1, 1 used", "stoptdown is not after startdown: the span is empty"}));
    EXPECT_EQ(report.depot.nRetainDays, 3660u);
    EXPECT_EQ(report.depot.nLogMaxMb, 16u);
    EXPECT_EQ(report.depot.nLogKeep, 1u);

    // A whole file in range: nothing to say.
    EXPECT_EQ(Read("<QorConf><port> 5990\r\n</port><downdir>d</downdir><startdown>100</startdown>"
                   "<stoptdown>200</stoptdown><filetype>2</filetype><IP></IP><MIRDOMode>1</MIRDOMode>"
                   "<logmaxmb>64</logmaxmb><logkeep>100</logkeep></QorConf>")
                  .warnings,
              Lines {});
}

TEST_F(SettingsReportTest, SummaryGivesTheSettingsInForceInPlainWords)
{
    ServerSettings settings = DefaultSettings();
    DepotSettings depot = HeadlessDepotSettings();
    std::strcpy(settings.szIP, "");
    EXPECT_EQ(SettingsSummary(settings, depot),
              "Settings: port 5990, downdir " + Absolute("mp4download") + ", IP automatic, span rolling 24 hours, "
              "filetype 0 (All Record), component mode 0, maxtransfers 0, retaindays 0, minfreemb 0, "
              "maxvehicles 1000, logmaxmb 64, logkeep 5");

    settings.nPort = 6001;
    std::strcpy(settings.szDownDir, "/srv/zeldownload/");
    std::strcpy(settings.szIP, "192.168.10.2");
    settings.tStart = WallClockFromFields(2024, 5, 1, 6, 30, 0);
    settings.tStop = WallClockFromFields(2024, 5, 2, 18, 0, 5);
    settings.nFileType = 2;
    settings.bComponentMode = 1;
    depot = DepotSettings();
    depot.nMaxTransfers = 8;
    EXPECT_EQ(SettingsSummary(settings, depot),
              "Settings: port 6001, downdir /srv/zeldownload, IP 192.168.10.2, "
              "span 2024-05-01 06:30:00..2024-05-02 18:00:05, filetype 2 (Alarm Record), component mode 1, "
              "maxtransfers 8, retaindays 0, minfreemb 0, maxvehicles 0, logmaxmb 0, logkeep 5");
    std::strcpy(settings.szDownDir, "");
    EXPECT_NE(SettingsSummary(settings, depot).find("downdir " + std::filesystem::absolute("mp4download").parent_path().string() + ", "), std::string::npos);
}

TEST_F(SettingsReportTest, StartLogsTheSettingsAndTheWarningsAfterItsOwnLine)
{
    // On the default port, which this machine may have taken: either way the start
    // says what it ran with.
    WriteFile(Dir() / "QorConfig.xml", "<QorConf><downdir>elsewhere</downdir><logkeep>500</logkeep></QorConf>");
    const int nResult = Control().Start();
    Control().Stop();
    const std::vector<std::string> messages = ReadLogMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0], nResult == 0 ? "Server starts" : "failed to create udp server");
    EXPECT_EQ(messages[1].rfind("Settings: port 5990, downdir " + (Dir() / "mp4download").string() + ", IP 127.0.0.1, span ", 0), 0u)
        << messages[1];
    EXPECT_NE(messages[1].find(", logmaxmb 0, logkeep 100"), std::string::npos) << messages[1];
    EXPECT_EQ(messages[2], "QorConfig.xml has no port: downdir ignored, defaults used");
    EXPECT_EQ(messages[3], "logkeep 500 is above 100, 100 used");
}

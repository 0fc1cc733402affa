#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

class SettingsStoreTest : public Sandbox {};

std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\r\n" : "") + lines[i];
    return text;
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// The loaded fields on one line: port, IP, directory, span, file type, mode.
std::string Show(const ServerSettings& s)
{
    return std::to_string(s.nPort) + " " + s.szIP + " " + s.szDownDir + " " + std::to_string(s.tStart) + "-" +
           std::to_string(s.tStop) + " " + std::to_string(s.nFileType) + " " + std::to_string(s.bComponentMode);
}

// The table on one line: "plate:channel start-stop type" per entry, in key order.
std::string Show(const SpecialConfigTable& table)
{
    std::string text;
    for (const auto& [plate, e] : table)
        text += (text.empty() ? "" : ";") + plate + ":" + std::to_string(e.nChan) + " " + std::to_string(e.tStart) +
                "-" + std::to_string(e.tStop) + " " + std::to_string(e.nFileType);
    return text;
}

SpecialConfigEntry Entry(const char* szPlate, std::uint8_t nChan, std::uint32_t tStart, std::uint32_t tStop,
                         std::uint32_t nFileType)
{
    SpecialConfigEntry entry;
    std::strncpy(entry.szPlate, szPlate, sizeof(entry.szPlate) - 1);
    entry.nChan = nChan;
    entry.tStart = tStart;
    entry.tStop = tStop;
    entry.nFileType = nFileType;
    return entry;
}

TEST_F(SettingsStoreTest, FirstStartCreatesEmptyRootLoadsDefaultsAndLoadingNeverWrites)
{
    CSettingsFile& file = Settings();
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), "<QorConf></QorConf>");
    ServerSettings settings;
    settings.nPort = 1;
    std::uint32_t tBefore = WallClockNow();
    EXPECT_EQ(LoadSettings(settings, file), -1);
    std::uint32_t tAfter = WallClockNow();
    EXPECT_GE(settings.tStop, tBefore);
    EXPECT_LE(settings.tStop, tAfter);
    EXPECT_EQ(settings.tStop - settings.tStart, 86400u);
    settings.tStart = settings.tStop = 0;
    EXPECT_EQ(Show(settings), "5990 127.0.0.1 mp4download 0-0 0 0");
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), "<QorConf></QorConf>");

    // A file with only the port leaves the other keys empty.
    WriteFile(At("QorConfig.xml"), "<QorConf><port>6000</port></QorConf>");
    CSettingsFile portOnly(At("QorConfig.xml"));
    EXPECT_EQ(LoadSettings(settings, portOnly), 0);
    EXPECT_EQ(Show(settings), "6000   0-0 0 0");
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), "<QorConf><port>6000</port></QorConf>");
}

TEST_F(SettingsStoreTest, SavingTwiceKeepsEachKeyOnceAfterOtherChildren)
{
    WriteFile(At("QorConfig.xml"), "<QorConf>\r\n<port>1</port>\r\n<Extra>kept</Extra>\r\n</QorConf>");
    CSettingsFile file(At("QorConfig.xml"));

    ServerSettings first;
    first.nPort = 6001;
    CopyField(first.szIP, sizeof(first.szIP), "10.1.2.3");
    CopyField(first.szDownDir, sizeof(first.szDownDir), "/srv/a b/rec");
    first.tStart = 1262304000;
    first.tStop = 0x90000000u;  // past 2038: written as a negative "%d"
    first.nFileType = 2;
    first.bComponentMode = 1;
    SaveSettings(first, file);

    ServerSettings second = first;
    second.nPort = 6002;
    second.nFileType = 1;
    second.bComponentMode = 0;
    SaveSettings(second, file);

    std::string text = ReadFile(At("QorConfig.xml"));
    EXPECT_EQ(text, Lines({"<QorConf>", "<Extra>kept</Extra>", "<port>6002</port>", "<downdir>/srv/a b/rec</downdir>",
                           "<startdown>1262304000</startdown>", "<stoptdown>-1879048192</stoptdown>",
                           "<filetype>1</filetype>", "<IP>10.1.2.3</IP>", "<MIRDOMode>0</MIRDOMode>", "</QorConf>"}));

    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(loaded, file), 0);
    EXPECT_EQ(Show(loaded), Show(second));
}

TEST_F(SettingsStoreTest, SettingsThenSpecialConfigGiveTheDocumentedFile)
{
    CSettingsFile file(At("QorConfig.xml"));
    ServerSettings settings;
    CopyField(settings.szDownDir, sizeof(settings.szDownDir), "f:\\mp4download");
    settings.tStart = 1262304000;
    settings.tStop = 1262390400;
    SaveSettings(settings, file);

    SpecialConfigTable table;
    int nFlag = 0;
    SaveSpecialConfig(1, {Entry("0000", 0, 1262304000, 1262390400, 0)}, file, table, nFlag);

    EXPECT_EQ(ReadFile(At("QorConfig.xml")),
              Lines({"<QorConf>", "<port>5990</port>", "<downdir>f:\\mp4download</downdir>",
                     "<startdown>1262304000</startdown>", "<stoptdown>1262390400</stoptdown>",
                     "<filetype>0</filetype>", "<IP>127.0.0.1</IP>", "<MIRDOMode>0</MIRDOMode>", "<AllPrivileges>",
                     "<EnablePrivileges>1</EnablePrivileges>", "<Privilege>", "<PlateNO>0000</PlateNO>",
                     "<ChanNO>0</ChanNO>", "<StartTime>1262304000</StartTime>", "<StopTime>1262390400</StopTime>",
                     "<FileType>0</FileType>", "</Privilege>", "</AllPrivileges>", "</QorConf>"}));
    EXPECT_EQ(Show(table), "0000:0 1262304000-1262390400 0");
    EXPECT_EQ(nFlag, 1);

    // Rewriting with two entries, one with markup in its plate, replaces the block
    // in place and reads back unchanged; clearing the flag keeps the rows.
    SaveSpecialConfig(0, {Entry("B<&>2", 12, 5, 6, 2), Entry("A1", 3, 7, 8, 1)}, file, table, nFlag);
    std::string text = ReadFile(At("QorConfig.xml"));
    EXPECT_EQ(Count(text, "<AllPrivileges>"), 1u);
    EXPECT_NE(text.find("<EnablePrivileges>0</EnablePrivileges>"), std::string::npos);
    EXPECT_NE(text.find("<PlateNO>B&lt;&amp;&gt;2</PlateNO>"), std::string::npos);
    EXPECT_EQ(nFlag, 0);
    EXPECT_EQ(Show(table), "A1:3 7-8 1;B<&>2:12 5-6 2");
    ServerSettings loaded;
    EXPECT_EQ(LoadSettings(loaded, file), 0);
    EXPECT_STREQ(loaded.szDownDir, "f:\\mp4download");
}

TEST_F(SettingsStoreTest, SpecialConfigReaderQuirks)
{
    // Duplicate plates: the later entry wins. A missing ChanNO reads the plate text
    // again; the fields after it are still found.
    WriteFile(At("QorConfig.xml"),
              "<QorConf><AllPrivileges><EnablePrivileges>1</EnablePrivileges>"
              "<Privilege><PlateNO>AB1</PlateNO><ChanNO>1</ChanNO><StartTime>10</StartTime>"
              "<StopTime>20</StopTime><FileType>1</FileType></Privilege>"
              "<Privilege><PlateNO>AB1</PlateNO><ChanNO>2</ChanNO><StartTime>30</StartTime>"
              "<StopTime>40</StopTime><FileType>2</FileType></Privilege>"
              "<Privilege><PlateNO>12</PlateNO><StartTime>50</StartTime>"
              "<StopTime>60</StopTime><FileType>1</FileType></Privilege>"
              "</AllPrivileges></QorConf>");
    CSettingsFile file(At("QorConfig.xml"));
    SpecialConfigTable table;
    table["stale"] = Entry("stale", 1, 1, 1, 1);
    int nFlag = 0;
    EXPECT_EQ(LoadSpecialConfig(table, nFlag, file), 0);
    EXPECT_EQ(nFlag, 1);
    EXPECT_EQ(Show(table), "12:12 50-60 1;AB1:2 30-40 2");  // the stale row is gone

    // Without an EnablePrivileges element the flag is left as it was.
    WriteFile(At("QorConfig.xml"), "<QorConf><AllPrivileges><Privilege><PlateNO>X</PlateNO></Privilege>"
                               "</AllPrivileges></QorConf>");
    nFlag = 7;
    LoadSpecialConfig(table, nFlag, file);
    EXPECT_EQ(nFlag, 7);
    EXPECT_EQ(table.size(), 1u);
}

TEST_F(SettingsStoreTest, MalformedFileIsKeptAsBackup)
{
    const std::string broken = "<QorConf><port>6000</port><IP>10.0.0.1</QorConf>";
    WriteFile(At("QorConfig.xml"), broken);
    CSettingsFile file(At("QorConfig.xml"));
    EXPECT_EQ(ReadFile(At("QorConfig.xml.bak")), broken);
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), "<QorConf></QorConf>");
    EXPECT_TRUE(LogHas(At("QorConfig.xml") + " is not well-formed, kept as " + At("QorConfig.xml.bak")));

    // Broken by hand while running: reads see nothing, the next write keeps it too.
    const std::string broken2 = "<QorConf><port>7000</port>";
    WriteFile(At("QorConfig.xml"), broken2);
    EXPECT_EQ(file.ReadValue("port"), "");
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), broken2);
    EXPECT_TRUE(file.WriteValue("port", "7001"));
    EXPECT_EQ(ReadFile(At("QorConfig.xml.bak")), broken2);
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), "<QorConf>\r\n<port>7001</port>\r\n</QorConf>");
}

TEST_F(SettingsStoreTest, ValuesLongerThanTheirFieldAreCut)
{
    const std::string longIP = "123.123.123.123.99";
    const std::string longDir = "/" + std::string(300, 'd');
    const std::string longPlate = std::string(30, 'p') + "\xC3\xA9xyz";  // "é" straddles byte 31
    WriteFile(At("QorConfig.xml"), "<QorConf><port>5990</port><downdir>" + longDir + "</downdir><IP>" + longIP +
                                   "</IP><AllPrivileges><EnablePrivileges>1</EnablePrivileges><Privilege><PlateNO>" +
                                   longPlate + "</PlateNO><ChanNO>3</ChanNO></Privilege></AllPrivileges></QorConf>");
    CSettingsFile file(At("QorConfig.xml"));

    struct {
        ServerSettings settings;
        char szGuard[8] = "GUARD!!";
    } loaded;
    ASSERT_EQ(LoadSettings(loaded.settings, file), 0);
    EXPECT_EQ(std::string(loaded.settings.szIP), longIP.substr(0, 15));
    // The IP is read after the directory, which stands right behind it.
    EXPECT_EQ(std::string(loaded.settings.szDownDir), longDir.substr(0, 259));
    EXPECT_STREQ(loaded.szGuard, "GUARD!!");

    SpecialConfigTable table;
    int nFlag = 0;
    LoadSpecialConfig(table, nFlag, file);
    EXPECT_EQ(Show(table), std::string(30, 'p') + ":3 3-3 3");  // missing fields read the ChanNO text again

    // Saving a full field writes all of it, and nothing past it.
    std::memset(loaded.settings.szIP, '9', sizeof(loaded.settings.szIP));  // no NUL at all
    SaveSettings(loaded.settings, file);
    EXPECT_NE(ReadFile(At("QorConfig.xml")).find("<IP>9999999999999999</IP>"), std::string::npos);
}

TEST_F(SettingsStoreTest, HandEditsBetweenCallsAreSeenAndKept)
{
    CSettingsFile file(At("QorConfig.xml"));
    ServerSettings settings;
    SaveSettings(settings, file);

    // Edit by hand: another port, an extra element, a second IP before the first.
    std::string text = ReadFile(At("QorConfig.xml"));
    text.replace(text.find("<port>5990</port>"), 17, "<port>7000</port>\r\n<IP>1.1.1.1</IP>");
    text.replace(text.find("</QorConf>"), 10, "<Note>mine</Note>\r\n</QorConf>");
    WriteFile(At("QorConfig.xml"), text);

    EXPECT_EQ(file.ReadValue("port"), "<port>7000</port>\r\n");
    EXPECT_TRUE(file.WriteValue("IP", "10.0.0.2"));
    text = ReadFile(At("QorConfig.xml"));
    EXPECT_EQ(Count(text, "<IP>"), 1u);
    EXPECT_NE(text.find("<Note>mine</Note>"), std::string::npos);
    EXPECT_NE(text.find("<port>7000</port>"), std::string::npos);
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(loaded, file), 0);
    EXPECT_EQ(loaded.nPort, 7000);
    EXPECT_STREQ(loaded.szIP, "10.0.0.2");

    // A value that would break the file is refused and the file left alone.
    text = ReadFile(At("QorConfig.xml"));
    EXPECT_FALSE(file.WriteValue("downdir", "/srv/a<b"));
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), text);
    // Values without markup, "&" included, read back exactly.
    EXPECT_TRUE(file.WriteValue("downdir", "/srv/R&D 'x'"));
    ASSERT_EQ(LoadSettings(loaded, file), 0);
    EXPECT_STREQ(loaded.szDownDir, "/srv/R&D 'x'");

    // Deleted by hand: nothing stale is read, and a write starts it again.
    std::filesystem::remove(At("QorConfig.xml"));
    EXPECT_EQ(file.ReadValue("port"), "");
    EXPECT_EQ(LoadSettings(loaded, file), -1);
    EXPECT_TRUE(file.WriteValue("port", "6000"));
    EXPECT_EQ(ReadFile(At("QorConfig.xml")), "<QorConf>\r\n<port>6000</port>\r\n</QorConf>");
}

TEST_F(SettingsStoreTest, UnwritableFileIsReportedAndLeavesTheFlagInForce)
{
    // A file in a folder that does not exist cannot be written, not even by root.
    CSettingsFile file(At("gone/QorConfig.xml"));
    EXPECT_FALSE(SaveSettings(ServerSettings(), file));

    SpecialConfigTable table;
    table["old"] = Entry("old", 1, 1, 2, 0);
    int nFlag = 0;
    EXPECT_FALSE(SaveSpecialConfig(1, {Entry("A1", 0, 5, 6, 0)}, file, table, nFlag));
    EXPECT_EQ(nFlag, 0);
    EXPECT_EQ(Show(table), "");  // what the (absent) file holds

    // Once the folder exists the same calls succeed.
    std::filesystem::create_directory(At("gone"));
    EXPECT_TRUE(SaveSettings(ServerSettings(), file));
    EXPECT_TRUE(SaveSpecialConfig(1, {Entry("A1", 0, 5, 6, 0)}, file, table, nFlag));
    EXPECT_EQ(nFlag, 1);
    EXPECT_EQ(Show(table), "A1:0 5-6 0");
}

TEST_F(SettingsStoreTest, WallClockIgnoresTheTimeZone)
{
    struct Zone {
        const char* szTZ;
        long nOffset;  // seconds east of UTC, constant (no daylight saving)
    };
    for (Zone zone : {Zone {"UTC0", 0}, Zone {"IST-5:30", 19800}, Zone {"EST5", -18000},
                      Zone {"<+1245>-12:45", 45900}}) {
        SCOPED_TRACE(zone.szTZ);
        ::setenv("TZ", zone.szTZ, 1);
        ::tzset();
        EXPECT_EQ(WallClockFromFields(2013, 3, 5, 14, 2, 9), 1362492129u);
        EXPECT_EQ(WallClockText(1362492129u), "20130305140209");
        EXPECT_EQ(WallClockText(WallClockFromFields(2010, 13, 1, 0, 0, 0)), "20110101000000");
        std::tm tmSplit = SplitWallClock(1262304000u);
        EXPECT_EQ(std::tuple(tmSplit.tm_year + 1900, tmSplit.tm_mon, tmSplit.tm_hour), std::tuple(2010, 0, 0));

        std::time_t tBefore = std::time(nullptr);
        long nDiff = static_cast<long>(WallClockNow()) - static_cast<long>(tBefore);
        EXPECT_GE(nDiff, zone.nOffset);
        EXPECT_LE(nDiff, zone.nOffset + 1);
    }
    // With daylight saving in force, a summer date still formats as given.
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    EXPECT_EQ(WallClockText(WallClockFromFields(2013, 7, 1, 2, 30, 0)), "20130701023000");
}

}  // namespace

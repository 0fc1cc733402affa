#include "store/LocalStore.h"

#include "settings/Settings.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t k20130305140209 = 1362492129;  // 2013-03-05 14:02:09 as UTC
constexpr std::uint32_t k20130305141209 = 1362492729;

// Zones with and without daylight saving, far east and far west, as POSIX rules so
// that no zone database is needed.
const char* const kZones[] = {"UTC0", "CST-8", "EST5EDT,M3.2.0,M11.1.0", "<+14>-14", "<-11>11",
                              "LHST-10:30LHDT-11,M10.1.0,M4.1.0"};

void Touch(const fs::path& path)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
}

std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

class LocalStoreFiles : public Sandbox {};

} // namespace

TEST(LocalStoreTimeTest, TextsAreUtcWhateverTheZoneAndFieldsAreReadAtFixedPositions)
{
    for (const char* szZone : kZones) {
        SCOPED_TRACE(szZone);
        setenv("TZ", szZone, 1);
        tzset();
        EXPECT_EQ(ParseTimeString("20130305140209"), k20130305140209);
        EXPECT_EQ(FormatTimeString(k20130305140209), "20130305140209");
        CalendarTime cal = SplitTime(k20130305140209);
        EXPECT_EQ(std::tuple(cal.nYear, cal.nMonth, cal.nDay, cal.nHour, cal.nMinute, cal.nSecond),
                  std::tuple(2013, 3, 5, 14, 2, 9));
        // Across a summer-time change of the zones above nothing moves either.
        for (const char* szText : {"20130310023000", "20131103013000", "20131006020000", "19700101000000"})
            EXPECT_EQ(FormatTimeString(ParseTimeString(szText)), szText);
        EXPECT_EQ(DateDirName(k20130305140209), "05-03-2013");
    }
    unsetenv("TZ");
    tzset();

    EXPECT_EQ(FormatTimeString(ParseTimeString("20131305000000")), "20140105000000");  // month 13
    // A position without digits reads 0: month 0 is December of the year before.
    EXPECT_EQ(FormatTimeString(ParseTimeString("2013xx05140209")), "20121205140209");
    // A short text: the missing positions read 0 (day 0 is the last of the month before).
    EXPECT_EQ(FormatTimeString(ParseTimeString("201303")), "20130228000000");
    // Characters after the 14th are ignored; a digit run stops at a non-digit.
    EXPECT_EQ(ParseTimeString("20130305140209999"), k20130305140209);
    EXPECT_EQ(FormatTimeString(ParseTimeString("20130305140x09")), "20130305140009");
    EXPECT_EQ(FormatTimeString(0xFFFFFFFFu), "21060207062815");
}

TEST(LocalStoreNameTest, NamesOfTheLayoutAndDateOrder)
{
    EXPECT_EQ(ChannelDirName(3), "ch03");
    EXPECT_EQ(ChannelDirName(12), "ch12");
    EXPECT_EQ(FinalFileName(1, k20130305140209, k20130305141209), "ch01_20130305140209_20130305141209.mp4");
    EXPECT_EQ(PartialFileName(1, k20130305140209, k20130305141209, "ch01_A_B", 1048576),
              "ch01_20130305140209_20130305141209.ch01_A_B.0001048576.td");
    // The size text is signed: 2^31 and more print negative.
    EXPECT_EQ(PartialFileName(2, k20130305140209, k20130305141209, "ch02_x", 0x80000000u),
              "ch02_20130305140209_20130305141209.ch02_x.-2147483648.td");
    EXPECT_EQ(ChannelDirPath("root", "BUS 7", k20130305140209, 4), "root/BUS 7/05-03-2013/ch04");
    // A recording running over midnight stays with the day it began.
    EXPECT_EQ(DateDirName(ParseTimeString("20131231235959")), "31-12-2013");

    // Newest date directory first.
    std::vector<std::string> dates {"31-12-2012", "01-01-2013", "15-06-2012", "02-01-2013", "1-1-2014"};
    std::sort(dates.begin(), dates.end(), DateDirLater);
    // "1-1-2014" is no DD-MM-YYYY name: its key comes from the digits at the date
    // positions ("14" as the year, no month, "1" as the day) and sorts last.
    EXPECT_EQ(dates, (std::vector<std::string> {"02-01-2013", "01-01-2013", "31-12-2012", "15-06-2012", "1-1-2014"}));
    EXPECT_FALSE(DateDirLater("01-01-2013", "01-01-2013"));
    EXPECT_FALSE(DateDirLater("", ""));
}

TEST_F(LocalStoreFiles, FindFilesMatchesStarsCaseSensitively)
{
    for (const char* szName : {"ch01_a_b.mp4", "ch01_a_b.MP4", "ch01_ab.mp4", "ch01__.mp4", "x.mp4", "ch01_a_b.mp4.td"})
        WriteFile(Dir() / szName, "");
    fs::create_directory(Dir() / "ch01_dir_x.mp4");  // directories are listed too

    EXPECT_EQ(Sorted(FindFiles(At("ch01_*_*.mp4"))),
              (std::vector<std::string> {"ch01__.mp4", "ch01_a_b.mp4", "ch01_dir_x.mp4"}));
    EXPECT_EQ(Sorted(FindFiles(Dir().string() + "/*.td")), std::vector<std::string> {"ch01_a_b.mp4.td"});
    EXPECT_EQ(FindFiles(At("x.mp4")), std::vector<std::string> {"x.mp4"});
    EXPECT_TRUE(FindFiles(At("?.mp4")).empty());  // "?" is an ordinary character
    EXPECT_TRUE(FindFiles(At("nothere/*")).empty());
    std::vector<std::string> all = FindFiles(At("*"));
    EXPECT_EQ(all.size(), 8u);  // and the sandbox's log.txt
    EXPECT_EQ(std::count(all.begin(), all.end(), "."), 0);
    EXPECT_EQ(std::count(all.begin(), all.end(), ".."), 0);
}

TEST_F(LocalStoreFiles, FindLastTakesNewestDateThenLatestNameOfEachKind)
{
    const fs::path bus = Dir() / "dl" / "BUS1";
    // Older day: finished recordings of channels 1 and 2.
    Touch(bus / "04-03-2013/ch01/ch01_20130304100000_20130304101000.mp4");
    Touch(bus / "04-03-2013/ch01/ch01_20130304110000_20130304111000.mp4");
    Touch(bus / "04-03-2013/ch01/ch01_20130304110000_20130304110500.mp4");
    Touch(bus / "04-03-2013/ch02/ch02_20130304230000_20130304231000.mp4");
    // Newer day, channel 1: only partial files (and a stray file of another kind).
    Touch(bus / "05-03-2013/ch01/ch01_20130305140209_20130305141209.ch01_A_B.0001048576.td");
    Touch(bus / "05-03-2013/ch01/ch01_20130305120000_20130305121000.ch01_Z.0000000100.td");
    Touch(bus / "05-03-2013/ch01/notes.txt");
    // A date directory that is not DD-MM-YYYY, and the newest day, but empty.
    fs::create_directories(bus / "xx-yy-zzzz/ch01");
    fs::create_directories(bus / "06-03-2013");
    const std::string root = (Dir() / "dl").string();

    std::uint32_t tStart = 0, tEnd = 0;
    std::string path;
    // The newer day has no finished recording of channel 1: the older day's is used.
    ASSERT_EQ(FindLastMp4(root, "BUS1", 1, tStart, tEnd, path), 1);
    EXPECT_EQ(FormatTimeString(tStart), "20130304110000");
    EXPECT_EQ(FormatTimeString(tEnd), "20130304111000");
    EXPECT_EQ(path, (bus / "04-03-2013/ch01/ch01_20130304110000_20130304111000.mp4").string());

    // The partial scan stops at the newer day; the recorder's name keeps its "_".
    ASSERT_EQ(FindLastTd(root, "BUS1", 1, tStart, tEnd, path), 1);
    EXPECT_EQ(tStart, k20130305140209);
    EXPECT_EQ(tEnd, k20130305141209);
    EXPECT_EQ(path, (bus / "05-03-2013/ch01/ch01_20130305140209_20130305141209.ch01_A_B.0001048576.td").string());

    ASSERT_EQ(FindLastMp4((Dir() / "dl").string(), "BUS1", 2, tStart, tEnd, path), 1);
    EXPECT_EQ(FormatTimeString(tStart), "20130304230000");

    // Not found: no partial of channel 2, no channel 3, unknown or unsafe vehicle.
    path = "unchanged";
    EXPECT_EQ(FindLastTd(root, "BUS1", 2, tStart, tEnd, path), 0);
    EXPECT_EQ(FindLastMp4(root, "BUS1", 3, tStart, tEnd, path), 0);
    EXPECT_EQ(FindLastMp4(root, "BUS2", 1, tStart, tEnd, path), 0);
    EXPECT_EQ(FindLastMp4(root, "..", 1, tStart, tEnd, path), 0);
    EXPECT_EQ(FindLastMp4(root, "", 1, tStart, tEnd, path), 0);
    EXPECT_EQ(path, "unchanged");
}

TEST_F(LocalStoreFiles, FindLastCopesWithOddNames)
{
    const fs::path chan = Dir() / "BUS1" / "05-03-2013" / "ch01";
    // Matches "ch01*.td" without any underscore, and a start text of 40 digits.
    Touch(chan / "ch01.td");
    std::uint32_t tStart = 1, tEnd = 1;
    std::string path;
    ASSERT_EQ(FindLastTd(Dir().string(), "BUS1", 1, tStart, tEnd, path), 1);
    EXPECT_EQ(path, (chan / "ch01.td").string());
    EXPECT_EQ(tStart, ParseTimeString(""));

    Touch(chan / "ch01_2013030514020900000000000000000000000000_20130305141209.mp4");
    ASSERT_EQ(FindLastMp4(Dir().string(), "BUS1", 1, tStart, tEnd, path), 1);
    EXPECT_EQ(tStart, k20130305140209);
    EXPECT_EQ(tEnd, k20130305141209);
}

TEST(LocalStoreTdNameTest, SplitsWellFormedNamesAndRefusesOthersWithinBounds)
{
    TdNameFields fields;
    ASSERT_EQ(ParseTdName("ch01_20130305140209_20130305141209.ch01_A_B.0001048576.td", fields), 0);
    EXPECT_EQ(fields, (TdNameFields {"ch01", "20130305140209", "20130305141209", "ch01_A_B", "0001048576", "td"}));

    ASSERT_EQ(ParseTdName(PartialFileName(2, k20130305140209, k20130305141209, "ch02_x", 0x80000000u), fields), 0);
    EXPECT_EQ(fields[3], "ch02_x");
    EXPECT_EQ(fields[4], "-2147483648");

    // Malformed names are refused; no field grows past its bound.
    EXPECT_EQ(ParseTdName("ch01_x.td", fields), -1);
    EXPECT_EQ(fields[0], "ch01");
    EXPECT_EQ(ParseTdName("", fields), -1);
    // Six parts when split at "_", but no recorder's file name between the dots.
    EXPECT_EQ(ParseTdName("ch01_1_2_3_4_5.td", fields), -1);

    // A recorder's file name of 32 characters (its field is full, no NUL).
    std::string longName = "ch01_" + std::string(27, 'n');
    EXPECT_EQ(ParseTdName("ch01_20130305140209_20130305141209." + longName + ".0000000010.td", fields), -1);
    EXPECT_EQ(fields[3], longName.substr(0, kTdFieldMax));
    // An over-long start text, size text and a word of several kilobytes.
    EXPECT_EQ(ParseTdName("ch01_" + std::string(40, '2') + "_20130305141209.ch01_A.0000000010.td", fields), -1);
    EXPECT_EQ(ParseTdName("ch01_20130305140209_20130305141209.ch01_A.000000000000000000000000000000010.td", fields),
              -1);
    EXPECT_EQ(ParseTdName(std::string(5000, 'x') + "_a_b.c.d.td", fields), -1);
    for (const std::string& field : fields)
        EXPECT_LE(field.size(), kTdFieldMax);

    // Exactly 31 characters still fit.
    std::string name31 = "ch01_" + std::string(26, 'n');
    ASSERT_EQ(ParseTdName("ch01_20130305140209_20130305141209." + name31 + ".0000000010.td", fields), 0);
    EXPECT_EQ(fields[3], name31);
}

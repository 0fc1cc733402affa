#include "footage/RecordingCatalogue.h"

#include "depot/FleetHistory.h"
#include "depot/Retention.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/SqliteFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kT0 = 1700000000;  // 2023-11-14 22:13:20

std::string RelPath(const std::string& vehicle, int nChannel, std::uint32_t tStart, std::uint32_t tEnd)
{
    return vehicle + "/" + DateDirName(tStart) + "/" + ChannelDirName(nChannel) + "/" +
           FinalFileName(nChannel, tStart, tEnd);
}

class RecordingCatalogueTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Timing().nDbBusyWaitMs = 100;
    }

    std::string Db() const { return At("fleet.db"); }
    std::string Root() const { return At("store"); }

    void OpenCatalogue(CRecordingCatalogue& catalogue)
    {
        catalogue.SetOnUnhashed([this](std::int64_t nId) { m_unhashed.push_back(nId); });
        ASSERT_EQ(catalogue.Open(Db(), Root()), 0);
    }

    // A file of the store with text as its bytes; its path below the root.
    std::string Put(const std::string& vehicle, int nChannel, std::uint32_t tStart, std::uint32_t tEnd,
                    const std::string& text = "video")
    {
        std::string rel = RelPath(vehicle, nChannel, tStart, tEnd);
        fs::create_directories(fs::path(Root() + "/" + rel).parent_path());
        WriteFile(Root() + "/" + rel, text);
        return rel;
    }

    // Queues the row of a recording (no file needed) and returns its path.
    static std::string AddRow(CRecordingCatalogue& catalogue, const std::string& vehicle, int nChannel,
                              std::uint32_t tStart, std::uint32_t tEnd, std::uint64_t nSize = 5)
    {
        CatalogueRow row;
        row.strPath = RelPath(vehicle, nChannel, tStart, tEnd);
        row.nSize = nSize;
        row.tStoredAt = tEnd + 10;
        EXPECT_TRUE(catalogue.Add(row)) << row.strPath;
        return row.strPath;
    }

    static std::vector<std::string> Paths(const std::vector<CatalogueRow>& rows)
    {
        std::vector<std::string> paths;
        for (const CatalogueRow& row : rows)
            paths.push_back(row.strPath);
        return paths;
    }

    // Every row of query, page after page of nLimit.
    static std::vector<CatalogueRow> AllPages(const CRecordingCatalogue& catalogue, CatalogueQuery query,
                                              std::size_t* pPages = nullptr)
    {
        std::vector<CatalogueRow> rows;
        std::size_t nPages = 0;
        do {
            CataloguePage page = catalogue.Find(query);
            EXPECT_TRUE(page.bValid);
            EXPECT_LE(page.rows.size(), query.nLimit);
            rows.insert(rows.end(), page.rows.begin(), page.rows.end());
            query.strAfter = page.strNext;
            ++nPages;
        } while (!query.strAfter.empty() && nPages < 10000);
        if (pPages)
            *pPages = nPages;
        return rows;
    }

    std::int64_t QueryInt(const std::string& sql) const { return SqliteFile::QueryInt(Db(), sql); }

    std::vector<std::int64_t> m_unhashed;
};

TEST(CatalogueRowTest, PathsOfTheStoreLayoutGiveTheirFieldsAndNoOtherPathDoes)
{
    CatalogueRow row;
    ASSERT_TRUE(RowFromPath("BUS7/14-11-2023/ch03/ch03_20231114221320_20231114222320.mp4", row));
    EXPECT_EQ(row.strVehicle, "BUS7");
    EXPECT_EQ(row.nChannel, 3);
    EXPECT_EQ(row.tStart, kT0);
    EXPECT_EQ(row.tEnd, kT0 + 600);
    EXPECT_EQ(row.strPath, "BUS7/14-11-2023/ch03/ch03_20231114221320_20231114222320.mp4");
    ASSERT_TRUE(RowFromPath("B/14-11-2023/ch103/ch103_20231114221320_20231114222320.mp4", row));
    EXPECT_EQ(row.nChannel, 103);

    for (const char* szPath : {
             "../14-11-2023/ch03/ch03_20231114221320_20231114222320.mp4",     // leaves the root
             "/BUS7/14-11-2023/ch03/ch03_20231114221320_20231114222320.mp4",  // absolute
             "BUS7/x/14-11-2023/ch03/ch03_20231114221320_20231114222320.mp4",
             "BUS7/14-11-2023/ch03/ch04_20231114221320_20231114222320.mp4",   // another channel's name
             "BUS7/14-11-2023/ch03/ch03_20231114221320_20231114222320.mp4.td",
             "BUS7/14-11-2023/ch03/ch03_2023111422132_20231114222320.mp4",
             "BUS7/2023-11-14/ch03/ch03_20231114221320_20231114222320.mp4",
             "BUS7/14-11-2023/c03/c03_20231114221320_20231114222320.mp4",
             "BUS7/14-11-2023/ch03/ch03_20231114221320_2023111422232x.mp4",
             "",
         }) {
        CatalogueRow untouched;
        untouched.strVehicle = "kept";
        EXPECT_FALSE(RowFromPath(szPath, untouched)) << szPath;
        EXPECT_EQ(untouched.strVehicle, "kept");
    }
}

TEST_F(RecordingCatalogueTest, PagesListEveryRowOnceNewestFirstWithTiesByIdAndABadCursorIsRefused)
{
    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    // Two channels start together: the tie goes by id, newest (highest) first.
    for (int i = 0; i < 120; ++i) {
        AddRow(catalogue, "BUS1", 1, kT0 + 600 * i, kT0 + 600 * i + 600);
        AddRow(catalogue, "BUS1", 2, kT0 + 600 * i, kT0 + 600 * i + 600);
        AddRow(catalogue, "BUS2", 1, kT0 + 600 * i + 1, kT0 + 600 * i + 601);
    }
    catalogue.Flush();
    EXPECT_EQ(m_unhashed.size(), 360u);

    for (const std::string& vehicle : {std::string("BUS1"), std::string()}) {
        CatalogueQuery query;
        query.strVehicle = vehicle;
        query.nLimit = 100;
        std::size_t nPages = 0;
        std::vector<CatalogueRow> rows = AllPages(catalogue, query, &nPages);
        const std::size_t nExpected = vehicle.empty() ? 360 : 240;
        ASSERT_EQ(rows.size(), nExpected) << "vehicle '" << vehicle << "'";
        EXPECT_EQ(nPages, (nExpected + 99) / 100);
        std::set<std::int64_t> ids;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ids.insert(rows[i].nId);
            if (i > 0) {
                EXPECT_TRUE(rows[i - 1].tStart > rows[i].tStart ||
                            (rows[i - 1].tStart == rows[i].tStart && rows[i - 1].nId > rows[i].nId))
                    << i;
            }
        }
        EXPECT_EQ(ids.size(), nExpected);
        EXPECT_EQ(rows.front().tStart, vehicle.empty() ? kT0 + 600 * 119 + 1 : kT0 + 600 * 119);
    }

    // A page exactly as long as what is left says there is no more.
    CatalogueQuery exact;
    exact.strVehicle = "BUS2";
    exact.nLimit = 120;
    CataloguePage page = catalogue.Find(exact);
    EXPECT_EQ(page.rows.size(), 120u);
    EXPECT_TRUE(page.strNext.empty());
    // Limits are held to 1..kMaxLimit.
    exact.nLimit = 0;
    EXPECT_EQ(catalogue.Find(exact).rows.size(), 1u);

    for (const char* szBad : {"x", "12", "12.", ".5", "1.2.3", "-1.5", "5.0", "99999999999999999999.1"}) {
        CatalogueQuery bad;
        bad.strAfter = szBad;
        CataloguePage refused = catalogue.Find(bad);
        EXPECT_FALSE(refused.bValid) << szBad;
        EXPECT_TRUE(refused.rows.empty()) << szBad;
    }
}

TEST_F(RecordingCatalogueTest, WindowsListWhatOverlapsThemNotWhatOnlyTouchesThemThroughIndexSearches)
{
    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    const std::string a = AddRow(catalogue, "BUS1", 1, kT0 + 1000, kT0 + 1300);
    const std::string b = AddRow(catalogue, "BUS1", 2, kT0 + 1300, kT0 + 1600);
    // Two hours long: it starts long before a one-hour window in its middle.
    const std::string longOne = AddRow(catalogue, "BUS1", 3, kT0 - 3600, kT0 + 3600);
    const std::string other = AddRow(catalogue, "BUS9", 1, kT0 + 1000, kT0 + 1300);
    catalogue.Flush();

    struct Case {
        int nChannel;
        std::uint32_t tFrom, tTo;
        std::vector<std::string> expected;  // BUS1's, newest first
    };
    const Case cases[] = {
        {-1, kT0 + 1300, kT0 + 1301, {b, longOne}},         // a's end touches the window: not a
        {-1, kT0 + 999, kT0 + 1000, {longOne}},             // a starts where it ends
        {-1, kT0 + 1299, kT0 + 1300, {a, longOne}},          // b starts where it ends
        {-1, kT0 + 1000, kT0 + 1600, {b, a, longOne}},
        {-1, kT0 + 3600, 0, {}},                             // open to the future, after them all
        {-1, kT0 + 1599, 0, {b, longOne}},
        {-1, 0, kT0 + 1000, {longOne}},                      // open to the past
        {-1, 0, kT0 - 3599, {longOne}},
        {-1, 0, kT0 - 3600, {}},
        {-1, 0, 0, {b, a, longOne}},
        {1, 0, 0, {a}},
        {2, kT0 + 1000, kT0 + 1600, {b}},
        {7, 0, 0, {}},
        {3, kT0 + 100, kT0 + 200, {longOne}},
        {-1, kT0 + 1600, kT0 + 1000, {}},                    // the wrong way round
    };
    for (const Case& c : cases) {
        CatalogueQuery query;
        query.strVehicle = "BUS1";
        query.nChannel = c.nChannel;
        query.tFrom = c.tFrom;
        query.tTo = c.tTo;
        EXPECT_EQ(Paths(catalogue.Find(query).rows), c.expected)
            << "channel " << c.nChannel << " [" << c.tFrom << ", " << c.tTo << ")";
        // Fleet-wide, through the other index: the same rows plus BUS9's where it overlaps.
        query.strVehicle.clear();
        std::vector<std::string> fleet = Paths(catalogue.Find(query).rows);
        fleet.erase(std::remove(fleet.begin(), fleet.end(), other), fleet.end());
        EXPECT_EQ(fleet, c.expected) << "fleet, channel " << c.nChannel << " [" << c.tFrom << ", " << c.tTo << ")";
    }

    // Covering: oldest first, only the channels asked, BUS9's never.
    EXPECT_EQ(Paths(catalogue.Covering("BUS1", {}, kT0 + 1000, kT0 + 1600)), (std::vector<std::string> {longOne, a, b}));
    EXPECT_EQ(Paths(catalogue.Covering("BUS1", {2, 1}, kT0 + 1000, kT0 + 1600)), (std::vector<std::string> {a, b}));
    EXPECT_EQ(Paths(catalogue.Covering("BUS1", {1}, kT0 + 1300, kT0 + 1600)), std::vector<std::string> {});
    EXPECT_TRUE(catalogue.Covering("", {}, 0, 0).empty());

    // One-hour windows are index searches, not scans.
    auto planText = [&](const CatalogueQuery& query) {
        std::string text;
        for (const std::string& step : catalogue.PlanOf(query))
            text += step + "\n";
        return text;
    };
    CatalogueQuery vehicleHour;
    vehicleHour.strVehicle = "BUS1";
    vehicleHour.tFrom = kT0 + 7200;
    vehicleHour.tTo = kT0 + 10800;
    std::string plan = planText(vehicleHour);
    // The start is bounded on both sides: a short stretch of the index, in page order.
    EXPECT_NE(plan.find("SEARCH recording USING INDEX recording_by_channel (vehicle=? AND channel=? AND start_time>? "
                        "AND start_time<?)"),
              std::string::npos)
        << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;

    CatalogueQuery fleetHour = vehicleHour;
    fleetHour.strVehicle.clear();
    plan = planText(fleetHour);
    EXPECT_NE(plan.find("SEARCH recording USING INDEX recording_by_end (end_time>? AND end_time<?)"),
              std::string::npos)
        << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
}

TEST_F(RecordingCatalogueTest, RowsAndTheLongestRecordingSurviveARestart)
{
    std::string longOne;
    {
        CRecordingCatalogue catalogue;
        OpenCatalogue(catalogue);
        AddRow(catalogue, "BUS1", 1, kT0, kT0 + 60, 1234);
        longOne = AddRow(catalogue, "BUS1", 2, kT0 - 7200, kT0 + 7200);
        // Close writes what is queued.
    }
    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    CatalogueQuery query;
    query.strVehicle = "BUS1";
    query.nChannel = 1;
    CataloguePage page = catalogue.Find(query);
    ASSERT_EQ(page.rows.size(), 1u);
    const CatalogueRow& row = page.rows[0];
    EXPECT_EQ(row.strVehicle, "BUS1");
    EXPECT_EQ(row.nChannel, 1);
    EXPECT_EQ(row.tStart, kT0);
    EXPECT_EQ(row.tEnd, kT0 + 60);
    EXPECT_EQ(row.nSize, 1234u);
    EXPECT_EQ(row.tStoredAt, kT0 + 70);
    EXPECT_FALSE(row.IsHashed());
    EXPECT_TRUE(row.IsPresent());
    ASSERT_TRUE(catalogue.Get(row.nId).has_value());
    EXPECT_EQ(catalogue.Get(row.nId)->strPath, row.strPath);
    EXPECT_FALSE(catalogue.Get(row.nId + 1000).has_value());
    // The four-hour recording is still found from a window in its middle.
    query.nChannel = -1;
    query.tFrom = kT0 + 3600;
    query.tTo = kT0 + 3601;
    EXPECT_EQ(Paths(catalogue.Find(query).rows), std::vector<std::string> {longOne});
}

TEST_F(RecordingCatalogueTest, TheWalkAddsOnlyTheFinishedRecordingsTheTableLacks)
{
    const std::string known = Put("BUS1", 1, kT0, kT0 + 60, "known");
    std::int64_t nKnownId = 0;
    {
        CRecordingCatalogue catalogue;
        OpenCatalogue(catalogue);
        CatalogueRow row;
        row.strPath = known;
        row.nSize = 5;
        row.tStoredAt = kT0 + 61;
        ASSERT_TRUE(catalogue.Add(row));
        catalogue.Flush();
        ASSERT_EQ(m_unhashed.size(), 1u);
        nKnownId = m_unhashed[0];
        ASSERT_TRUE(catalogue.StoreHash(*catalogue.Get(nKnownId), DigestBytes("known")));
        while (catalogue.StepWalk()) {
        }
        catalogue.Flush();
        EXPECT_EQ(m_unhashed.size(), 1u) << "nothing new in the tree";
    }
    m_unhashed.clear();
    // Stored while the catalogue was closed, and things the walk must pass over.
    const std::string missed1 = Put("BUS1", 1, kT0 + 60, kT0 + 120, "one");
    const std::string missed2 = Put("BUS2", 4, kT0 + 86400 * 3, kT0 + 86400 * 3 + 60, "second");
    const std::string partial = "BUS1/" + DateDirName(kT0) + "/ch01/" + PartialFileName(1, kT0 + 120, kT0 + 180, "r", 9);
    WriteFile(Root() + "/" + partial, "part");
    WriteFile(Root() + "/BUS1/" + DateDirName(kT0) + "/ch01/notes.txt", "x");
    fs::create_directories(Root() + "/BUS1/" + DateDirName(kT0) + "/misc");
    WriteFile(Root() + "/BUS1/" + DateDirName(kT0) + "/misc/" + FinalFileName(1, kT0, kT0 + 1), "x");
    fs::create_directory_symlink(Root() + "/BUS2", Root() + "/LINKED");

    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    int nSteps = 0;
    while (catalogue.StepWalk())
        ++nSteps;
    EXPECT_GE(nSteps, 3);  // a channel directory per step
    catalogue.Flush();
    EXPECT_EQ(m_unhashed.size(), 2u);

    CatalogueQuery query;
    std::vector<CatalogueRow> rows = catalogue.Find(query).rows;
    EXPECT_EQ(Paths(rows), (std::vector<std::string> {missed2, missed1, known}));
    std::optional<CatalogueRow> kept = catalogue.Get(nKnownId);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->strPath, known);
    EXPECT_EQ(kept->strSha256, DigestBytes("known").strSha256);
    EXPECT_EQ(kept->tStoredAt, kT0 + 61);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].strVehicle, "BUS2");
    EXPECT_EQ(rows[0].nChannel, 4);
    EXPECT_EQ(rows[0].nSize, 6u);
    EXPECT_GT(rows[0].tStoredAt, 0u);
    EXPECT_FALSE(rows[0].IsHashed());
}

TEST_F(RecordingCatalogueTest, RetentionMarksWhatItDeletesAndAStoreAgainBringsTheRowBack)
{
    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    const std::uint32_t tOld = WallClockFromFields(2024, 1, 1, 8, 0, 0);
    const std::string old = Put("BUS1", 1, tOld, tOld + 60, "old!");
    const std::string recent = Put("BUS1", 1, tOld + 86400 * 60, tOld + 86400 * 60 + 60, "new");
    for (const std::string& rel : {old, recent}) {
        CatalogueRow row;
        row.strPath = rel;
        row.nSize = 4;
        row.tStoredAt = tOld;
        ASSERT_TRUE(catalogue.Add(row));
    }
    catalogue.Flush();
    const std::int64_t nOldId = m_unhashed.at(0);
    ASSERT_TRUE(catalogue.StoreHash(*catalogue.Get(nOldId), DigestBytes("old!")));

    CRetention retention;
    retention.SetClock([tOld] { return tOld + 86400 * 61; });
    retention.SetOnDeleted([&](const std::string& relPath) { catalogue.MarkDeleted(relPath, tOld + 86400 * 61); });
    ASSERT_EQ(retention.ApplyAge(Root() + "/", 30), 1);
    catalogue.Flush();

    std::optional<CatalogueRow> row = catalogue.Get(nOldId);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->tDeletedAt, tOld + 86400 * 61);
    EXPECT_EQ(row->strSha256, DigestBytes("old!").strSha256) << "the row stays as it was";
    CatalogueQuery query;
    EXPECT_EQ(Paths(catalogue.Find(query).rows), std::vector<std::string> {recent});
    query.bWithDeleted = true;
    EXPECT_EQ(Paths(catalogue.Find(query).rows), (std::vector<std::string> {recent, old}));
    EXPECT_TRUE(catalogue.Covering("BUS1", {}, tOld, tOld + 60).empty());
    EXPECT_TRUE(catalogue.Unhashed(0, 10).size() == 1u) << "a deleted row is not hashed";

    // Downloaded again: the same row, present, its old hash gone.
    Put("BUS1", 1, tOld, tOld + 60, "again");
    CatalogueRow again;
    again.strPath = catalogue.RelativePath(Root() + "//" + old);
    ASSERT_EQ(again.strPath, old);
    again.nSize = 5;
    again.tStoredAt = tOld + 86400 * 62;
    ASSERT_TRUE(catalogue.Add(again));
    catalogue.Flush();
    row = catalogue.Get(nOldId);
    ASSERT_TRUE(row.has_value());
    EXPECT_TRUE(row->IsPresent());
    EXPECT_FALSE(row->IsHashed());
    EXPECT_EQ(row->nSize, 5u);
    EXPECT_EQ(m_unhashed.back(), nOldId);
}

TEST_F(RecordingCatalogueTest, VerifyFindsAChangedByteAndAMissingFileAndLogsBoth)
{
    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    const std::string rel = Put("BUS1", 2, kT0, kT0 + 60, "0123456789");
    CatalogueRow row;
    row.strPath = rel;
    row.nSize = 10;
    row.tStoredAt = kT0 + 60;
    ASSERT_TRUE(catalogue.Add(row));
    catalogue.Flush();
    const std::int64_t nId = m_unhashed.at(0);
    EXPECT_EQ(catalogue.AbsolutePath(*catalogue.Get(nId)), Root() + "/" + rel);

    // Not hashed yet: the hash is taken now, nothing to compare.
    CatalogueVerify first = catalogue.Verify(nId);
    EXPECT_TRUE(first.bFound);
    EXPECT_FALSE(first.bMatch);
    EXPECT_TRUE(first.strExpected.empty());
    EXPECT_EQ(first.strActual, DigestBytes("0123456789").strSha256);
    std::optional<CatalogueRow> hashed = catalogue.Get(nId);
    EXPECT_EQ(hashed->strSha256, DigestBytes("0123456789").strSha256);
    EXPECT_EQ(hashed->nCrc32, DigestBytes("0123456789").nCrc32);

    CatalogueVerify same = catalogue.Verify(nId);
    EXPECT_TRUE(same.bMatch);
    EXPECT_EQ(same.strExpected, same.strActual);

    WriteFile(Root() + "/" + rel, "0123456788");
    CatalogueVerify changed = catalogue.Verify(nId);
    EXPECT_TRUE(changed.bFound);
    EXPECT_FALSE(changed.bMatch);
    EXPECT_EQ(changed.strExpected, DigestBytes("0123456789").strSha256);
    EXPECT_EQ(changed.strActual, DigestBytes("0123456788").strSha256);
    EXPECT_NE(LastLogMessage().find("does not match its hash"), std::string::npos) << LastLogMessage();
    EXPECT_NE(LastLogMessage().find(rel), std::string::npos) << LastLogMessage();

    fs::remove(Root() + "/" + rel);
    CatalogueVerify missing = catalogue.Verify(nId);
    EXPECT_TRUE(missing.bFound);
    EXPECT_FALSE(missing.bMatch);
    EXPECT_TRUE(missing.strActual.empty());
    EXPECT_NE(LastLogMessage().find("cannot be read"), std::string::npos) << LastLogMessage();

    EXPECT_FALSE(catalogue.Verify(nId + 99).bFound);
    // A row's path never leads out of the root.
    CatalogueRow outside = *hashed;
    outside.strPath = "../../etc/passwd";
    EXPECT_TRUE(catalogue.AbsolutePath(outside).empty());
}

TEST_F(RecordingCatalogueTest, AnOlderFleetDbGainsTheTableAndTheHistoryKeepsItsOwn)
{
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        history.OnArrival("BUS1", "10.0.0.1:5000", kT0);
        history.Close();
    }
    const std::int64_t nUserVersion = QueryInt("PRAGMA user_version");
    EXPECT_EQ(QueryInt("SELECT count(*) FROM sqlite_master WHERE name='recording'"), 0);
    {
        CRecordingCatalogue catalogue;
        OpenCatalogue(catalogue);
        AddRow(catalogue, "BUS1", 1, kT0, kT0 + 60);
    }
    EXPECT_EQ(QueryInt("SELECT count(*) FROM recording"), 1);
    EXPECT_EQ(QueryInt("SELECT value FROM footage_meta WHERE name='recording_schema'"), 1);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM sqlite_master WHERE type='index' AND name IN"
                       " ('recording_by_channel', 'recording_by_end')"),
              2);
    // The history's version is its own: it opens the file as its own, nothing kept aside.
    EXPECT_EQ(QueryInt("PRAGMA user_version"), nUserVersion);
    CFleetHistory history(Db());
    ASSERT_EQ(history.Open(), 0);
    EXPECT_TRUE(history.Knows("BUS1"));
    for (const auto& entry : fs::directory_iterator(Dir()))
        EXPECT_NE(entry.path().extension(), ".bak") << entry.path();
}

TEST_F(RecordingCatalogueTest, ANewerTableIsLeftAloneAndAFailedWriteIsKeptForTheNext)
{
    {
        CRecordingCatalogue catalogue;
        OpenCatalogue(catalogue);
    }
    SqliteFile other(Db());
    ASSERT_EQ(other.Exec("UPDATE footage_meta SET value=7 WHERE name='recording_schema'"), "");
    {
        CRecordingCatalogue catalogue;
        EXPECT_EQ(catalogue.Open(Db(), Root()), -1);
        EXPECT_NE(LastLogMessage().find("newer program"), std::string::npos) << LastLogMessage();
        EXPECT_FALSE(catalogue.IsOpen());
        CatalogueRow row;
        row.strPath = RelPath("BUS1", 1, kT0, kT0 + 60);
        EXPECT_FALSE(catalogue.Add(row));
    }
    ASSERT_EQ(other.Exec("UPDATE footage_meta SET value=1 WHERE name='recording_schema'"), "");

    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    AddRow(catalogue, "BUS1", 1, kT0, kT0 + 60);
    // Another connection holds the write lock longer than the busy wait.
    ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), "");
    catalogue.WriteQueued();
    EXPECT_EQ(LastLogMessage(), "recordings catalogue write failed: database is locked");
    AddRow(catalogue, "BUS1", 1, kT0 + 60, kT0 + 120);
    catalogue.WriteQueued();
    const std::vector<std::string> messages = ReadLogMessages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "recordings catalogue write failed: database is locked"), 1)
        << "one line for a run of failures";
    ASSERT_EQ(other.Exec("COMMIT"), "");
    catalogue.Flush();
    EXPECT_EQ(catalogue.Find(CatalogueQuery {}).rows.size(), 2u);
    EXPECT_EQ(m_unhashed.size(), 2u);
}

TEST_F(RecordingCatalogueTest, TheHistoryWaitsForAWriteOfTheCatalogueInsteadOfFailing)
{
    Timing().nDbBusyWaitMs = 5000;
    CFleetHistory history(Db());
    ASSERT_EQ(history.Open(), 0);
    CRecordingCatalogue catalogue;
    OpenCatalogue(catalogue);
    // A long write of another connection to the same file, ending while the history waits.
    SqliteFile other(Db());
    ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), "");
    std::thread holder([&other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        other.Exec("COMMIT");
    });
    history.OnArrival("BUS1", "10.0.0.1:1", kT0);
    AddRow(catalogue, "BUS1", 1, kT0, kT0 + 60);
    history.Flush();
    catalogue.Flush();
    holder.join();
    for (const std::string& message : ReadLogMessages())
        EXPECT_EQ(message.find("write failed"), std::string::npos) << message;
    EXPECT_EQ(QueryInt("SELECT count(*) FROM vehicle"), 1);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM recording"), 1);
}

} // namespace

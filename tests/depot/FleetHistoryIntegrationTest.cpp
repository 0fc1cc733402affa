#include "depot/FleetHistory.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr std::uint32_t kDay = 86400;

class FleetHistoryIntegrationTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Timing().nHistoryFlushMs = 20;
    }
};

std::uint32_t Today()
{
    std::uint32_t tNow = WallClockNow();
    return tNow - tNow % kDay;
}

std::optional<FleetRecord> Find(const std::vector<FleetRecord>& records, const std::string& name)
{
    auto it = std::find_if(records.begin(), records.end(), [&](const FleetRecord& r) { return r.strName == name; });
    return it == records.end() ? std::nullopt : std::optional<FleetRecord>(*it);
}

auto Fields(const FleetRecord& r)
{
    return std::tie(r.strName, r.tFirstSeen, r.tLastSeen, r.strLastAddress, r.nVisits, r.nFilesTotal, r.nBytesTotal,
                    r.nFilesLastVisit, r.nBytesLastVisit, r.tLastCompleteOffload, r.nPending, r.tLastFailure,
                    r.strLastFailure, r.nFilesToday, r.nBytesToday);
}

void ExpectSame(const std::vector<FleetRecord>& a, const std::vector<FleetRecord>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_TRUE(Fields(a[i]) == Fields(b[i])) << "record " << a[i].strName;
}

// The first column of the first row of szSql, read through a connection of its own.
std::int64_t QueryInt(const char* szSql)
{
    sqlite3* pDb = nullptr;
    std::int64_t nValue = -1;
    if (sqlite3_open_v2("fleet.db", &pDb, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* pStmt = nullptr;
        if (sqlite3_prepare_v2(pDb, szSql, -1, &pStmt, nullptr) == SQLITE_OK && sqlite3_step(pStmt) == SQLITE_ROW)
            nValue = sqlite3_column_int64(pStmt, 0);
        sqlite3_finalize(pStmt);
    }
    sqlite3_close_v2(pDb);
    return nValue;
}

std::set<std::string> Backups()
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        if (entry.path().extension() == ".bak")
            names.insert(entry.path().filename().string());
    return names;
}

std::size_t LogCount(const std::string& text)
{
    std::size_t n = 0;
    for (const std::string& message : ReadLogMessages())
        n += message.find(text) != std::string::npos;
    return n;
}

TEST_F(FleetHistoryIntegrationTest, RecordsAddUpAndSurviveARestart)
{
    const std::uint32_t tToday = Today();
    const std::uint32_t tYesterday = tToday - kDay;
    // 199 bytes and a two-byte character: cut before the character, not through it.
    const std::string longText = std::string(199, 'a') + "\xC3\xA9" + "tail";
    std::vector<FleetRecord> before;
    {
        CFleetHistory history;
        ASSERT_EQ(history.Open(), 0);
        EXPECT_TRUE(history.IsOpen());
        std::uint64_t nVersion = history.Version();
        history.OnArrival("BUS-7", "10.0.0.7:5000", tYesterday + 100);
        history.OnFileStored("BUS-7", 1000, tYesterday + 200);
        history.OnFileStored("BUS-7", 500, tYesterday + 300);
        history.OnDeparture("BUS-7", tYesterday + 400);
        history.OnArrival("BUS-7", "10.0.0.8:5001", tToday + 100);
        history.OnFileStored("BUS-7", 250, tToday + 200);
        history.OnCompleteOffload("BUS-7", tToday + 300);
        history.OnPending("BUS-7", 4);
        history.OnFailure("BUS-7", longText, tToday + 350);
        history.OnPending("CAR-1", 2);
        history.OnFailure("AAA", "no answer", tToday + 5);
        EXPECT_EQ(history.Version(), nVersion + 11);

        before = history.Snapshot(tToday + 500);
        ASSERT_EQ(before.size(), 3u);
        EXPECT_EQ(before[0].strName, "AAA");
        EXPECT_EQ(before[1].strName, "BUS-7");
        EXPECT_EQ(before[2].strName, "CAR-1");
        const FleetRecord& bus = before[1];
        EXPECT_EQ(bus.tFirstSeen, tYesterday + 100);
        EXPECT_EQ(bus.tLastSeen, tToday + 200);
        EXPECT_EQ(bus.strLastAddress, "10.0.0.8:5001");
        EXPECT_EQ(bus.nVisits, 2u);
        EXPECT_EQ(bus.nFilesTotal, 3u);
        EXPECT_EQ(bus.nBytesTotal, 1750u);
        EXPECT_EQ(bus.nFilesLastVisit, 1u);
        EXPECT_EQ(bus.nBytesLastVisit, 250u);
        EXPECT_EQ(bus.nFilesToday, 1u);
        EXPECT_EQ(bus.nBytesToday, 250u);
        EXPECT_EQ(bus.tLastCompleteOffload, tToday + 300);
        EXPECT_EQ(bus.nPending, 4);
        EXPECT_EQ(bus.tLastFailure, tToday + 350);
        EXPECT_EQ(bus.strLastFailure, std::string(199, 'a'));
        EXPECT_EQ(before[0].tFirstSeen, tToday + 5);
        EXPECT_EQ(before[0].strLastFailure, "no answer");
        EXPECT_EQ(before[2].nPending, 2);
        EXPECT_EQ(before[2].tFirstSeen, 0u);

        std::optional<FleetRecord> yesterday = Find(history.Snapshot(tYesterday + 5), "BUS-7");
        ASSERT_TRUE(yesterday.has_value());
        EXPECT_EQ(yesterday->nFilesToday, 2u);
        EXPECT_EQ(yesterday->nBytesToday, 1500u);
    }  // the destructor closes

    CFleetHistory restarted;
    // Recorded before the database is read: added to what it holds.
    restarted.OnFileStored("BUS-7", 50, tToday + 600);
    ASSERT_EQ(restarted.Open(), 0);
    std::vector<FleetRecord> after = restarted.Snapshot(tToday + 500);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_TRUE(Fields(after[0]) == Fields(before[0]));
    EXPECT_TRUE(Fields(after[2]) == Fields(before[2]));
    const FleetRecord& bus = after[1];
    EXPECT_EQ(bus.tFirstSeen, tYesterday + 100);
    EXPECT_EQ(bus.tLastSeen, tToday + 600);
    EXPECT_EQ(bus.strLastAddress, "10.0.0.8:5001");
    EXPECT_EQ(bus.nVisits, 2u);
    EXPECT_EQ(bus.nFilesTotal, 4u);
    EXPECT_EQ(bus.nBytesTotal, 1800u);
    EXPECT_EQ(bus.nFilesLastVisit, 2u);
    EXPECT_EQ(bus.nBytesLastVisit, 300u);
    EXPECT_EQ(bus.nFilesToday, 2u);
    EXPECT_EQ(bus.nBytesToday, 300u);
    EXPECT_EQ(bus.nPending, 4);
    EXPECT_EQ(bus.strLastFailure, std::string(199, 'a'));
    std::vector<FleetDayTotal> days = restarted.DayTotals("BUS-7");
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].tDay, tYesterday);
    EXPECT_EQ(days[0].nFiles, 2u);
    EXPECT_EQ(days[0].nBytes, 1500u);
    EXPECT_EQ(days[1].tDay, tToday);
    EXPECT_EQ(days[1].nFiles, 2u);
    EXPECT_EQ(days[1].nBytes, 300u);

    // The merged row is stored as well.
    restarted.Close();
    EXPECT_FALSE(restarted.IsOpen());
    CFleetHistory third;
    ASSERT_EQ(third.Open(), 0);
    ExpectSame(third.Snapshot(tToday + 500), after);
}

TEST_F(FleetHistoryIntegrationTest, OldDayTotalsArePrunedOnReopen)
{
    const std::uint32_t tToday = Today();
    {
        CFleetHistory history;
        ASSERT_EQ(history.Open(), 0);
        history.OnFileStored("V", 1, tToday - 120 * kDay + 10);
        history.OnFileStored("V", 2, tToday - 95 * kDay + 10);
        history.OnFileStored("V", 4, tToday - 80 * kDay + 10);
        history.OnFileStored("V", 8, tToday - 10 * kDay + 10);
        history.Flush();
        EXPECT_EQ(QueryInt("SELECT count(*) FROM day_total"), 4);
    }
    CFleetHistory history;
    ASSERT_EQ(history.Open(), 0);
    std::vector<FleetDayTotal> days = history.DayTotals("V");
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].tDay, tToday - 80 * kDay);
    EXPECT_EQ(days[0].nBytes, 4u);
    EXPECT_EQ(days[1].tDay, tToday - 10 * kDay);
    EXPECT_EQ(days[1].nBytes, 8u);
    // The totals of the vehicle are not pruned with its days.
    std::optional<FleetRecord> rec = Find(history.Snapshot(tToday), "V");
    ASSERT_TRUE(rec.has_value());
    EXPECT_EQ(rec->nFilesTotal, 4u);
    EXPECT_EQ(rec->nBytesTotal, 15u);
    history.Close();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM day_total"), 2);
}

TEST_F(FleetHistoryIntegrationTest, DamagedDatabaseIsKeptAsideAndStartedAfresh)
{
    const std::uint32_t tToday = Today();
    // A file with a valid header whose other pages are overwritten.
    std::string corruptPages;
    {
        CFleetHistory history;
        ASSERT_EQ(history.Open(), 0);
        for (int i = 0; i < 300; ++i)
            history.OnArrival("VEHICLE-" + std::to_string(i), "10.1.1.1:4000", tToday);
    }
    corruptPages = ReadFile("fleet.db");
    ASSERT_GT(corruptPages.size(), 8192u);
    for (std::size_t i = 4096; i < corruptPages.size(); ++i)
        corruptPages[i] = static_cast<char>(i * 7 + 3);
    std::string garbage;
    for (int i = 0; i < 5000; ++i)
        garbage += static_cast<char>('A' + i % 23);
    std::filesystem::remove("fleet.db");

    for (const std::string& damaged : {garbage, corruptPages, std::string("newer")}) {
        if (damaged == "newer") {
            // A database left by a newer program: its layout cannot be trusted.
            sqlite3* pDb = nullptr;
            ASSERT_EQ(sqlite3_open("fleet.db", &pDb), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(pDb, "PRAGMA user_version=7", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(pDb);
        } else {
            WriteFile("fleet.db", damaged);
            WriteFile("fleet.db-wal", "stale");
        }
        const std::string original = ReadFile("fleet.db");
        std::set<std::string> oldBackups = Backups();
        {
            CFleetHistory history;
            ASSERT_EQ(history.Open(), 0);
            EXPECT_TRUE(history.Snapshot(tToday).empty());
            history.OnFileStored("FRESH", 77, tToday + 1);
        }
        std::set<std::string> backups = Backups();
        std::vector<std::string> added;
        std::set_difference(backups.begin(), backups.end(), oldBackups.begin(), oldBackups.end(),
                            std::back_inserter(added));
        ASSERT_EQ(added.size(), 1u);
        EXPECT_EQ(added[0].rfind("fleet.db.", 0), 0u);
        EXPECT_TRUE(ReadFile(added[0]) == original) << "backup " << added[0] << " differs";
        EXPECT_TRUE(LogHas("fleet history fleet.db is damaged, kept as " + added[0] + " and started afresh"))
            << added[0];

        // The new database works and persists.
        CFleetHistory reopened;
        ASSERT_EQ(reopened.Open(), 0);
        std::optional<FleetRecord> rec = Find(reopened.Snapshot(tToday), "FRESH");
        ASSERT_TRUE(rec.has_value());
        EXPECT_EQ(rec->nBytesToday, 77u);
        reopened.Close();
        EXPECT_EQ(Backups().size(), backups.size());
        std::filesystem::remove("fleet.db");
    }
}

TEST_F(FleetHistoryIntegrationTest, FailuresKeepTheRowsAndAreLoggedOnce)
{
    const std::uint32_t tToday = Today();
    {
        // No database at all: the copy in memory still works.
        CFleetHistory history("missing/dir/fleet.db");
        history.Flush();  // no writer yet
        EXPECT_EQ(history.Open(), -1);
        EXPECT_FALSE(history.IsOpen());
        EXPECT_TRUE(LogHas("fleet history missing/dir/fleet.db cannot be opened: unable to open database file"));
        history.OnFileStored("V", 5, tToday);
        history.Flush();
        std::optional<FleetRecord> rec = Find(history.Snapshot(tToday), "V");
        ASSERT_TRUE(rec.has_value());
        EXPECT_EQ(rec->nBytesToday, 5u);
    }

    CFleetHistory history;
    ASSERT_EQ(history.Open(), 0);
    // Another connection holds the write lock, so every batch fails for now.
    sqlite3* pOther = nullptr;
    ASSERT_EQ(sqlite3_open("fleet.db", &pOther), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pOther, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    history.OnFileStored("V", 10, tToday);
    history.Flush();
    history.OnFileStored("V", 20, tToday);
    history.Flush();
    EXPECT_EQ(LogCount("fleet history write failed: database is locked"), 1u);
    sqlite3_exec(pOther, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(pOther);

    history.Flush();
    EXPECT_EQ(QueryInt("SELECT bytes_total FROM vehicle WHERE name='V'"), 30);
    EXPECT_EQ(QueryInt("SELECT files FROM day_total WHERE name='V'"), 2);
    EXPECT_EQ(LogCount("fleet history write failed"), 1u);
}

TEST_F(FleetHistoryIntegrationTest, ConcurrentRecordersAreCountedExactly)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 400;
    const std::uint32_t tToday = Today();
    CFleetHistory history;
    ASSERT_EQ(history.Open(), 0);

    std::atomic<bool> bDone {false};
    std::jthread reader([&] {
        std::uint64_t nLastVersion = 0;
        while (!bDone) {
            std::uint64_t nVersion = history.Version();
            EXPECT_GE(nVersion, nLastVersion);
            nLastVersion = nVersion;
            for (const FleetRecord& rec : history.Snapshot(tToday))
                EXPECT_LE(rec.nFilesToday, rec.nFilesTotal);
            history.DayTotals("V0");
            history.Flush();
        }
    });
    std::vector<std::jthread> recorders;
    for (int t = 0; t < kThreads; ++t) {
        recorders.emplace_back([&, t] {
            std::string name = "V" + std::to_string(t % 3);
            for (int i = 0; i < kRounds; ++i) {
                if (i % 100 == 0)
                    history.OnArrival(name, "10.0.0.1:1", tToday + i);
                history.OnFileStored(name, 3, tToday + i);
                history.OnPending(name, i);
            }
        });
    }
    for (std::jthread& thread : recorders)
        thread.join();
    bDone = true;
    reader.join();

    history.Flush();
    const std::int64_t nPerName = 2 * kRounds;
    EXPECT_EQ(QueryInt("SELECT sum(files_total) FROM vehicle"), 3 * nPerName);
    EXPECT_EQ(QueryInt("SELECT sum(bytes) FROM day_total"), 3 * nPerName * 3);
    EXPECT_EQ(QueryInt("SELECT sum(visits) FROM vehicle"), kThreads * kRounds / 100);
    std::vector<FleetRecord> records = history.Snapshot(tToday);
    ASSERT_EQ(records.size(), 3u);
    for (const FleetRecord& rec : records) {
        EXPECT_EQ(rec.nFilesTotal, static_cast<std::uint64_t>(nPerName));
        EXPECT_EQ(rec.nFilesToday, static_cast<std::uint64_t>(nPerName));
        EXPECT_EQ(rec.nVisits, 2u * kRounds / 100);
    }
    history.Close();
    CFleetHistory reopened;
    ASSERT_EQ(reopened.Open(), 0);
    ExpectSame(reopened.Snapshot(tToday), records);
}

}  // namespace

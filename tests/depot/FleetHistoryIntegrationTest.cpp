#include "depot/FleetHistory.h"

#include "core/PeriodicRunner.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "support/Descriptors.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/SqliteFile.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
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
        // A database held locked by the test fails a write after this wait.
        Timing().nDbBusyWaitMs = 50;
    }

    // The database the histories of a test share.
    std::string Db() const { return At("fleet.db"); }

    // The first column of the first row of sql, read through a connection of its own.
    std::int64_t QueryInt(const std::string& sql) const { return SqliteFile::QueryInt(Db(), sql); }

    // Names of the backups in the sandbox.
    std::set<std::string> Backups() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Dir()))
            if (entry.path().extension() == ".bak")
                names.insert(entry.path().filename().string());
        return names;
    }
};

// A mark up to tUpTo, from the start of time, for every kind of recording.
ChannelMark UpTo(std::uint32_t tUpTo, std::uint32_t tFrom = 0, std::uint8_t nFileType = 0xFF)
{
    ChannelMark mark;
    mark.tFrom = tFrom;
    mark.tUpTo = tUpTo;
    mark.nFileType = nFileType;
    return mark;
}

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
                    r.strLastFailure, r.nFilesToday, r.nBytesToday, r.nUnfetchable, r.nLeftBehind, r.nMissedDropped);
}

auto MissedFields(const MissedRecording& m)
{
    return std::tie(m.nChannel, m.strFileName, m.tStart, m.tEnd, m.strReason, m.nVisits, m.tLastMissed, m.eState);
}

MissedRecording Missed(std::uint8_t nChannel, const std::string& file, std::uint32_t tStart,
                       const std::string& reason = "connection closed after the header")
{
    MissedRecording rec;
    rec.nChannel = nChannel;
    rec.strFileName = file;
    rec.tStart = tStart;
    rec.tEnd = tStart + 300;
    rec.strReason = reason;
    return rec;
}

// The entry of file in the vehicle's missed list, if any.
std::optional<MissedRecording> FindMissed(const CFleetHistory& history, const std::string& name,
                                          const std::string& file)
{
    for (const MissedRecording& rec : history.MissedRecordings(name))
        if (rec.strFileName == file)
            return rec;
    return std::nullopt;
}

// The record of name in history's snapshot at tNow; a failure when there is none.
FleetRecord Rec(const CFleetHistory& history, const std::string& name, std::uint32_t tNow)
{
    std::optional<FleetRecord> rec = Find(history.Snapshot(tNow), name);
    EXPECT_TRUE(rec.has_value()) << name;
    return rec.value_or(FleetRecord {});
}

// The entry of file in the vehicle's missed list; a failure when there is none.
MissedRecording MissedOf(const CFleetHistory& history, const std::string& name, const std::string& file)
{
    std::optional<MissedRecording> rec = FindMissed(history, name, file);
    EXPECT_TRUE(rec.has_value()) << file;
    return rec.value_or(MissedRecording {});
}

void ExpectSame(const std::vector<FleetRecord>& a, const std::vector<FleetRecord>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_TRUE(Fields(a[i]) == Fields(b[i])) << "record " << a[i].strName;
}


TEST_F(FleetHistoryIntegrationTest, RecordsAddUpAndSurviveARestart)
{
    const std::uint32_t tToday = Today();
    const std::uint32_t tYesterday = tToday - kDay;
    // 199 bytes and a two-byte character: cut before the character, not through it.
    const std::string longText = std::string(199, 'a') + "\xC3\xA9" + "tail";
    std::vector<FleetRecord> before;
    {
        CFleetHistory history(Db());
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

        FleetRecord yesterday = Rec(history, "BUS-7", tYesterday + 5);
        EXPECT_EQ(yesterday.nFilesToday, 2u);
        EXPECT_EQ(yesterday.nBytesToday, 1500u);
    }  // the destructor closes

    CFleetHistory restarted(Db());
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
    CFleetHistory third(Db());
    ASSERT_EQ(third.Open(), 0);
    ExpectSame(third.Snapshot(tToday + 500), after);
}

TEST_F(FleetHistoryIntegrationTest, OldDayTotalsArePrunedOnReopen)
{
    const std::uint32_t tToday = Today();
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        history.OnFileStored("V", 1, tToday - 120 * kDay + 10);
        history.OnFileStored("V", 2, tToday - 95 * kDay + 10);
        history.OnFileStored("V", 4, tToday - 80 * kDay + 10);
        history.OnFileStored("V", 8, tToday - 10 * kDay + 10);
        history.Flush();
        EXPECT_EQ(QueryInt("SELECT count(*) FROM day_total"), 4);
    }
    CFleetHistory history(Db());
    ASSERT_EQ(history.Open(), 0);
    std::vector<FleetDayTotal> days = history.DayTotals("V");
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].tDay, tToday - 80 * kDay);
    EXPECT_EQ(days[0].nBytes, 4u);
    EXPECT_EQ(days[1].tDay, tToday - 10 * kDay);
    EXPECT_EQ(days[1].nBytes, 8u);
    // The totals of the vehicle are not pruned with its days.
    FleetRecord rec = Rec(history, "V", tToday);
    EXPECT_EQ(rec.nFilesTotal, 4u);
    EXPECT_EQ(rec.nBytesTotal, 15u);
    history.Close();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM day_total"), 2);
}

TEST_F(FleetHistoryIntegrationTest, DamagedDatabaseIsKeptAsideAndStartedAfresh)
{
    const std::uint32_t tToday = Today();
    // A file with a valid header whose other pages are overwritten.
    std::string corruptPages;
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        for (int i = 0; i < 300; ++i)
            history.OnArrival("VEHICLE-" + std::to_string(i), "10.1.1.1:4000", tToday);
    }
    corruptPages = ReadFile(Db());
    ASSERT_GT(corruptPages.size(), 8192u);
    for (std::size_t i = 4096; i < corruptPages.size(); ++i)
        corruptPages[i] = static_cast<char>(i * 7 + 3);
    std::string garbage;
    for (int i = 0; i < 5000; ++i)
        garbage += static_cast<char>('A' + i % 23);
    std::filesystem::remove(Db());

    for (const std::string& damaged : {garbage, corruptPages, std::string("newer")}) {
        if (damaged == "newer") {
            // A database left by a newer program: its layout cannot be trusted.
            ASSERT_EQ(SqliteFile(Db()).Exec("PRAGMA user_version=7"), "");
        } else {
            WriteFile(Db(), damaged);
            WriteFile(At("fleet.db-wal"), "stale");
        }
        const std::string original = ReadFile(Db());
        std::set<std::string> oldBackups = Backups();
        {
            CFleetHistory history(Db());
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
        EXPECT_TRUE(ReadFile(At(added[0])) == original) << "backup " << added[0] << " differs";
        EXPECT_TRUE(LogHas("fleet history " + Db() + " is damaged, kept as " + At(added[0]) + " and started afresh"))
            << added[0];

        // The new database works and persists.
        CFleetHistory reopened(Db());
        ASSERT_EQ(reopened.Open(), 0);
        FleetRecord rec = Rec(reopened, "FRESH", tToday);
        EXPECT_EQ(rec.nBytesToday, 77u);
        reopened.Close();
        EXPECT_EQ(Backups().size(), backups.size());
        std::filesystem::remove(Db());
    }
}

TEST_F(FleetHistoryIntegrationTest, FailuresKeepTheRowsAndAreLoggedOnce)
{
    const std::uint32_t tToday = Today();
    {
        // No database at all: the copy in memory still works.
        CFleetHistory history(At("missing/dir/fleet.db"));
        history.Flush();  // no writer yet
        EXPECT_EQ(history.Open(), -1);
        EXPECT_FALSE(history.IsOpen());
        EXPECT_TRUE(LogHas("fleet history " + At("missing/dir/fleet.db") + " cannot be opened: unable to open database file"));
        history.OnFileStored("V", 5, tToday);
        history.Flush();
        FleetRecord rec = Rec(history, "V", tToday);
        EXPECT_EQ(rec.nBytesToday, 5u);
    }

    CFleetHistory history(Db());
    ASSERT_EQ(history.Open(), 0);
    // Another connection holds the write lock, so every batch fails for now.
    auto other = std::make_unique<SqliteFile>(Db());
    ASSERT_EQ(other->Exec("BEGIN IMMEDIATE"), "");
    history.OnFileStored("V", 10, tToday);
    history.Flush();
    history.OnFileStored("V", 20, tToday);
    history.Flush();
    EXPECT_EQ(CountLogContaining("fleet history write failed: database is locked"), 1u);
    other.reset();

    history.Flush();
    EXPECT_EQ(QueryInt("SELECT bytes_total FROM vehicle WHERE name='V'"), 30);
    EXPECT_EQ(QueryInt("SELECT files FROM day_total WHERE name='V'"), 2);
    EXPECT_EQ(CountLogContaining("fleet history write failed"), 1u);

    // Marks and missed recordings, written, deleted and changed while writes fail,
    // reach the file as they are once they work again.
    history.OnRecordingMissed("V", Missed(1, "gone.mp4", tToday), tToday);
    history.OnRecordingMissed("V", Missed(1, "kept.mp4", tToday + 1), tToday);
    history.Flush();
    other = std::make_unique<SqliteFile>(Db());
    ASSERT_EQ(other->Exec("BEGIN IMMEDIATE"), "");
    history.OnRecordingStored("V", 1, "gone.mp4", tToday);
    history.OnRecordingLeftBehind("V", Missed(1, "kept.mp4", tToday + 1), tToday + 5);
    history.OnCompleteMark("V", 3, UpTo(tToday + 60));
    history.Flush();
    EXPECT_EQ(CountLogContaining("fleet history write failed"), 2u);
    other.reset();
    history.Flush();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording"), 1);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording WHERE file_name='kept.mp4' AND state='left_behind'"), 1);
    EXPECT_EQ(QueryInt("SELECT complete_up_to FROM channel_mark WHERE channel=3"), tToday + 60);
}

TEST_F(FleetHistoryIntegrationTest, ConcurrentRecordersAreCountedExactly)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 400;
    const std::uint32_t tToday = Today();
    CFleetHistory history(Db());
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
            for (const MissedRecording& rec : history.MissedRecordings("V1"))
                EXPECT_EQ(rec.nVisits, 1u);  // each is missed once
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
                // Each thread's own recordings: missed, then stored but for every tenth.
                const std::string file = "t" + std::to_string(t) + "_" + std::to_string(i);
                history.OnRecordingMissed(name, Missed(1, file, tToday + i), tToday + i);
                if (i % 10 != 0)
                    history.OnRecordingStored(name, 1, file, tToday + i);
                history.OnCompleteMark(name, static_cast<std::uint8_t>(t), UpTo(tToday + i));
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
    EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording"), kThreads * kRounds / 10);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM channel_mark"), kThreads);
    EXPECT_EQ(QueryInt("SELECT min(complete_up_to) FROM channel_mark"), tToday + kRounds - 1);
    std::vector<FleetRecord> records = history.Snapshot(tToday);
    ASSERT_EQ(records.size(), 3u);
    for (const FleetRecord& rec : records) {
        EXPECT_EQ(rec.nFilesTotal, static_cast<std::uint64_t>(nPerName));
        EXPECT_EQ(rec.nFilesToday, static_cast<std::uint64_t>(nPerName));
        EXPECT_EQ(rec.nVisits, 2u * kRounds / 100);
    }
    for (const FleetRecord& rec : records)
        EXPECT_EQ(history.MissedRecordings(rec.strName).size(), 2u * kRounds / 10);
    history.Close();
    CFleetHistory reopened(Db());
    ASSERT_EQ(reopened.Open(), 0);
    ExpectSame(reopened.Snapshot(tToday), records);
}

using State = MissedRecording::State;

TEST_F(FleetHistoryIntegrationTest, MarksAndMissedRecordingsSurviveCloseForgetAndOpen)
{
    const std::uint32_t tToday = Today();
    // Any bytes a recorder may send in a name.
    const std::string oddName = "ch02_\"q\"\xFF\xC3.mp4";
    std::vector<MissedRecording> before;
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        history.OnArrival("BUS-1", "10.0.0.1:5000", tToday + 10);
        history.OnCompleteMark("BUS-1", 1, UpTo(tToday + 1000));
        history.OnCompleteMark("BUS-1", 2, UpTo(tToday + 5000));
        // An older gap found: the mark moves back, to exactly what is given.
        history.OnCompleteMark("BUS-1", 2, UpTo(tToday + 3000));
        EXPECT_EQ(history.CompleteMark("BUS-1", 1).tUpTo, tToday + 1000);
        EXPECT_EQ(history.CompleteMark("BUS-1", 2).tUpTo, tToday + 3000);
        EXPECT_FALSE(history.CompleteMark("BUS-1", 3).bSet);
        EXPECT_FALSE(history.CompleteMark("NOBODY", 1).bSet);
        // Where the mark begins and the kind of recordings it covers are kept with it.
        history.OnCompleteMark("BUS-1", 4, UpTo(tToday + 900, tToday + 100, 2));
        // Setting the same mark again changes nothing.
        const std::uint64_t nVersion = history.Version();
        history.OnCompleteMark("BUS-1", 1, UpTo(tToday + 1000));
        EXPECT_EQ(history.Version(), nVersion);

        history.OnRecordingMissed("BUS-1", Missed(1, "ch01_b.mp4", tToday + 600), tToday + 20);
        history.OnRecordingMissed("BUS-1", Missed(2, oddName, tToday + 100, "refused"), tToday + 30);
        history.OnRecordingLeftBehind("BUS-1", Missed(1, "ch01_a.mp4", tToday + 50, "out of the span"), tToday + 40);
        history.OnRecordingMissed("CAR-2", Missed(0, "x.mp4", tToday), tToday + 50);
        before = history.MissedRecordings("BUS-1");
        // Oldest first, whatever the order they were missed in.
        ASSERT_EQ(before.size(), 3u);
        EXPECT_EQ(before[0].strFileName, "ch01_a.mp4");
        EXPECT_EQ(before[0].eState, State::LeftBehind);
        EXPECT_EQ(before[0].strReason, "out of the span");
        EXPECT_EQ(before[0].nVisits, 0u);
        EXPECT_EQ(before[1].strFileName, oddName);
        EXPECT_EQ(before[1].nChannel, 2);
        EXPECT_EQ(before[1].tEnd, tToday + 400);
        EXPECT_EQ(before[1].strReason, "refused");
        EXPECT_EQ(before[1].nVisits, 1u);
        EXPECT_EQ(before[1].tLastMissed, tToday + 30);
        EXPECT_EQ(before[1].eState, State::Retrying);
        EXPECT_EQ(before[2].strFileName, "ch01_b.mp4");
        FleetRecord rec = Rec(history, "BUS-1", tToday);
        EXPECT_EQ(rec.nLeftBehind, 1u);
        EXPECT_EQ(rec.nUnfetchable, 0u);
        history.Close();
        EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording"), 4);
        EXPECT_EQ(QueryInt("SELECT complete_up_to FROM channel_mark WHERE name='BUS-1' AND channel=2"),
                  tToday + 3000);
        EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording WHERE state='left_behind'"), 1);

        // Forgotten, then read back from the file alone.
        history.Forget();
        EXPECT_TRUE(history.MissedRecordings("BUS-1").empty());
        EXPECT_EQ(history.CompleteMark("BUS-1", 1).tUpTo, 0u);
        ASSERT_EQ(history.Open(), 0);
        std::vector<MissedRecording> after = history.MissedRecordings("BUS-1");
        ASSERT_EQ(after.size(), before.size());
        for (std::size_t i = 0; i < after.size(); ++i)
            EXPECT_TRUE(MissedFields(after[i]) == MissedFields(before[i])) << after[i].strFileName;
        EXPECT_EQ(history.CompleteMark("BUS-1", 2).tUpTo, tToday + 3000);
        rec = Rec(history, "BUS-1", tToday);
        EXPECT_EQ(rec.nLeftBehind, 1u);

        // The visit it was missed in came back with it: missing it again in the same
        // visit does not count another.
        history.OnRecordingMissed("BUS-1", Missed(2, oddName, tToday + 100, ""), tToday + 60);
        MissedRecording odd = MissedOf(history, "BUS-1", oddName);
        EXPECT_EQ(odd.nVisits, 1u);
        EXPECT_EQ(odd.strReason, "refused");  // no new reason given: the last one stays
        EXPECT_EQ(odd.tLastMissed, tToday + 60);

        // Stored after all: the entry and its row go; a recording never missed changes nothing.
        history.OnRecordingStored("BUS-1", 2, oddName, tToday + 100);
        const std::uint64_t nStoredVersion = history.Version();
        history.OnRecordingStored("BUS-1", 2, oddName, tToday + 100);
        history.OnRecordingStored("BUS-1", 1, "ch01_b.mp4", tToday + 601);
        history.OnRecordingStored("NOBODY", 1, "ch01_b.mp4", tToday + 600);
        EXPECT_EQ(history.Version(), nStoredVersion);
        EXPECT_FALSE(history.Knows("NOBODY"));
        history.Flush();
        EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording WHERE name='BUS-1'"), 2);
    }
    // A new process sees the same.
    CFleetHistory reopened(Db());
    ASSERT_EQ(reopened.Open(), 0);
    std::vector<MissedRecording> left = reopened.MissedRecordings("BUS-1");
    ASSERT_EQ(left.size(), 2u);
    EXPECT_TRUE(MissedFields(left[0]) == MissedFields(before[0]));
    EXPECT_TRUE(MissedFields(left[1]) == MissedFields(before[2]));
    EXPECT_EQ(reopened.CompleteMark("BUS-1", 1).tUpTo, tToday + 1000);
    ChannelMark partial = reopened.CompleteMark("BUS-1", 4);
    EXPECT_TRUE(partial.bSet);
    EXPECT_EQ(partial.tFrom, tToday + 100);
    EXPECT_EQ(partial.tUpTo, tToday + 900);
    EXPECT_EQ(partial.nFileType, 2);
    EXPECT_EQ(reopened.MissedRecordings("CAR-2").size(), 1u);
}

TEST_F(FleetHistoryIntegrationTest, RecordingMissedInThreeVisitsBecomesUnfetchable)
{
    const std::uint32_t tToday = Today();
    const std::string logLine = "vehname=BUS-1, chan=2, recording ch02_r.mp4 unfetchable after 3 visits: failed 3 "
                                "times in a row: connection closed after the header";
    CFleetHistory history(Db());
    ASSERT_EQ(history.Open(), 0);
    const MissedRecording r = Missed(2, "ch02_r.mp4", tToday + 100, "failed 3 times in a row: refused");
    const MissedRecording s = Missed(2, "ch02_s.mp4", tToday + 200);
    history.OnArrival("BUS-1", "10.0.0.1:5000", tToday + 1000);
    // Three passes of one visit count one visit.
    for (int nPass = 0; nPass < 3; ++nPass)
        history.OnRecordingMissed("BUS-1", r, tToday + 1000 + nPass);
    MissedRecording got = MissedOf(history, "BUS-1", "ch02_r.mp4");
    EXPECT_EQ(got.nVisits, 1u);
    EXPECT_EQ(got.eState, State::Retrying);
    EXPECT_EQ(got.tLastMissed, tToday + 1002);

    history.OnDeparture("BUS-1", tToday + 1100);
    history.OnArrival("BUS-1", "10.0.0.1:5000", tToday + 2000);
    history.OnRecordingMissed("BUS-1", r, tToday + 2000);
    history.OnRecordingMissed("BUS-1", s, tToday + 2000);
    got = MissedOf(history, "BUS-1", "ch02_r.mp4");
    EXPECT_EQ(got.nVisits, 2u);
    EXPECT_EQ(got.eState, State::Retrying);
    EXPECT_FALSE(LogHas(logLine));

    history.OnArrival("BUS-1", "10.0.0.1:5000", tToday + 3000);
    MissedRecording third = r;
    third.strReason = "failed 3 times in a row: connection closed after the header";
    third.eState = State::Retrying;  // the caller's state is not taken
    history.OnRecordingMissed("BUS-1", third, tToday + 3000);
    got = MissedOf(history, "BUS-1", "ch02_r.mp4");
    EXPECT_EQ(got.nVisits, 3u);
    EXPECT_EQ(got.eState, State::Unfetchable);
    EXPECT_EQ(got.strReason, third.strReason);
    EXPECT_TRUE(LogHas(logLine));
    // Missed again, in this visit and the next: still unfetchable, logged once.
    history.OnRecordingMissed("BUS-1", third, tToday + 3001);
    history.OnArrival("BUS-1", "10.0.0.1:5000", tToday + 4000);
    history.OnRecordingMissed("BUS-1", third, tToday + 4000);
    got = MissedOf(history, "BUS-1", "ch02_r.mp4");
    EXPECT_EQ(got.nVisits, 4u);
    EXPECT_EQ(got.eState, State::Unfetchable);
    EXPECT_EQ(CountLogContaining("unfetchable after"), 1u);

    // The other one fell out of the span: left behind, its visits kept.
    history.OnRecordingLeftBehind("BUS-1", s, tToday + 4001);
    got = MissedOf(history, "BUS-1", "ch02_s.mp4");
    EXPECT_EQ(got.eState, State::LeftBehind);
    EXPECT_EQ(got.nVisits, 1u);
    FleetRecord rec = Rec(history, "BUS-1", tToday);
    EXPECT_EQ(rec.nUnfetchable, 1u);
    EXPECT_EQ(rec.nLeftBehind, 1u);

    // Stored after all: gone, and no longer counted.
    history.OnRecordingStored("BUS-1", 2, "ch02_r.mp4", tToday + 100);
    EXPECT_FALSE(FindMissed(history, "BUS-1", "ch02_r.mp4").has_value());
    rec = Rec(history, "BUS-1", tToday);
    EXPECT_EQ(rec.nUnfetchable, 0u);
    EXPECT_EQ(rec.nLeftBehind, 1u);
    history.Flush();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording"), 1);
    EXPECT_EQ(QueryInt("SELECT visits FROM missed_recording WHERE file_name='ch02_s.mp4'"), 1);
}

TEST_F(FleetHistoryIntegrationTest, OldDatabaseWithoutTheNewTablesGainsThem)
{
    const std::uint32_t tToday = Today();
    {
        // fleet.db as the first layout left it.
        SqliteFile db(Db());
        const char* szOld =
            "PRAGMA journal_mode=WAL;"
            "CREATE TABLE vehicle(name TEXT PRIMARY KEY NOT NULL,"
            " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, last_address TEXT NOT NULL,"
            " visits INTEGER NOT NULL, files_total INTEGER NOT NULL, bytes_total INTEGER NOT NULL,"
            " files_last_visit INTEGER NOT NULL, bytes_last_visit INTEGER NOT NULL,"
            " last_complete_offload INTEGER NOT NULL, pending INTEGER NOT NULL,"
            " last_failure_time INTEGER NOT NULL, last_failure TEXT NOT NULL) WITHOUT ROWID;"
            "CREATE TABLE day_total(name TEXT NOT NULL, day INTEGER NOT NULL, files INTEGER NOT NULL,"
            " bytes INTEGER NOT NULL, PRIMARY KEY(name, day)) WITHOUT ROWID;"
            "CREATE INDEX day_total_by_day ON day_total(day);"
            "PRAGMA user_version=1;";
        ASSERT_EQ(db.Exec(szOld), "");
        const std::string insert =
            "INSERT INTO vehicle VALUES('OLD-1', " + std::to_string(tToday - 5 * kDay) + ", " +
            std::to_string(tToday + 1) + ", '10.0.0.1:1', 4, 12, 3400, 2, 200, " + std::to_string(tToday) +
            ", 0, 0, '');"
            "INSERT INTO day_total VALUES('OLD-1', " + std::to_string(tToday) + ", 2, 200);";
        ASSERT_EQ(db.Exec(insert), "");
    }
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        EXPECT_TRUE(Backups().empty());
        FleetRecord rec = Rec(history, "OLD-1", tToday + 2);
        EXPECT_EQ(rec.nVisits, 4u);
        EXPECT_EQ(rec.nBytesTotal, 3400u);
        EXPECT_EQ(rec.nFilesToday, 2u);
        EXPECT_EQ(rec.nMissedDropped, 0u);
        EXPECT_EQ(QueryInt("PRAGMA user_version"), 3);
        EXPECT_EQ(QueryInt("SELECT count(*) FROM channel_mark"), 0);
        EXPECT_EQ(QueryInt("SELECT count(*) FROM store_note"), 0);
        EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording"), 0);
        EXPECT_EQ(QueryInt("SELECT missed_dropped FROM vehicle WHERE name='OLD-1'"), 0);

        history.OnCompleteMark("OLD-1", 1, UpTo(tToday + 77));
        history.OnRecordingMissed("OLD-1", Missed(1, "a.mp4", tToday), tToday + 5);
    }
    CFleetHistory reopened(Db());
    ASSERT_EQ(reopened.Open(), 0);
    EXPECT_EQ(reopened.CompleteMark("OLD-1", 1).tUpTo, tToday + 77);
    ASSERT_EQ(reopened.MissedRecordings("OLD-1").size(), 1u);
    FleetRecord rec = Rec(reopened, "OLD-1", tToday + 2);
    EXPECT_EQ(rec.nBytesTotal, 3400u);
    EXPECT_TRUE(Backups().empty());
}

TEST_F(FleetHistoryIntegrationTest, MissedListIsBoundedAndCountsWhatItDrops)
{
    const std::uint32_t tToday = Today();
    constexpr std::uint32_t kMax = CFleetHistory::kMissedMax;
    auto file = [](std::uint32_t n) { return "r" + std::to_string(n) + ".mp4"; };
    CFleetHistory history(Db());
    ASSERT_EQ(history.Open(), 0);
    history.OnArrival("V", "10.0.0.1:1", tToday);
    // An old one made unfetchable, then a full list of left-behind ones after it.
    for (int nVisit = 0; nVisit < 3; ++nVisit) {
        history.OnArrival("V", "10.0.0.1:1", tToday + nVisit);
        history.OnRecordingMissed("V", Missed(1, file(0), tToday), tToday + nVisit);
    }
    for (std::uint32_t n = 1; n < kMax; ++n)
        history.OnRecordingLeftBehind("V", Missed(1, file(n), tToday + n), tToday + 10);
    EXPECT_EQ(history.MissedRecordings("V").size(), kMax);
    EXPECT_EQ(CountLogContaining("no longer listed"), 0u);

    // Newer misses push the oldest left-behind ones out, each with a log line.
    for (std::uint32_t n = kMax; n < 2 * kMax - 1; ++n)
        history.OnRecordingMissed("V", Missed(1, file(n), tToday + n), tToday + 20);
    std::vector<MissedRecording> list = history.MissedRecordings("V");
    ASSERT_EQ(list.size(), kMax);
    EXPECT_EQ(list[0].strFileName, file(0));
    EXPECT_EQ(list[0].eState, State::Unfetchable);
    EXPECT_EQ(list[1].strFileName, file(kMax));
    EXPECT_EQ(CountLogContaining("no longer listed"), kMax - 1);
    EXPECT_TRUE(LogHas("vehname=V, chan=1, left-behind recording r1.mp4 no longer listed: more than 1000 missed "
                       "recordings"));
    FleetRecord rec = Rec(history, "V", tToday);
    EXPECT_EQ(rec.nLeftBehind, 0u);
    EXPECT_EQ(rec.nMissedDropped, 0u);

    // Nothing left behind to drop: the oldest retrying one goes, counted, and the
    // unfetchable one stays.
    history.OnRecordingMissed("V", Missed(1, file(2 * kMax), tToday + 2 * kMax), tToday + 30);
    list = history.MissedRecordings("V");
    ASSERT_EQ(list.size(), kMax);
    EXPECT_EQ(list[0].strFileName, file(0));
    EXPECT_EQ(list[1].strFileName, file(kMax + 1));
    EXPECT_EQ(list.back().strFileName, file(2 * kMax));
    EXPECT_TRUE(LogHas("vehname=V, chan=1, retrying recording r1000.mp4 no longer listed: more than 1000 missed "
                       "recordings, 1 not listed"));
    rec = Rec(history, "V", tToday);
    EXPECT_EQ(rec.nMissedDropped, 1u);
    EXPECT_EQ(rec.nUnfetchable, 1u);
    history.Close();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording"), kMax);

    // The count survives, and a complete offload clears it.
    CFleetHistory reopened(Db());
    ASSERT_EQ(reopened.Open(), 0);
    rec = Rec(reopened, "V", tToday);
    EXPECT_EQ(rec.nMissedDropped, 1u);
    EXPECT_EQ(rec.nUnfetchable, 1u);
    reopened.OnCompleteOffload("V", tToday + 40);
    rec = Rec(reopened, "V", tToday);
    EXPECT_EQ(rec.nMissedDropped, 0u);
    reopened.Flush();
    EXPECT_EQ(QueryInt("SELECT missed_dropped FROM vehicle"), 0);
}

TEST_F(FleetHistoryIntegrationTest, MissedRecordingsKeptBeforeTheDatabaseIsReadMergeWithIt)
{
    const std::uint32_t tToday = Today();
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        history.OnArrival("V", "10.0.0.1:1", tToday);
        history.OnArrival("V", "10.0.0.1:1", tToday + 1);
        history.OnRecordingMissed("V", Missed(1, "p.mp4", tToday + 100), tToday + 1);
        history.OnArrival("V", "10.0.0.1:1", tToday + 2);
        history.OnRecordingMissed("V", Missed(1, "q.mp4", tToday + 200), tToday + 2);
        history.OnRecordingMissed("V", Missed(1, "r.mp4", tToday + 300), tToday + 2);
        history.OnRecordingMissed("V", Missed(1, "s.mp4", tToday + 400), tToday + 2);
        history.OnCompleteMark("V", 1, UpTo(tToday + 900));
    }
    // A process whose recorders ran before the database could be read.
    CFleetHistory history(Db());
    // Still the visit the database knows last: q counts no second visit.
    history.OnRecordingMissed("V", Missed(1, "q.mp4", tToday + 200), tToday + 10);
    history.OnArrival("V", "10.0.0.1:1", tToday + 20);
    // p: visits 2 and 4. r: 3 and 4. s: stored since.
    history.OnRecordingMissed("V", Missed(1, "p.mp4", tToday + 100), tToday + 21);
    history.OnRecordingMissed("V", Missed(1, "r.mp4", tToday + 300), tToday + 21);
    history.OnRecordingStored("V", 1, "s.mp4", tToday + 400);
    history.OnCompleteMark("V", 1, UpTo(tToday + 150));
    ASSERT_EQ(history.Open(), 0);

    std::vector<MissedRecording> list = history.MissedRecordings("V");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].strFileName, "p.mp4");
    EXPECT_EQ(list[0].nVisits, 2u);
    EXPECT_EQ(list[1].strFileName, "q.mp4");
    EXPECT_EQ(list[1].nVisits, 1u);
    EXPECT_EQ(list[1].tLastMissed, tToday + 10);
    EXPECT_EQ(list[2].strFileName, "r.mp4");
    EXPECT_EQ(list[2].nVisits, 2u);
    EXPECT_EQ(history.CompleteMark("V", 1).tUpTo, tToday + 150);
    FleetRecord rec = Rec(history, "V", tToday);
    EXPECT_EQ(rec.nVisits, 4u);

    // The merged visits go on from there.
    history.OnArrival("V", "10.0.0.1:1", tToday + 30);
    history.OnRecordingMissed("V", Missed(1, "p.mp4", tToday + 100), tToday + 31);
    EXPECT_EQ(FindMissed(history, "V", "p.mp4")->eState, State::Unfetchable);
    EXPECT_EQ(FindMissed(history, "V", "q.mp4")->eState, State::Retrying);
    history.Flush();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM missed_recording WHERE file_name='s.mp4'"), 0);
    EXPECT_EQ(QueryInt("SELECT visits FROM missed_recording WHERE file_name='p.mp4'"), 3);
    EXPECT_EQ(QueryInt("SELECT complete_up_to FROM channel_mark"), tToday + 150);
}

// A file of nBytes at path, with its directories.
void MakeFile(const std::string& path, std::size_t nBytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(nBytes, 'x');
}

TEST_F(FleetHistoryIntegrationTest, RecordingNotedBeforeItsNameIsCountedOnceWheneverTheProcessEnds)
{
    // The writer gathers for long: only the note's own write lets OnStoring return.
    Timing().nHistoryFlushMs = 60000;
    const std::uint32_t tToday = Today();
    const std::uint32_t tYesterday = tToday - kDay;
    const std::string renamed = At("store/V/a.mp4");    // noted, renamed, count never written
    const std::string unrenamed = At("store/V/b.mp4");  // noted, never renamed
    const std::string replaced = At("store/V/c.mp4");   // noted, another file of that name
    const std::string counted = At("store/V/d.mp4");    // noted, renamed and counted
    const std::string abandoned = At("store/V/e.mp4");  // noted, the rename failed
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        history.OnArrival("V", "10.0.0.1:1", tYesterday + 10);
        history.OnFileStored("V", 7, tYesterday + 20);
        history.OnStoring("V", renamed, 1000, tYesterday + 30);
        EXPECT_EQ(QueryInt("SELECT bytes FROM store_note WHERE path='" + At("store/V/a.mp4") + "'"), 1000);
        history.OnStoring("V", unrenamed, 2000, tYesterday + 40);
        history.OnStoring("V", replaced, 3000, tYesterday + 50);
        history.OnStoring("V", counted, 4000, tYesterday + 60);
        history.OnStoring("V", abandoned, 5000, tYesterday + 70);
        EXPECT_EQ(QueryInt("SELECT count(*) FROM store_note"), 5);
        history.OnFileStored("V", counted, 4000, tYesterday + 61);
        history.OnStoreAbandoned("V", abandoned);
        // Closing writes what a process ended at this point has written.
    }
    EXPECT_EQ(QueryInt("SELECT count(*) FROM store_note"), 3);
    EXPECT_EQ(QueryInt("SELECT files_total FROM vehicle"), 2);
    MakeFile(renamed, 1000);
    MakeFile(replaced, 10);
    MakeFile(counted, 4000);
    MakeFile(abandoned, 5000);

    auto expectCounts = [&](const CFleetHistory& history) {
        FleetRecord rec = Rec(history, "V", tToday);
        EXPECT_EQ(rec.nFilesTotal, 3u);
        EXPECT_EQ(rec.nBytesTotal, 5007u);
        // The visit the recording was noted in.
        EXPECT_EQ(rec.nFilesLastVisit, 3u);
        EXPECT_EQ(rec.nBytesLastVisit, 5007u);
        std::vector<FleetDayTotal> days = history.DayTotals("V");
        ASSERT_EQ(days.size(), 1u);
        EXPECT_EQ(days[0].tDay, tYesterday);
        EXPECT_EQ(days[0].nFiles, 3u);
        EXPECT_EQ(days[0].nBytes, 5007u);
    };
    {
        CFleetHistory restarted(Db());
        ASSERT_EQ(restarted.Open(), 0);
        expectCounts(restarted);
        EXPECT_EQ(CountLogContaining("fleet history: recording " + At("store/V/a.mp4") + ", stored as the last run ended, counted now"), 1u);
        EXPECT_EQ(CountLogContaining("counted now"), 1u);
        restarted.Flush();
        EXPECT_EQ(QueryInt("SELECT count(*) FROM store_note"), 0);
        EXPECT_EQ(QueryInt("SELECT files_total FROM vehicle"), 3);
    }
    CFleetHistory again(Db());
    ASSERT_EQ(again.Open(), 0);
    expectCounts(again);
    EXPECT_EQ(CountLogContaining("counted now"), 1u);
}

TEST_F(FleetHistoryIntegrationTest, RecordingCountedBeforeTheDatabaseIsReadIsNotCountedAgainByItsNote)
{
    const std::uint32_t tToday = Today();
    {
        CFleetHistory history(Db());
        ASSERT_EQ(history.Open(), 0);
        history.OnArrival("V", "10.0.0.1:1", tToday + 10);
        history.OnStoring("V", At("store/V/a.mp4"), 1000, tToday + 20);
        history.OnStoring("V", At("store/V/b.mp4"), 2000, tToday + 30);
    }
    MakeFile(At("store/V/a.mp4"), 1000);
    MakeFile(At("store/V/b.mp4"), 2000);
    CFleetHistory history(Db());
    // Not open: nothing could keep a note, so none is kept.
    history.OnStoring("V", At("store/V/c.mp4"), 3000, tToday + 35);
    history.OnFileStored("V", At("store/V/a.mp4"), 1000, tToday + 40);
    ASSERT_EQ(history.Open(), 0);
    FleetRecord rec = Rec(history, "V", tToday);
    EXPECT_EQ(rec.nFilesTotal, 2u);
    EXPECT_EQ(rec.nBytesTotal, 3000u);
    EXPECT_EQ(rec.nFilesToday, 2u);
    EXPECT_EQ(CountLogContaining("counted now"), 1u);
    history.Flush();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM store_note"), 0);
}

}  // namespace

TEST_F(FleetHistoryIntegrationTest, RunnerWritesBatchesAndANoteNeverWaitsForItsOtherTasks)
{
    Timing().nHistoryFlushMs = 10;
    const std::uint32_t tToday = Today();
    CFleetHistory history(Db());
    // The history has no thread of its own.
    const std::size_t nThreads = ThreadCount();
    ASSERT_EQ(history.Open(), 0);
    EXPECT_EQ(ThreadCount(), nThreads);

    // A task that takes as long as the test wants, like a long retention step.
    std::atomic<bool> bBlock {false};
    std::atomic<bool> bBlocked {false};
    CPeriodicRunner runner;
    history.AddTo(runner);
    runner.Add("long", &ZelTiming::nDiskCheckPeriodMs, [&] {
        while (bBlock) {
            bBlocked = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        bBlocked = false;
        return false;
    });
    Timing().nDiskCheckPeriodMs = 1;
    runner.Start();

    // Without a Flush the runner writes what is dirty.
    history.OnFileStored("V", 10, tToday);
    EXPECT_TRUE(WaitFor([&] { return QueryInt("SELECT bytes_total FROM vehicle WHERE name='V'") == 10; }));

    // While the runner is held up, a note is still in the database when OnStoring returns.
    bBlock = true;
    ASSERT_TRUE(WaitFor([&] { return bBlocked.load(); }));
    history.OnStoring("V", At("store/V/a.mp4"), 1000, tToday);
    EXPECT_EQ(QueryInt("SELECT bytes FROM store_note WHERE path='" + At("store/V/a.mp4") + "'"), 1000);
    history.OnFileStored("V", At("store/V/a.mp4"), 1000, tToday);
    EXPECT_TRUE(bBlocked);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM store_note"), 1);
    bBlock = false;
    // Released, the runner writes the count and the note's removal.
    EXPECT_TRUE(WaitFor([&] { return QueryInt("SELECT count(*) FROM store_note") == 0; }));
    EXPECT_EQ(QueryInt("SELECT bytes_total FROM vehicle WHERE name='V'"), 1010);
    runner.Stop();
}

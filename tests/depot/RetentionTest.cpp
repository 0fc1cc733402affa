#include "depot/Retention.h"

#include "core/PeriodicRunner.h"
#include "platform/Format.h"

#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

class RetentionTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        m_retention.SetClock([] { return WallClockFromFields(2024, 3, 10, 12, 0, 0); });
        m_retention.SetQuery([this](const std::string&) { return std::optional<std::uint64_t>(FreeNow()); });
    }

    // A file of nSize bytes under the sandbox's directory root, with its directories.
    std::string Put(const std::string& relPath, std::uint64_t nSize = 1, const std::string& root = "store")
    {
        std::string path = At(root + "/" + relPath);
        fs::create_directories(fs::path(path).parent_path());
        WriteFile(path, std::string(nSize, 'x'));
        m_sizes[path] = nSize;
        return path;
    }

    // Free space as the store would show it: the base, plus a MiB for every byte
    // of the files made by Put that are gone.
    std::uint64_t FreeNow() const
    {
        std::uint64_t nFree = m_nBaseFree;
        for (const auto& [path, nSize] : m_sizes)
            nFree += fs::exists(path) ? 0 : nSize * kMiB;
        return nFree;
    }

    std::map<std::string, std::uint64_t> m_sizes;
    std::uint64_t m_nBaseFree = 0;
    CRetention m_retention;
};

} // namespace

TEST_F(RetentionTest, AgeRuleDeletesOnlyOldFinishedRecordingsOfIdleVehicles)
{
    std::string oldest = Put("BUS1/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4");
    std::string boundary = Put("BUS3/02-03-2024/ch05/ch05_20240302100000_20240302101000.mp4");
    std::string old1 = Put("BUS1/08-03-2024/ch01/ch01_20240308235900_20240309000900.mp4");
    std::string old2 = Put("BUS1/08-03-2024/ch02/ch02_20240308100000_20240308101000.mp4");
    std::vector<std::string> kept = {
        Put("BUS1/10-03-2024/ch01/ch01_20240310080000_20240310081000.mp4"),
        Put("BUS1/09-03-2024/ch01/ch01_20240309000000_20240309001000.mp4"),
        Put("BUS1/01-03-2024/ch01/ch01_20240301110000_20240301111000.rec_1.0000001000.td"),
        Put("BUS1/01-03-2024/ch02/notes.txt"),
        Put("BUS1/01-03-2024/ch02/ch02_20240301100000_20240301101000.mp4.part"),
        Put("BUS1/01-03-2024/ch02/ch02_2024030110000_20240301101000.mp4"),
        Put("BUS1/01-03-2024/extra/ch01_20240301100000_20240301101000.mp4"),
        Put("BUS1/31-02-2024/ch01/ch01_20240302100000_20240302101000.mp4"),
        Put("BUS1/archive/ch01/ch01_20240301100000_20240301101000.mp4"),
        Put("BUS2/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4"),
        Put("03-03-2024/ch01/ch01_20240303100000_20240303101000.mp4", 1, "outside"),
    };
    // Links out of the store (a vehicle, a date, a recording) are not followed, and
    // a directory named like a recording is no recording.
    fs::create_directory_symlink(At("outside"), At("store/LINK"));
    fs::create_directory_symlink(At("outside/03-03-2024"), At("store/BUS1/03-03-2024"));
    fs::create_directories(At("store/BUS1/04-03-2024/ch01/ch01_20240304100000_20240304101000.mp4"));
    fs::create_symlink(fs::absolute(kept.back()), At("store/BUS1/04-03-2024/ch01/ch01_20240304100000_20240304101001.mp4"));

    int nBusyReads = 0;
    m_retention.SetBusyVehicles([&] {
        ++nBusyReads;
        return std::set<std::string> {"BUS2"};
    });
    EXPECT_EQ(m_retention.ApplyAge(At("store"), 0), 0);
    // Eight days back from 10-03 is 02-03: only what is dated before it goes.
    EXPECT_EQ(m_retention.ApplyAge(At("store"), 8), 1);
    EXPECT_TRUE(fs::exists(boundary));
    EXPECT_EQ(m_retention.ApplyAge(At("store"), 1), 3);
    EXPECT_EQ(nBusyReads, 2);

    for (const std::string& path : {oldest, boundary, old1, old2})
        EXPECT_FALSE(fs::exists(path)) << path;
    for (const std::string& path : kept)
        EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::is_symlink(At("store/BUS1/04-03-2024/ch01/ch01_20240304100000_20240304101001.mp4")));
    EXPECT_TRUE(fs::is_directory(At("store/BUS1/04-03-2024/ch01/ch01_20240304100000_20240304101000.mp4")));
    // Emptied channel and date directories go, the vehicle's stays.
    EXPECT_FALSE(fs::exists(At("store/BUS1/08-03-2024")));
    EXPECT_TRUE(fs::is_directory(At("store/BUS3")) && fs::is_empty(At("store/BUS3")));
    EXPECT_TRUE(fs::is_directory(At("store/BUS1/01-03-2024/ch01")));

    std::vector<std::string> logged = ReadLogMessages();
    ASSERT_EQ(logged.size(), 4u);
    std::sort(logged.begin() + 1, logged.end());
    EXPECT_EQ(logged, (std::vector<std::string> {"Retention: deleted " + oldest + ", older than 8 days",
                                                 "Retention: deleted " + old1 + ", older than 1 days",
                                                 "Retention: deleted " + old2 + ", older than 1 days",
                                                 "Retention: deleted " + boundary + ", older than 1 days"}));
}

TEST_F(RetentionTest, EachDeletionOfEitherRuleIsToldByItsPathBelowTheRoot)
{
    const std::string aged = "BUS1/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4";
    const std::string spaced = "BUS2/09-03-2024/ch02/ch02_20240309100000_20240309101000.mp4";
    Put(aged);
    Put(spaced, 4);
    Put("BUS2/10-03-2024/ch02/ch02_20240310100000_20240310101000.mp4");
    std::vector<std::string> told;
    m_retention.SetOnDeleted([&](const std::string& relPath) { told.push_back(relPath); });
    // A root given with a trailing slash tells the same paths.
    EXPECT_EQ(m_retention.ApplyAge(At("store") + "/", 3), 1);
    EXPECT_EQ(told, std::vector<std::string> {aged});
    // 1 MiB free (the aged file's) is below a 4 MiB floor until the oldest goes.
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 4), 1);
    EXPECT_EQ(told, (std::vector<std::string> {aged, spaced}));
}

TEST_F(RetentionTest, SpaceRuleDeletesOldestFirstUntilTenPercentAboveTheFloor)
{
    // Floor 10 MiB: deletion goes on until 11 MiB are free.
    m_nBaseFree = 5 * kMiB;
    std::string a = Put("BUS2/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4", 2);
    std::string b = Put("BUS1/01-03-2024/ch02/ch02_20240301120000_20240301121000.mp4", 1);
    std::string c = Put("BUS1/02-03-2024/ch01/ch01_20240302080000_20240302081000.mp4", 2);
    // Filed under a later date, but its name says it is older than e.
    std::string d = Put("BUS1/09-03-2024/ch01/ch01_20240304080000_20240304081000.mp4", 2);
    std::string e = Put("BUS1/05-03-2024/ch01/ch01_20240305080000_20240305081000.mp4", 1);
    std::string td = Put("BUS1/01-03-2024/ch02/ch02_20240228080000_20240228081000.rec.0000000100.td", 9);
    std::string busy = Put("BUS9/01-01-2024/ch01/ch01_20240101080000_20240101081000.mp4", 9);
    m_retention.SetBusyVehicles([] { return std::set<std::string> {"BUS9"}; });
    int nQueries = 0;
    m_retention.SetQuery([&](const std::string& path) {
        EXPECT_EQ(path, At("store"));
        // After the first deletion something else removes b: the sweep goes on.
        if (++nQueries == 2)
            fs::remove(b);
        return std::optional<std::uint64_t>(FreeNow());
    });

    EXPECT_EQ(m_retention.ApplySpace(At("store"), 0), 0);
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 10), 3);
    for (const std::string& path : {e, td, busy})
        EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_FALSE(fs::exists(At("store/BUS2/01-03-2024")));
    EXPECT_EQ(ReadLogMessages(), (std::vector<std::string> {"Retention: deleted " + a + ", free space below 10 MiB",
                                                           "Retention: deleted " + c + ", free space below 10 MiB",
                                                           "Retention: deleted " + d + ", free space below 10 MiB"}));
    // 12 MiB free now: nothing to do.
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 10), 0);
    EXPECT_EQ(nQueries, 5);
}

TEST_F(RetentionTest, UnreachableFloorIsReportedOnceUntilSpaceRecovers)
{
    std::string a = Put("BUS1/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4");
    m_retention.SetQuery([](const std::string&) { return std::optional<std::uint64_t>(); });
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 100), 0);  // no figure: the rule is skipped
    EXPECT_TRUE(fs::exists(a));

    m_retention.SetQuery([this](const std::string&) { return std::optional<std::uint64_t>(FreeNow()); });
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 100), 1);
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 100), 0);
    m_nBaseFree = 200 * kMiB;
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 100), 0);
    m_nBaseFree = 0;
    EXPECT_EQ(m_retention.ApplySpace(At("store"), 100), 0);
    const std::string noneLeft = "Retention: free space below 100 MiB and no recording left to delete";
    EXPECT_EQ(ReadLogMessages(),
              (std::vector<std::string> {"Retention: deleted " + a + ", free space below 100 MiB", noneLeft, noneLeft}));
}

TEST_F(RetentionTest, RunnerSweepsAtStartAndEveryPeriodAndStops)
{
    Timing().nRetentionAgeMs = 10;
    Timing().nRetentionSpaceMs = 10;
    std::atomic<int> nQueries {0};
    m_retention.SetQuery([&](const std::string&) {
        ++nQueries;
        return std::optional<std::uint64_t>(1024 * kMiB);
    });
    CPeriodicRunner runner;
    m_retention.AddTo(runner);
    std::string first = Put("BUS1/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4");
    m_retention.Start(At("store"), 1, 5);
    runner.Start();
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(first); }));
    std::string second = Put("BUS1/02-03-2024/ch01/ch01_20240302100000_20240302101000.mp4");
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(second) && nQueries >= 3; }));

    // Started again while the runner runs, the rules take the new values.
    std::string other = Put("BUS1/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4", 1, "other");
    m_retention.Start(At("other"), 1, 0);
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(other); }));
    // Stopped, the rules do nothing although the runner goes on.
    m_retention.Stop();
    m_retention.Stop();
    const int nQueriesAtStop = nQueries;
    // Another vehicle's: the stopped step may still be removing BUS1's empty directories.
    std::string kept = Put("BUS2/01-03-2024/ch01/ch01_20240301100000_20240301101000.mp4", 1, "other");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_EQ(nQueries, nQueriesAtStop);
    runner.Stop();

    // With periods of an hour the runner sits in its wait after the first sweep,
    // which its Stop must end.
    Timing().nRetentionAgeMs = 3600000;
    Timing().nRetentionSpaceMs = 3600000;
    std::string third = Put("BUS1/03-03-2024/ch01/ch01_20240303100000_20240303101000.mp4");
    m_retention.Start(At("store"), 1, 5);
    runner.Start();
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(third); }));
    runner.Stop();
}

TEST_F(RetentionTest, LongSweepsGoInStepsThatStopEndsAndBusyVehiclesKeepTheirFiles)
{
    const std::size_t nStep = CRetention::kDeletionsPerStep;
    std::vector<std::string> bus1;
    std::vector<std::string> bus2;
    for (std::size_t i = 0; i < 2 * nStep; ++i) {
        std::string time = Format("20240301%02zu0000", i);
        bus1.push_back(Put("BUS1/01-03-2024/ch01/ch01_" + time + "_" + time + ".mp4"));
        bus2.push_back(Put("BUS2/01-03-2024/ch01/ch01_" + time + "_" + time + ".mp4"));
    }
    auto remaining = [](const std::vector<std::string>& paths) {
        return std::count_if(paths.begin(), paths.end(), [](const std::string& path) { return fs::exists(path); });
    };
    std::set<std::string> busy;
    m_retention.SetBusyVehicles([&] { return busy; });
    std::atomic<int> nQueries {0};
    m_retention.SetQuery([&](const std::string&) {
        ++nQueries;
        return std::optional<std::uint64_t>(FreeNow());
    });
    m_retention.Start(At("store"), 1, 1000);

    // BUS1's files go first (the walk is in name order), one step's worth at a time;
    // the space rule waits meanwhile.
    EXPECT_TRUE(m_retention.StepAge());
    EXPECT_EQ(remaining(bus1), static_cast<long>(nStep));
    EXPECT_TRUE(m_retention.StepSpace());
    EXPECT_EQ(nQueries, 0);
    // BUS2 starts downloading within the sweep: its files stay.
    busy = {"BUS2"};
    EXPECT_TRUE(m_retention.StepAge());
    EXPECT_EQ(remaining(bus1), 0);
    // A file passed over counts toward the step as a deleted one does.
    EXPECT_TRUE(m_retention.StepAge());
    EXPECT_FALSE(m_retention.StepAge());
    EXPECT_EQ(remaining(bus2), static_cast<long>(2 * nStep));

    // Stop ends the next sweep before it deletes anything, until the next Start.
    busy.clear();
    m_retention.Stop();
    EXPECT_FALSE(m_retention.StepAge());
    EXPECT_FALSE(m_retention.StepSpace());
    EXPECT_EQ(remaining(bus2), static_cast<long>(2 * nStep));
    EXPECT_EQ(nQueries, 0);

    // The space rule in steps too: free space stays low (the base is 0 and each
    // file frees a MiB), so it deletes a step's worth per run until the list ends.
    m_retention.Start(At("store"), 0, 1000);
    EXPECT_TRUE(m_retention.StepSpace());
    EXPECT_EQ(remaining(bus2), static_cast<long>(nStep));
    EXPECT_FALSE(m_retention.StepSpace());
    EXPECT_EQ(remaining(bus2), 0);
    EXPECT_TRUE(LogHas("Retention: free space below 1000 MiB and no recording left to delete"));
}

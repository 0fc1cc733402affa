#include "core/PeriodicRunner.h"

#include "platform/System.h"
#include "platform/Timing.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kHourMs = 3600000;

// What the tasks did, in order, from any thread.
class Journal {
public:
    void Note(const std::string& what)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_entries.push_back({what, MonotonicMs()});
    }
    std::vector<std::string> Names() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<std::string> names;
        for (const auto& entry : m_entries)
            names.push_back(entry.first);
        return names;
    }
    std::vector<std::int64_t> Times(const std::string& what) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<std::int64_t> times;
        for (const auto& entry : m_entries) {
            if (entry.first == what)
                times.push_back(entry.second);
        }
        return times;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::pair<std::string, std::int64_t>> m_entries;
};

using PeriodicRunnerIntegrationTest = Sandbox;

} // namespace

TEST_F(PeriodicRunnerIntegrationTest, TasksRunAtStartInTheirOrderThenEachAfterItsOwnPeriod)
{
    Timing().nDiskCheckPeriodMs = 20;
    Timing().nRetentionAgeMs = kHourMs;
    Timing().nHistoryFlushMs = 35;
    Journal journal;
    CPeriodicRunner runner;
    ASSERT_TRUE(runner.Add("fast", &ZelTiming::nDiskCheckPeriodMs, [&] {
        journal.Note("fast");
        return false;
    }));
    ASSERT_TRUE(runner.Add("hourly", &ZelTiming::nRetentionAgeMs, [&] {
        journal.Note("hourly");
        return false;
    }));
    ASSERT_TRUE(runner.Add("medium", &ZelTiming::nHistoryFlushMs, [&] {
        journal.Note("medium");
        return false;
    }));
    ASSERT_TRUE(runner.Start());
    EXPECT_FALSE(runner.Add("late", &ZelTiming::nDiskCheckPeriodMs, [] { return false; }));
    EXPECT_TRUE(WaitFor([&] { return journal.Times("fast").size() >= 6 && journal.Times("medium").size() >= 3; }));
    runner.Stop();

    std::vector<std::string> names = journal.Names();
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
              (std::vector<std::string> {"fast", "hourly", "medium"}));
    EXPECT_EQ(journal.Times("hourly").size(), 1u);
    // A task's next run is its period after its run ended, never sooner.
    for (const auto& [name, nPeriod] : {std::pair<std::string, int> {"fast", 20}, {"medium", 35}}) {
        std::vector<std::int64_t> times = journal.Times(name);
        for (std::size_t i = 1; i < times.size(); ++i)
            EXPECT_GE(times[i] - times[i - 1], nPeriod) << name << " run " << i;
    }
    // Nothing runs after Stop.
    const std::size_t nAfterStop = journal.Names().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(journal.Names().size(), nAfterStop);
}

TEST_F(PeriodicRunnerIntegrationTest, TaskWithMoreToDoLetsTheOtherDueTasksRunBetweenItsSteps)
{
    Timing().nRetentionAgeMs = kHourMs;
    Timing().nRetentionSpaceMs = kHourMs;
    Timing().nDiskCheckPeriodMs = kHourMs;
    Journal journal;
    int nSteps = 0;
    CPeriodicRunner runner;
    runner.Add("long", &ZelTiming::nRetentionAgeMs, [&] {
        journal.Note("long");
        return ++nSteps < 4;
    });
    runner.Add("a", &ZelTiming::nRetentionSpaceMs, [&] {
        journal.Note("a");
        return false;
    });
    runner.Add("b", &ZelTiming::nDiskCheckPeriodMs, [&] {
        journal.Note("b");
        return false;
    });
    runner.Start();
    EXPECT_TRUE(WaitFor([&] { return journal.Names().size() >= 6; }));
    runner.Stop();
    EXPECT_EQ(journal.Names(), (std::vector<std::string> {"long", "a", "b", "long", "long", "long"}));
}

TEST_F(PeriodicRunnerIntegrationTest, StopEndsAPendingHourlyWaitAndATwiceStopIsHarmless)
{
    Timing().nRetentionAgeMs = kHourMs;
    std::atomic<int> nRuns {0};
    CPeriodicRunner runner;
    runner.Add("hourly", &ZelTiming::nRetentionAgeMs, [&] {
        ++nRuns;
        return false;
    });
    runner.Start();
    ASSERT_TRUE(WaitFor([&] { return nRuns == 1; }));
    // The thread now waits an hour for the next run; Stop must not.
    runner.Stop();
    runner.Stop();
    EXPECT_EQ(nRuns, 1);

    // Started again, every task runs at once again.
    runner.Start();
    EXPECT_TRUE(WaitFor([&] { return nRuns == 2; }));
    runner.Stop();
}

TEST_F(PeriodicRunnerIntegrationTest, StoppersFromTwoThreadsBothReturnOnlyOnceTheThreadIsGone)
{
    Timing().nDiskCheckPeriodMs = 1;
    std::atomic<bool> bInRun {false};
    std::atomic<int> nRuns {0};
    CPeriodicRunner runner;
    runner.Add("slow", &ZelTiming::nDiskCheckPeriodMs, [&] {
        bInRun = true;
        ++nRuns;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bInRun = false;
        return false;
    });
    runner.Start();
    ASSERT_TRUE(WaitFor([&] { return bInRun.load(); }));
    std::atomic<int> nSeenRunning {0};
    auto stop = [&] {
        runner.Stop();
        if (bInRun)
            ++nSeenRunning;
    };
    std::thread other(stop);
    stop();
    other.join();
    EXPECT_EQ(nSeenRunning, 0);
    const int nRunsAtStop = nRuns;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(nRuns, nRunsAtStop);
}

TEST_F(PeriodicRunnerIntegrationTest, StopFromATaskEndsTheThreadWithoutWaitingForItself)
{
    Timing().nDiskCheckPeriodMs = 5;
    std::atomic<int> nRuns {0};
    std::atomic<bool> bOnRunner {false};
    std::atomic<bool> bStartRefused {false};
    std::atomic<bool> bStopReturned {false};
    CPeriodicRunner runner;
    runner.Add("stopper", &ZelTiming::nDiskCheckPeriodMs, [&] {
        if (++nRuns == 1) {
            bOnRunner = runner.IsRunnerThread();
            bStartRefused = !runner.Start();
            runner.Stop();
            bStopReturned = true;
        }
        return false;
    });
    runner.Start();
    ASSERT_TRUE(WaitFor([&] { return bStopReturned.load(); }));
    EXPECT_TRUE(bOnRunner);
    EXPECT_TRUE(bStartRefused);
    EXPECT_FALSE(runner.IsRunnerThread());
    // Told to end, the thread runs no more, although the period is short.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(nRuns, 1);

    // The next Start waits for that thread and starts a new one.
    ASSERT_TRUE(runner.Start());
    EXPECT_TRUE(WaitFor([&] { return nRuns >= 3; }));
    runner.Stop();
}

TEST_F(PeriodicRunnerIntegrationTest, ThrowingTaskIsLoggedOnceAndNeitherItNorTheOthersStop)
{
    Timing().nDiskCheckPeriodMs = 2;
    Timing().nHistoryFlushMs = 2;
    std::atomic<int> nThrows {0};
    std::atomic<int> nOthers {0};
    CPeriodicRunner runner;
    runner.Add("faulty", &ZelTiming::nDiskCheckPeriodMs, [&]() -> bool {
        ++nThrows;
        throw std::runtime_error("boom");
    });
    runner.Add("other", &ZelTiming::nHistoryFlushMs, [&] {
        ++nOthers;
        return false;
    });
    runner.Start();
    EXPECT_TRUE(WaitFor([&] { return nThrows >= 5 && nOthers >= 5; }));
    runner.Stop();
    std::vector<std::string> messages = ReadLogMessages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "periodic task faulty failed: boom"), 1);
}

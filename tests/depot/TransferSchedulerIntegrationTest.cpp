#include "depot/TransferScheduler.h"
#include "depot/TransferSlot.h"

#include "platform/Event.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// One Acquire on its own thread; nResult: -1 still waiting, 0 quit, 1 granted.
struct PendingAcquire {
    std::atomic<int> nResult {-1};
    std::jthread thread;

    PendingAcquire(CTransferScheduler& scheduler, std::uint32_t tStart, CEvent& quit)
        : thread([this, &scheduler, tStart, &quit] { nResult = scheduler.Acquire(tStart, quit) ? 1 : 0; })
    {
    }
};

// Queues one waiter per start, each on its own thread and in this order, behind the
// slots held now; then runs beforeRelease, frees one slot and returns the order of the
// grants. Each waiter frees its slot at once: one grant after the other.
std::vector<int> GrantOrder(CTransferScheduler& scheduler, const std::vector<std::uint32_t>& starts,
                            const std::vector<bool>& requested, const std::function<void()>& beforeRelease = {})
{
    CEvent quit(CEvent::Mode::ManualReset);
    std::mutex lock;
    std::vector<int> granted;
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        threads.emplace_back([&, i] {
            if (!scheduler.Acquire(starts[i], quit, requested[i]))
                return;
            {
                std::lock_guard guard(lock);
                granted.push_back(static_cast<int>(i));
            }
            scheduler.Release();
        });
        EXPECT_TRUE(WaitFor([&] { return scheduler.Queued() == static_cast<std::uint32_t>(i + 1); })) << i;
    }
    if (beforeRelease)
        beforeRelease();
    scheduler.Release();
    for (auto& thread : threads)
        thread.join();
    return granted;
}

} // namespace

TEST(TransferSchedulerTest, LimitHoldsUnderLoad)
{
    CTransferScheduler scheduler;
    scheduler.SetLimit(2);
    CEvent quit(CEvent::Mode::ManualReset);
    std::atomic<int> nHolding {0}, nOverLimit {0}, nGrants {0};
    std::vector<std::jthread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
            for (int nRound = 0; nRound < 20; ++nRound) {
                CTransferSlot slot(scheduler, static_cast<std::uint32_t>((i * 7 + nRound) % 5), quit);
                nGrants += slot.Held() ? 1 : 0;
                nOverLimit += ++nHolding > 2 ? 1 : 0;
                std::this_thread::yield();
                --nHolding;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(nGrants, 16 * 20);
    EXPECT_EQ(nOverLimit, 0);
    EXPECT_LE(scheduler.PeakActive(), 2u);
    EXPECT_EQ(scheduler.Active(), 0u);
    EXPECT_EQ(scheduler.Queued(), 0u);
}

TEST(TransferSchedulerTest, FreedSlotGoesToEarliestRecordingThenToEarliestArrival)
{
    CTransferScheduler scheduler;
    scheduler.SetLimit(2);
    CEvent quit(CEvent::Mode::ManualReset);
    ASSERT_TRUE(scheduler.Acquire(1, quit));
    ASSERT_TRUE(scheduler.Acquire(1, quit));

    // A waiter that quit leaves the queue, though its start is the earliest.
    const std::vector<int> granted =
        GrantOrder(scheduler, {500, 100, 300, 100, 200, 100}, std::vector<bool>(6, false), [&] {
            CEvent lateQuit(CEvent::Mode::ManualReset);
            PendingAcquire late(scheduler, 0, lateQuit);
            ASSERT_TRUE(WaitFor([&] { return scheduler.Queued() == 7u; }));
            lateQuit.Set();
        });
    EXPECT_EQ(granted, (std::vector<int> {1, 3, 5, 4, 2, 0}));
    EXPECT_EQ(scheduler.PeakActive(), 2u);
    EXPECT_EQ(scheduler.Active(), 1u);
}

TEST(TransferSchedulerTest, RequestedTransfersGetFreedSlotsBeforeOlderUnrequestedOnes)
{
    CTransferScheduler scheduler;
    scheduler.SetLimit(1);
    CEvent quit(CEvent::Mode::ManualReset);
    ASSERT_TRUE(scheduler.Acquire(1, quit));

    // Unrequested waiters with the oldest starts, requested ones with later starts,
    // queued in mixed order.
    const std::vector<int> granted =
        GrantOrder(scheduler, {100, 900, 50, 800, 700}, {false, true, false, true, true});
    // Requested first, oldest start first among them; then the others.
    EXPECT_EQ(granted, (std::vector<int> {4, 3, 1, 2, 0}));
    EXPECT_EQ(scheduler.Active(), 0u);
    // With a slot free and nobody waiting, a requested transfer is granted at once too.
    EXPECT_TRUE(scheduler.Acquire(5, quit, true));
}

TEST(TransferSchedulerTest, QuitEndsTheWaitHoldingNothingAndNeverLosesASlot)
{
    CTransferScheduler scheduler;
    scheduler.SetLimit(1);
    CEvent never(CEvent::Mode::ManualReset);
    CEvent quitNow(CEvent::Mode::ManualReset, true);
    // A quit set before the call wins over a free slot.
    EXPECT_FALSE(CTransferSlot(scheduler, 5, quitNow).Held());
    EXPECT_EQ(scheduler.Active(), 0u);

    for (int nRound = 0; nRound < 200; ++nRound) {
        CEvent quit(CEvent::Mode::ManualReset);
        ASSERT_TRUE(scheduler.Acquire(1, never));
        PendingAcquire quitter(scheduler, 2, quit);
        ASSERT_TRUE(WaitFor([&] { return scheduler.Queued() == 1u; }));
        PendingAcquire patient(scheduler, 3, never);
        ASSERT_TRUE(WaitFor([&] { return scheduler.Queued() == 2u; }));
        if (nRound == 0) {
            // Plain quit: the waiter leaves the queue and frees nothing.
            quit.Set();
            quitter.thread.join();
            EXPECT_EQ(quitter.nResult, 0);
            EXPECT_EQ(scheduler.Active(), 1u);
            EXPECT_EQ(scheduler.Queued(), 1u);
            scheduler.Release();
        } else {
            // Quit racing the grant: whoever wins, the slot reaches the task left.
            std::jthread setter([&] { quit.Set(); });
            scheduler.Release();
            setter.join();
            quitter.thread.join();
            if (quitter.nResult == 1)
                scheduler.Release();
        }
        patient.thread.join();
        ASSERT_EQ(patient.nResult, 1);
        scheduler.Release();
        ASSERT_EQ(scheduler.Active(), 0u);
        ASSERT_EQ(scheduler.Queued(), 0u);
    }
    EXPECT_EQ(scheduler.PeakActive(), 1u);
}

TEST(TransferSchedulerTest, LimitChangesAndNoLimit)
{
    CTransferScheduler scheduler;
    CEvent quit(CEvent::Mode::ManualReset);
    scheduler.SetLimit(1);
    ASSERT_TRUE(scheduler.Acquire(1, quit));
    std::vector<std::unique_ptr<PendingAcquire>> waiters;
    for (std::uint32_t i = 0; i < 4; ++i) {
        waiters.push_back(std::make_unique<PendingAcquire>(scheduler, 10 + i, quit));
        ASSERT_TRUE(WaitFor([&] { return scheduler.Queued() == i + 1; }));
    }
    scheduler.SetLimit(3);
    ASSERT_TRUE(WaitFor([&] { return waiters[0]->nResult == 1 && waiters[1]->nResult == 1; }));
    EXPECT_EQ(scheduler.Active(), 3u);
    EXPECT_EQ(scheduler.Queued(), 2u);

    // No limit: the rest at once, and every request after; all still counted.
    scheduler.SetLimit(0);
    ASSERT_TRUE(WaitFor([&] { return waiters[2]->nResult == 1 && waiters[3]->nResult == 1; }));
    ASSERT_TRUE(scheduler.Acquire(99, quit));
    EXPECT_EQ(scheduler.Active(), 6u);
    EXPECT_EQ(scheduler.PeakActive(), 6u);

    // Lowered below what is held: nothing is taken back; a new request waits until
    // fewer than the limit are held.
    scheduler.SetLimit(2);
    PendingAcquire late(scheduler, 5, quit);
    ASSERT_TRUE(WaitFor([&] { return scheduler.Queued() == 1u; }));
    for (int i = 0; i < 4; ++i)
        scheduler.Release();
    EXPECT_EQ(late.nResult, -1);
    scheduler.Release();
    ASSERT_TRUE(WaitFor([&] { return late.nResult == 1; }));
    EXPECT_EQ(scheduler.Active(), 2u);
    scheduler.ResetPeak();
    EXPECT_EQ(scheduler.PeakActive(), 2u);

    // A spare release cannot make room for one transfer too many later.
    for (int i = 0; i < 3; ++i)
        scheduler.Release();
    EXPECT_EQ(scheduler.Active(), 0u);
    scheduler.SetLimit(0);
    quit.Set();
    EXPECT_FALSE(scheduler.Acquire(1, quit));
    EXPECT_EQ(scheduler.Active(), 0u);
}

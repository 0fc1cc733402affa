#include "core/NotifyCenter.h"

#include "support/RecordingObserver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// An observer whose delivery waits until the center stops, like a window whose
// thread is the one calling Stop.
class BlockingObserver : public INotifyObserver {
public:
    void OnNotifyEvent(std::uint32_t, const void*) override
    {
        std::unique_lock guard(m_lock);
        m_bEntered = true;
        m_changed.notify_all();
        m_changed.wait(guard, [&] { return m_bStopping; });
    }
    void OnNotifyStopping() override
    {
        std::lock_guard guard(m_lock);
        m_bStopping = true;
        m_changed.notify_all();
    }
    bool WaitEntered()
    {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::seconds(5), [&] { return m_bEntered; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_bEntered = false;
    bool m_bStopping = false;
};

void PostText(CNotifyCenter& center, std::uint32_t nSender, const std::string& text)
{
    char szBuf[1024] = {};
    text.copy(szBuf, sizeof(szBuf) - 1);
    center.Post(nSender, NOTIFY_LOG, szBuf, sizeof(szBuf));
}

} // namespace

TEST(NotifyCenterTest, EventsArriveInPostingOrderFromEachThread)
{
    RecordingObserver observer;  // observers outlive the center
    CNotifyCenter center;
    center.Register(&observer);
    const int nThreads = 4;
    const int nEach = 200;
    std::vector<std::jthread> posters;
    for (int t = 0; t < nThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < nEach; ++i) {
                VehicleEvent ev = MakeVehicleEvent(("V" + std::to_string(t)).c_str(), static_cast<std::uint32_t>(i));
                center.Post(0, NOTIFY_SPEED, &ev, sizeof(ev));
            }
        });
    }
    for (auto& poster : posters)
        poster.join();
    ASSERT_TRUE(observer.WaitFor(nThreads * nEach));
    std::vector<std::uint32_t> next(nThreads, 0);
    for (const auto& item : observer.Items()) {
        int t = item.vehicle.szName[1] - '0';
        EXPECT_EQ(item.vehicle.nValue, next[t]++);
        EXPECT_EQ(item.nKind, NOTIFY_SPEED);
    }
}

TEST(NotifyCenterTest, SenderIsSkippedPayloadIsCutOrPaddedAndNothingArrivesAfterStop)
{
    RecordingObserver first;  // observers outlive the center
    RecordingObserver second;
    CNotifyCenter center;
    std::uint32_t nFirst = center.Register(&first);
    std::uint32_t nSecond = center.Register(&second);
    EXPECT_NE(nFirst, 0u);
    EXPECT_NE(nFirst, nSecond);
    PostText(center, nFirst, "from first");
    std::string huge(5000, 'h');
    center.Post(0, NOTIFY_LOG, huge.data(), huge.size());
    VehicleEvent ev = MakeVehicleEvent("a-vehicle-name-longer-than-thirty-one-chars", 77);
    center.Post(0, NOTIFY_PROGRESS, &ev, sizeof(ev));
    ASSERT_TRUE(second.WaitFor(3));
    ASSERT_TRUE(first.WaitFor(2));
    auto items = first.Items();
    EXPECT_EQ(items[0].text.substr(0, 1024), std::string(1024, 'h'));
    EXPECT_EQ(std::string(items[1].vehicle.szName), "a-vehicle-name-longer-than-thir");
    EXPECT_EQ(items[1].vehicle.nValue, 77u);
    EXPECT_EQ(second.Items()[0].text, "from first");

    center.Stop();
    for (int i = 0; i < 10; ++i)
        PostText(center, 0, "after");
    EXPECT_FALSE(first.WaitFor(3, std::chrono::milliseconds(200)));
    EXPECT_EQ(first.Items().size(), 2u);
    EXPECT_EQ(second.Items().size(), 3u);
    center.Stop();  // a second stop is harmless
}

TEST(NotifyCenterTest, StopReturnsWhileDeliveryWaitsForTheStoppingThread)
{
    BlockingObserver blocker;
    RecordingObserver later;
    CNotifyCenter center;
    center.Register(&blocker);
    center.Register(&later);
    PostText(center, 0, "blocks");
    PostText(center, 0, "never delivered");
    ASSERT_TRUE(blocker.WaitEntered());
    center.Stop();  // would hang for ever if Stop did not release the blocked delivery
    EXPECT_TRUE(later.Items().empty());
}

TEST(NotifyCenterTest, AnUnregisteredObserverGetsNothingMoreWhileTheOthersGoOn)
{
    RecordingObserver gone;  // observers outlive the center
    RecordingObserver stays;
    BlockingObserver blocker;
    CNotifyCenter center;
    center.Register(&gone);
    center.Register(&blocker);
    const std::uint32_t nStays = center.Register(&stays);
    PostText(center, 0, "first");
    ASSERT_TRUE(blocker.WaitEntered());
    ASSERT_TRUE(gone.WaitFor(1));

    // A delivery waiting for this thread is released, and the handles of the others
    // stay as they were: a post from "stays" still skips it.
    center.Unregister(&blocker);
    center.Unregister(&gone);
    PostText(center, nStays, "not to stays");
    PostText(center, 0, "second");
    ASSERT_TRUE(stays.WaitFor(2));
    const auto items = stays.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].text, "first");
    EXPECT_EQ(items[1].text, "second");
    EXPECT_EQ(gone.Items().size(), 1u);
    center.Stop();
}

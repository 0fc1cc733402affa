#include "vehicles/VehicleMgr.h"

#include "platform/Timing.h"
#include "shell/NotifyCenter.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace {

VehicleInfo Info(const char* szName, std::uint8_t nChannels = 1)
{
    VehicleInfo info;
    std::strcpy(info.szIP, "127.0.0.1");
    info.nPort = 9;
    info.nChannels = nChannels;
    std::strcpy(info.szName, szName);
    return info;
}

class VehicleMgrTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        m_center.Register(&m_observer);
        m_registry.SetClock([this] { return m_nNow.load(); });
    }

    void AddVehicle(const char* szName)
    {
        EXPECT_EQ(m_registry.Find(szName), nullptr);
        EXPECT_NE(m_registry.Add(Info(szName)), nullptr);
        m_registry.Release();
    }

    // The events posted so far (after the delivery thread has caught up with n).
    std::vector<RecordingObserver::Item> Events(std::size_t n)
    {
        EXPECT_TRUE(m_observer.WaitFor(n));
        return m_observer.Items();
    }

    RecordingObserver m_observer;
    CNotifyCenter m_center;
    std::atomic<std::uint32_t> m_nNow {1000};
    CVehicleMgr m_registry {&m_center};
};

} // namespace

TEST_F(VehicleMgrTest, FreshAtTwentySecondsExpiredAtTwentyOneRemovedBeforeItsEvent)
{
    AddVehicle("OLD");  // created at 1000
    m_nNow = 1005;
    AddVehicle("NEW");
    m_registry.OnTimer(1020);  // OLD is exactly 20 s old
    auto events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].nKind, NOTIFY_SPEED);
    EXPECT_STREQ(events[0].vehicle.szName, "NEW");
    EXPECT_EQ(events[1].nKind, NOTIFY_SPEED);
    EXPECT_STREQ(events[1].vehicle.szName, "OLD");
    EXPECT_EQ(events[1].vehicle.nValue, 0u);

    m_registry.OnTimer(1021);
    events = Events(4);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].nKind, NOTIFY_SPEED);
    EXPECT_STREQ(events[2].vehicle.szName, "NEW");
    EXPECT_EQ(events[3].nKind, NOTIFY_VEHICLE);
    EXPECT_STREQ(events[3].vehicle.szName, "OLD");
    EXPECT_EQ(events[3].vehicle.nValue, 0u);
    std::vector<std::string> names;
    m_registry.GetNames(names);
    EXPECT_EQ(names, std::vector<std::string> {"NEW"});

    // A keepalive keeps a vehicle fresh.
    CVehicle* pNew = m_registry.Find("NEW");
    ASSERT_NE(pNew, nullptr);
    pNew->SetLastKeepalive(1030);
    m_registry.Release();
    m_registry.OnTimer(1050);
    m_registry.GetNames(names);
    EXPECT_EQ(names, std::vector<std::string> {"NEW"});
}

TEST_F(VehicleMgrTest, RemoveAllPostsInNameOrderAndEmptiesTable)
{
    AddVehicle("charlie");
    AddVehicle("Alpha");
    AddVehicle("bravo");
    m_registry.RemoveAll();
    auto events = Events(3);
    ASSERT_EQ(events.size(), 3u);
    // Byte-wise order: upper case before lower case.
    const char* expected[] = {"Alpha", "bravo", "charlie"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].nKind, NOTIFY_VEHICLE);
        EXPECT_STREQ(events[i].vehicle.szName, expected[i]);
        EXPECT_EQ(events[i].vehicle.nValue, 0u);
    }
    std::vector<std::string> names {"left", "over"};
    m_registry.GetNames(names);
    EXPECT_TRUE(names.empty());
    m_registry.OnTimer(1001);
    m_registry.Remove("Alpha");  // absent: no error
    m_center.Stop();
    EXPECT_EQ(m_observer.Items().size(), 3u);  // no vehicles, no tick events
}

TEST_F(VehicleMgrTest, ProgressIsPostedOnlyWhileDownloading)
{
    std::atomic<bool> bRelease {false};
    m_registry.SetTaskFunction([&](CVehicle& vehicle, std::uint8_t nChannel) {
        vehicle.SetProgressSpan(nChannel, 0, 200);
        vehicle.SetProgressCurrent(nChannel, 50);
        vehicle.SetDownloading();
        while (!bRelease && !vehicle.WaitQuit(5)) {
        }
    });
    AddVehicle("IDLE");
    m_registry.OnTimer(1001);
    auto events = Events(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].nKind, NOTIFY_SPEED);

    CVehicle* pVehicle = m_registry.Find("IDLE");
    pVehicle->Start();
    m_registry.Release();
    for (int i = 0; i < 1000 && !pVehicle->IsDownloading(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    m_registry.OnTimer(1002);
    events = Events(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].nKind, NOTIFY_SPEED);
    EXPECT_EQ(events[2].nKind, NOTIFY_PROGRESS);
    EXPECT_EQ(events[2].vehicle.nValue, 25u);
    bRelease = true;
    m_registry.RemoveAll();
}

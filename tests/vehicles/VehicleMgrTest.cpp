#include "vehicles/VehicleLookup.h"
#include "vehicles/VehicleMgr.h"
#include "web/LogRing.h"

#include "core/NotifyCenter.h"
#include "platform/Timing.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

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
        CVehicleLookup lookup(m_registry, szName);
        EXPECT_EQ(lookup.Vehicle(), nullptr);
        EXPECT_NE(m_registry.Add(Info(szName)), nullptr);
    }

    // The events posted so far, once the delivery thread has caught up with n, as
    // "kind name value" lines (kind 1 vehicle, 2 speed, 3 progress).
    std::vector<std::string> Events(std::size_t n)
    {
        EXPECT_TRUE(m_observer.WaitFor(n));
        std::vector<std::string> lines;
        for (const auto& item : m_observer.Items())
            lines.push_back(std::to_string(item.nKind) + " " + item.vehicle.szName + " " +
                            std::to_string(item.vehicle.nValue));
        return lines;
    }

    RecordingObserver m_observer;
    CNotifyCenter m_center;
    std::atomic<std::uint32_t> m_nNow {1000};
    CDepotServer m_server {CDepotServer::Setup {.pConfig = DefaultServerConfig()},
                           m_center, Control().History(), CLogRing::Instance()};
    CVehicleMgr& m_registry = m_server.Registry();
};

} // namespace

TEST_F(VehicleMgrTest, FreshAtTwentySecondsExpiredAtTwentyOneRemovedBeforeItsEvent)
{
    AddVehicle("OLD");  // created at 1000
    m_nNow = 1005;
    AddVehicle("NEW");
    m_registry.OnTimer(1020);  // OLD is exactly 20 s old
    EXPECT_EQ(Events(2), (std::vector<std::string> {"2 NEW 0", "2 OLD 0"}));
    m_registry.OnTimer(1021);
    EXPECT_EQ(Events(4), (std::vector<std::string> {"2 NEW 0", "2 OLD 0", "2 NEW 0", "1 OLD 0"}));
    std::vector<std::string> names;
    m_registry.GetNames(names);
    EXPECT_EQ(names, std::vector<std::string> {"NEW"});

    // A keepalive keeps a vehicle fresh.
    {
        CVehicleLookup lookup(m_registry, "NEW");
        ASSERT_NE(lookup.Vehicle(), nullptr);
        lookup.Vehicle()->SetLastKeepalive(1030);
    }
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
    // Byte-wise order: upper case before lower case.
    EXPECT_EQ(Events(3), (std::vector<std::string> {"1 Alpha 0", "1 bravo 0", "1 charlie 0"}));
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
    EXPECT_EQ(Events(1), std::vector<std::string> {"2 IDLE 0"});

    CVehicle* pVehicle = CVehicleLookup(m_registry, "IDLE").Vehicle();
    pVehicle->Start();
    WaitFor([&] { return pVehicle->IsDownloading(); });
    m_registry.OnTimer(1002);
    EXPECT_EQ(Events(3), (std::vector<std::string> {"2 IDLE 0", "2 IDLE 0", "3 IDLE 25"}));
    bRelease = true;
    m_registry.RemoveAll();
}

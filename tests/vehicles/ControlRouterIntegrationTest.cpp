#include "vehicles/ControlRouter.h"
#include "web/LogRing.h"

#include "control/ByteOrder.h"
#include "control/UDPSrv.h"
#include "core/NotifyCenter.h"
#include "platform/Timing.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "support/LogFile.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"
#include "vehicles/VehicleLookup.h"
#include "vehicles/VehicleMgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A server of its own routing to the real handlers, a scripted recorder, and a
// download task that holds its pass open until the test lets it go.
class ControlRouterTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        // What the last test's end posted is delivered before this marker.
        char szMarker[kNotifyPayloadSize] = "test begins";
        CNotifyCenter::Instance().Post(0, NOTIFY_LOG, szMarker, sizeof(szMarker));
        ASSERT_TRUE(WaitFor([this] { return Delivered("test begins"); }));
        m_observer.Clear();
        auto pConfig = std::make_shared<ServerConfig>(*DefaultServerConfig());
        std::strcpy(pConfig->settings.szDownDir, At("depot/video").c_str());
        pConfig->settings.nPort = 0;
        pConfig->depot.nMaxVehicles = m_nMaxVehicles;
        CDepotServer::Setup setup;
        setup.pConfig = pConfig;
        setup.clock = [this] { return m_nNow.load(); };
        setup.task = [this](CVehicle& vehicle, std::uint8_t nChannel) {
            ++m_nTasks;
            m_lastChannel = nChannel;
            if (std::string(vehicle.Name()) == "SLOW") {
                // Ignores its stop for a while: its removal takes that long.
                vehicle.WaitQuit(-1);
                m_bSlowStopping = true;
                WaitFor([this] { return m_bRelease.load(); }, 1min);
            }
            while (!m_bRelease && !vehicle.WaitQuit(5)) {
            }
        };
        m_pServer = std::make_unique<CDepotServer>(std::move(setup), CNotifyCenter::Instance(), Control().History(),
                                                   CLogRing::Instance());
        ASSERT_EQ(m_pServer->BindControl(), 0);
        m_peer.SetServerPort(m_pServer->Control().LocalPort());
    }

    void TearDown() override
    {
        m_bRelease = true;
        m_pServer.reset();
        Sandbox::TearDown();
    }

    // The process-wide center keeps its observers for good: this one lives as long.
    static RecordingObserver& Observer()
    {
        static RecordingObserver* s_pObserver = [] {
            auto* pObserver = new RecordingObserver;
            CNotifyCenter::Instance().Register(pObserver);
            return pObserver;
        }();
        return *s_pObserver;
    }

    bool Delivered(const std::string& logText)
    {
        for (const auto& item : m_observer.Items()) {
            if (item.nKind == NOTIFY_LOG && item.text == logText)
                return true;
        }
        return false;
    }

    std::vector<RecordingObserver::Item> VehicleEvents()
    {
        std::vector<RecordingObserver::Item> events;
        for (const auto& item : m_observer.Items()) {
            if (item.nKind == NOTIFY_VEHICLE)
                events.push_back(item);
        }
        return events;
    }

    // Waits until everything the handlers posted so far has reached the observer: a
    // stranger's keepalive is handled after them, and its log entry is delivered after
    // their events.
    void Settle()
    {
        m_peer.Send(ScriptedPeer::KeepAlive("SETTLE", 1));
        ASSERT_TRUE(m_peer.Receive().has_value());
        ASSERT_TRUE(WaitFor([this] { return Delivered("Receive Keepalive Pack from SETTLE, illegal guest!"); }))
            << "events not delivered";
    }

    std::size_t Count(const std::string& message)
    {
        auto messages = ReadLogMessages();
        return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
    }

    // A datagram that should draw no reply; a registration after it proves the
    // server went on and that nothing was sent meanwhile.
    void ExpectNoReplyTo(const std::vector<unsigned char>& datagram)
    {
        m_peer.Send(datagram);
        m_peer.Send(ScriptedPeer::Registration("PROBE", 0, 999));
        auto reply = m_peer.Receive();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(ReadBe32(reply->data() + 8), 999u) << "an earlier datagram drew a reply";
    }

    RecordingObserver& m_observer = Observer();
    std::uint32_t m_nMaxVehicles = 0;  // before SetUp
    std::unique_ptr<CDepotServer> m_pServer;
    ScriptedPeer m_peer;
    std::atomic<int> m_nTasks {0};
    std::atomic<int> m_lastChannel {0};
    std::atomic<bool> m_bRelease {false};
    std::atomic<bool> m_bSlowStopping {false};
    std::atomic<std::uint32_t> m_nNow {1000};  // the registry's clock
};

} // namespace

TEST_F(ControlRouterTest, RegisteringTwiceAnswersTwiceButAddsOneVehicle)
{
    for (std::uint32_t nId : {41u, 42u}) {
        auto request = ScriptedPeer::Registration("BUS 7", 4, nId);
        m_peer.Send(request);
        auto reply = m_peer.Receive();
        ASSERT_TRUE(reply.has_value());
        ASSERT_EQ(reply->size(), 20u);
        EXPECT_EQ((*reply)[4], 1);
        EXPECT_EQ(ReadBe16(reply->data() + 6), 200);
        EXPECT_EQ(ReadBe32(reply->data() + 8), nId);
        EXPECT_EQ(ReadBe32(reply->data() + 12), 105u);  // the request's payloadLength, echoed
        EXPECT_EQ(ReadBe16(reply->data()), 0x480F);
    }
    Settle();
    std::vector<std::string> names;
    m_pServer->Registry().GetNames(names);
    EXPECT_EQ(names, std::vector<std::string> {"BUS 7"});
    EXPECT_EQ(Count("BUS 7 Registed, number of channel is 4"), 2u);
    EXPECT_TRUE(std::filesystem::is_directory(Dir() / "depot/video/BUS 7"));  // root made with its parents
    auto events = VehicleEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_STREQ(events[0].vehicle.szName, "BUS 7");
    EXPECT_EQ(events[0].vehicle.nValue, 1u);
}

TEST_F(ControlRouterTest, KeepAliveFromStrangerGets402AndCreatesNothing)
{
    m_peer.Send(ScriptedPeer::KeepAlive("GHOST", 0xABCDEF01));
    auto reply = m_peer.Receive();
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 20u);
    EXPECT_EQ(ReadBe16(reply->data() + 6), 402);
    EXPECT_EQ(ReadBe32(reply->data() + 8), 0xABCDEF01u);
    EXPECT_EQ((*reply)[5], ZELP_KEEPALIVE);
    EXPECT_EQ(ReadBe32(reply->data() + 12), 40u);
    std::vector<std::string> names {"stale"};
    m_pServer->Registry().GetNames(names);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(Count("Receive Keepalive Pack from GHOST, illegal guest!"), 1u);
    EXPECT_FALSE(std::filesystem::exists(Dir() / "depot/video/GHOST"));
}

TEST_F(ControlRouterTest, FirstKeepAliveStartsThePassLaterOnesOnlyRefresh)
{
    m_peer.Send(ScriptedPeer::Registration("TRUCK", 2, 1));
    ASSERT_TRUE(m_peer.Receive().has_value());
    m_nNow = 5000;
    m_peer.Send(ScriptedPeer::KeepAlive("TRUCK", 2));
    ASSERT_TRUE(m_peer.Receive().has_value());
    m_nNow = 5010;
    m_peer.Send(ScriptedPeer::KeepAlive("TRUCK", 3));
    auto reply = m_peer.Receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe16(reply->data() + 6), 200);

    EXPECT_EQ(Count("Start download task for TRUCK"), 1u);
    {
        CVehicleLookup lookup(m_pServer->Registry(), "TRUCK");
        ASSERT_NE(lookup.Vehicle(), nullptr);
        EXPECT_TRUE(lookup.Vehicle()->IsRunning());
        EXPECT_EQ(lookup.Vehicle()->GetLastKeepalive(), 5010u);
    }

    // Once the pass has ended, the next keepalive starts another.
    m_bRelease = true;
    ASSERT_TRUE(WaitFor([this] {
        return m_nTasks >= 2 && !CVehicleLookup(m_pServer->Registry(), "TRUCK").Vehicle()->IsRunning();
    }));
    m_peer.Send(ScriptedPeer::KeepAlive("TRUCK", 4));
    ASSERT_TRUE(m_peer.Receive().has_value());
    EXPECT_EQ(Count("Start download task for TRUCK"), 2u);
}

TEST_F(ControlRouterTest, UnknownCommandsShortDatagramsAndRepliesReachNoHandler)
{
    auto command7 = ScriptedPeer::Registration("SEVEN", 1, 7);
    command7[5] = 7;
    ExpectNoReplyTo(command7);
    ExpectNoReplyTo(ScriptedPeer::Registration("SHORT", 1, 8, 124));
    // The name's NUL did not arrive: refused, with one line per sender and minute.
    ExpectNoReplyTo(ScriptedPeer::KeepAlive("SHORT", 9, 33));
    ExpectNoReplyTo(ScriptedPeer::KeepAlive("SHORT", 10, 30));
    ExpectNoReplyTo({0x48, 0x0F, 1});

    // A reply with a registration's command byte is a reply all the same.
    auto fakeReply = ScriptedPeer::Registration("REPLY", 1, 12345);
    fakeReply[4] = 1;
    ExpectNoReplyTo(fakeReply);

    std::vector<std::string> names;
    m_pServer->Registry().GetNames(names);
    EXPECT_EQ(names, std::vector<std::string> {"PROBE"});
    EXPECT_EQ(Count(" Can't find matched transaction ID"), 1u);
    EXPECT_EQ(Count("REPLY Registed, number of channel is 1"), 0u);
    std::string sender = "127.0.0.1:" + std::to_string(m_peer.Port());
    EXPECT_EQ(Count("Datagram of 124 bytes from " + sender + " too short for command 0, refused"), 1u);
    EXPECT_EQ(Count("Datagram of 33 bytes from " + sender + " too short for command 1, refused"), 0u)
        << "a second line for the same sender within a minute";
}

TEST_F(ControlRouterTest, ShortKeepAliveWhoseNameArrivedWholeIsServed)
{
    m_peer.Send(ScriptedPeer::Registration("V1", 1, 1));
    ASSERT_TRUE(m_peer.Receive().has_value());
    // 31 bytes: "V1" and its NUL at offsets 28 to 30.
    m_peer.Send(ScriptedPeer::KeepAlive("V1", 2, 31));
    auto reply = m_peer.Receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe32(reply->data() + 8), 2u);
    EXPECT_EQ(ReadBe16(reply->data() + 6), 200);
    EXPECT_TRUE(LogHas("Start download task for V1"));
}

// The limit is read by the receive thread: it is set before that thread starts.
class ControlRouterLimitTest : public ControlRouterTest {
protected:
    void SetUp() override
    {
        m_nMaxVehicles = 2;
        ControlRouterTest::SetUp();
    }
};

TEST_F(ControlRouterLimitTest, RegistrationsBeyondTheLimitAreRefusedWithoutReplyOrDirectory)
{
    for (std::uint32_t i = 1; i <= 2; ++i) {
        m_peer.Send(ScriptedPeer::Registration("BUS" + std::to_string(i), 1, i));
        ASSERT_TRUE(m_peer.Receive().has_value());
    }
    m_peer.Send(ScriptedPeer::Registration("BUS3", 1, 3));
    // An online vehicle registering again is no newcomer; its reply is the next one.
    m_peer.Send(ScriptedPeer::Registration("BUS1", 1, 4));
    auto reply = m_peer.Receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe32(reply->data() + 8), 4u) << "BUS3 was answered";

    std::vector<std::string> names;
    m_pServer->Registry().GetNames(names);
    EXPECT_EQ(names, (std::vector<std::string> {"BUS1", "BUS2"}));
    EXPECT_FALSE(std::filesystem::exists(Dir() / "depot/video/BUS3"));
    EXPECT_EQ(Count("Registration of BUS3 from 127.0.0.1:" + std::to_string(m_peer.Port()) +
                    " refused: 2 vehicles online already"),
              1u);
}

TEST_F(ControlRouterTest, RepliesAndKeepAlivesFlowWhileAVehicleIsBeingRemoved)
{
    for (const char* szName : {"SLOW", "OTHER"}) {
        m_peer.Send(ScriptedPeer::Registration(szName, 1, 1));
        ASSERT_TRUE(m_peer.Receive().has_value());
        m_peer.Send(ScriptedPeer::KeepAlive(szName, 2));
        ASSERT_TRUE(m_peer.Receive().has_value());
    }
    std::jthread remover([this] { m_pServer->Registry().Remove("SLOW"); });
    ASSERT_TRUE(WaitFor([this] { return m_bSlowStopping.load(); }));

    // The removal is still waiting: the other vehicle's keepalive is answered.
    m_peer.Send(ScriptedPeer::KeepAlive("OTHER", 77));
    auto reply = m_peer.Receive(2000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe32(reply->data() + 8), 77u);
    EXPECT_EQ(ReadBe16(reply->data() + 6), 200);
    m_bRelease = true;
    remover.join();
    EXPECT_FALSE(m_pServer->Registry().IsOnline("SLOW"));
}

TEST_F(ControlRouterTest, UnsafeNamesAreRefusedWithoutDirectoryOrEntry)
{
    for (const std::string& name : {std::string(""), std::string("."), std::string(".."), std::string("../up"),
                                    std::string("a\\b"), std::string("tab\tname")})
        ExpectNoReplyTo(ScriptedPeer::Registration(name, 1, 5));
    std::vector<std::string> names;
    m_pServer->Registry().GetNames(names);
    EXPECT_EQ(names, std::vector<std::string> {"PROBE"});
    EXPECT_FALSE(std::filesystem::exists(Dir() / "depot/up"));
    EXPECT_FALSE(std::filesystem::exists(Dir() / "up"));
    std::string sender = "Registration from 127.0.0.1:" + std::to_string(m_peer.Port()) +
                         " refused: unusable vehicle name";
    EXPECT_EQ(Count(sender), 6u);
}

TEST_F(ControlRouterTest, OverlongNameIsCutTo31CharactersAndChannelsCappedAt63)
{
    std::string longName(40, 'L');
    m_peer.Send(ScriptedPeer::Registration(longName, 200, 1));
    ASSERT_TRUE(m_peer.Receive().has_value());
    m_peer.Send(ScriptedPeer::KeepAlive(longName, 2));
    auto reply = m_peer.Receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe16(reply->data() + 6), 200);
    WaitFor([this] { return m_nTasks >= 63; });
    EXPECT_FALSE(WaitFor([this] { return m_nTasks > 63; }, 50ms));
    EXPECT_EQ(m_nTasks, 63);
    std::vector<std::string> names;
    m_pServer->Registry().GetNames(names);
    EXPECT_EQ(names, std::vector<std::string> {std::string(31, 'L')});
}

TEST_F(ControlRouterTest, AVehicleKeepsTheLocalAddressItsRecorderSendsToAndItsKeepalivesRefreshIt)
{
    // Bound to every address, as the server runs: the loopback network has many.
    ScriptedPeer recorder("127.0.0.9");
    recorder.SetServerPort(m_pServer->Control().LocalPort());
    recorder.SetServerIp("127.0.0.3");
    auto localIp = [this] {
        CVehicleLookup lookup(m_pServer->Registry(), "ADDR");
        return lookup.Vehicle() ? lookup.Vehicle()->LocalIp() : std::string("no vehicle");
    };

    recorder.Send(ScriptedPeer::Registration("ADDR", 1, 1));
    ASSERT_TRUE(recorder.ReceiveReply().has_value());
    // The reply goes out before the vehicle is added.
    EXPECT_TRUE(WaitFor([&] { return localIp() != "no vehicle"; }));
    EXPECT_EQ(localIp(), "127.0.0.3");

    recorder.SetServerIp("127.0.0.2");
    recorder.Send(ScriptedPeer::KeepAlive("ADDR", 2));
    ASSERT_TRUE(recorder.ReceiveReply().has_value());
    EXPECT_EQ(localIp(), "127.0.0.2");

    // A keepalive naming the vehicle from elsewhere keeps it alive, but tells nothing
    // of the address its registered recorder reaches.
    ScriptedPeer stranger("127.0.0.10");
    stranger.SetServerPort(m_pServer->Control().LocalPort());
    stranger.SetServerIp("127.0.0.4");
    stranger.Send(ScriptedPeer::KeepAlive("ADDR", 3));
    auto reply = stranger.ReceiveReply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe16(reply->data() + 6), 200);
    EXPECT_EQ(localIp(), "127.0.0.2");
}

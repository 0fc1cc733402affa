#include "vehicles/Vehicle.h"

#include "control/ByteOrder.h"
#include "control/UDPSrv.h"
#include "core/NotifyCenter.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "support/LogFile.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"
#include "transfer/TCPSrv.h"
#include "vehicles/ControlRouter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <tuple>

namespace {

// A vehicle whose recorder is a scripted peer, talking through a server's control
// channel and router.
class VehicleTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Timing().nReplyWaitMs = 300;
        m_center.Register(&m_observer);
        auto pConfig = std::make_shared<ServerConfig>(*DefaultServerConfig());
        pConfig->settings.nPort = 0;
        m_pServer = BindOwnServer(pConfig, m_center);
        m_peer.SetServerPort(m_pServer->Control().LocalPort());
    }

    void TearDown() override
    {
        m_pServer.reset();
        Sandbox::TearDown();
    }

    std::unique_ptr<CVehicle> MakeVehicle(std::uint8_t nChannels = 4, CVehicle::TaskFunction task = {},
                                          const char* szName = "BUS")
    {
        VehicleInfo info;
        std::strcpy(info.szIP, "127.0.0.1");
        info.nPort = m_peer.Port();
        info.nChannels = nChannels;
        std::strcpy(info.szName, szName);
        ServerParts parts = m_pServer->Parts();
        if (m_pConfig)
            parts.pConfig = m_pConfig;
        return std::make_unique<CVehicle>(info, 100, std::move(task), parts);
    }

    // The header of the next request the vehicle sends (zeroes when none came).
    ControlHeader NextRequest(std::vector<unsigned char>* pBytes = nullptr)
    {
        auto request = m_peer.Receive();
        ControlHeader header;
        header.transactionId = 0;
        EXPECT_TRUE(request.has_value());
        if (request) {
            DecodeHeader(request->data(), request->size(), &header);
            if (pBytes)
                *pBytes = *request;
        }
        return header;
    }

    // Reads one request and answers it with status and payload.
    ControlHeader Answer(std::uint16_t nStatus, const std::vector<unsigned char>& payload = {})
    {
        ControlHeader header = NextRequest();
        m_peer.Send(ScriptedPeer::Reply(header.command, nStatus, header.transactionId, payload));
        return header;
    }

    RecordingObserver m_observer;
    CNotifyCenter m_center;
    ScriptedPeer m_peer;
    ServerConfigPtr m_pConfig;  // the vehicles' settings when set, else the server's
    std::unique_ptr<CDepotServer> m_pServer;
};

// A request made on its own thread while the test plays the recorder.
template <typename Fn>
std::future<int> Async(Fn fn)
{
    return std::async(std::launch::async, std::move(fn));
}

} // namespace

TEST_F(VehicleTest, ConcurrentRequestsEachGetTheirOwnReplyAndRepliesUpToTheBufferAreTaken)
{
    Timing().nReplyWaitMs = 5000;
    auto pVehicle = MakeVehicle();
    FileCountRecord first;
    FileCountRecord second;
    auto a = Async([&] { return pVehicle->SendQueryFileCountCmd(1, 0xFF, 0, 100, &first); });
    auto b = Async([&] { return pVehicle->SendQueryFileCountCmd(2, 0xFF, 0, 100, &second); });
    std::vector<std::pair<std::uint32_t, std::uint8_t>> requests;
    for (int i = 0; i < 2; ++i) {
        std::vector<unsigned char> bytes;
        ControlHeader header = NextRequest(&bytes);
        ASSERT_EQ(bytes.size(), 40u);
        requests.emplace_back(header.transactionId, bytes[20 + 8]);
    }
    EXPECT_NE(requests[0].first, requests[1].first);
    // Answer in reverse order: count = 100 x the channel asked about.
    for (int i = 1; i >= 0; --i)
        m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, requests[i].first,
                                        ScriptedPeer::CountRecord(100u * requests[i].second)));
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
    EXPECT_EQ(first.nCount, 100u);
    EXPECT_EQ(second.nCount, 200u);

    // Replies up to the buffer are taken, longer ones refused.
    auto result = Async([&] { return pVehicle->SendQueryFileCountCmd(3, 0xFF, 0, 100, &first); });
    std::uint32_t nId = NextRequest().transactionId;
    auto tooLong = ScriptedPeer::CountRecord(5);
    tooLong.resize(6144 - 20 + 1);
    m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, nId, tooLong));
    auto exact = ScriptedPeer::CountRecord(6);
    exact.resize(6144 - 20);
    m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, nId, exact));
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(first.nCount, 6u);
    EXPECT_EQ(ReadLogMessages(),
              (std::vector<std::string> {" nReplyLen < nLen!", " Can't find matched transaction ID"}));
}

TEST_F(VehicleTest, StopEndsAWaitAtOnceWithItsLogLine)
{
    Timing().nReplyWaitMs = 60000;
    auto pVehicle = MakeVehicle();
    EarliestFileRecord record;
    auto result = Async([&] { return pVehicle->SendQueryFileCmd(1, 0xFF, 0, 100, &record); });
    std::uint32_t nId = NextRequest().transactionId;
    pVehicle->Stop();
    EXPECT_EQ(result.get(), -1);
    // Ended by the stop, not by the minute's wait.
    EXPECT_EQ(ReadLogMessages(),
              (std::vector<std::string> {
                  "QuitThread Event Return when waitting response " + std::to_string(nId) + " for cmd 5",
                  "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN FAILED!"}));
    // Every later request returns at once through the same door.
    EXPECT_EQ(pVehicle->SendQueryFileCountCmd(1, 0xFF, 0, 100, nullptr), -1);
}

TEST_F(VehicleTest, SilentRecorderMakesEachRequestFailAfterTheWaitAndLateRepliesAreLogged)
{
    auto pVehicle = MakeVehicle();
    EarliestFileRecord record;
    FileCountRecord count;
    EXPECT_EQ(pVehicle->SendQueryFileCmd(1, 0xFF, 0, 100, &record), -1);
    EXPECT_EQ(pVehicle->SendGetFileCmd(1, "ch01.264", 0, "127.0.0.1", 10000), -1);
    EXPECT_EQ(pVehicle->SendQueryFileCountCmd(1, 0xFF, 0, 100, &count), -1);
    std::vector<std::uint32_t> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back(NextRequest().transactionId);
    auto waited = [&](int i, const char* szCmd) {
        return "wait for response " + std::to_string(ids[i]) + " for cmd " + szCmd + " too long";
    };
    EXPECT_EQ(ReadLogMessages(),
              (std::vector<std::string> {waited(0, "5"), "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN FAILED!", waited(1, "4"),
                                         "ZELP_GETFILE FAILED!", waited(2, "2"), "ZELP_QUERY_FILE_COUNT FAILED!"}));

    m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, ids[2], ScriptedPeer::CountRecord(1)));
    // The probe registration is routed after the late reply, so its log line follows.
    m_peer.Send(ScriptedPeer::Registration("x", 0, 77));
    ASSERT_TRUE(m_peer.Receive().has_value());
    auto messages = ReadLogMessages();
    ASSERT_GE(messages.size(), 7u);
    EXPECT_EQ(messages[6], " Can't find matched transaction ID");
}

TEST_F(VehicleTest, StatusesAreJudgedPerOperation)
{
    Timing().nReplyWaitMs = 5000;
    auto pVehicle = MakeVehicle();
    EarliestFileRecord record;
    FileCountRecord count;

    auto query = Async([&] { return pVehicle->SendQueryFileCmd(1, 0xFF, 10, 10, &record); });
    EXPECT_EQ(Answer(404).command, ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN);  // equal start and end are sent
    EXPECT_EQ(query.get(), 1);
    auto counter = Async([&] { return pVehicle->SendQueryFileCountCmd(1, 0xFF, 0, 10, &count); });
    Answer(404);
    EXPECT_EQ(counter.get(), -1);
    auto getter = Async([&] { return pVehicle->SendGetFileCmd(2, "file.264", 0, "10.0.0.5", 10001); });
    Answer(500);
    EXPECT_EQ(getter.get(), 1);

    auto found = Async([&] { return pVehicle->SendQueryFileCmd(1, 2, 0, 10, &record); });
    Answer(200, ScriptedPeer::EarliestRecord("ch01_0001.264", 3, 9));
    EXPECT_EQ(found.get(), 0);
    EXPECT_EQ(std::tuple(std::string(record.szFileName), record.nStart, record.nEnd),
              std::tuple(std::string("ch01_0001.264"), 3u, 9u));
    // A status-200 reply without its record is no valid answer.
    auto shortReply = Async([&] { return pVehicle->SendQueryFileCmd(1, 2, 0, 10, &record); });
    Answer(200, std::vector<unsigned char>(55, 0));
    EXPECT_EQ(shortReply.get(), -1);

    // Any status makes the transaction itself succeed; the caller judges it.
    unsigned char reply[6144];
    std::uint32_t nReplyLen = sizeof(reply);
    auto raw = Async([&] {
        return pVehicle->SendCmdWithReply("127.0.0.1", m_peer.Port(), ZELP_QUERY_FILE_COUNT, "abc", 3, reply,
                                          &nReplyLen, 5000);
    });
    Answer(402);
    EXPECT_EQ(raw.get(), 0);
    EXPECT_EQ(nReplyLen, 20u);

    EXPECT_EQ(ReadLogMessages(), (std::vector<std::string> {
                                     "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN no files in the time span",
                                     "ZELP_QUERY_FILE_COUNT return status is not OK",
                                     "ZELP_GETFILE chan 2: file.264, seek=0, get response: 500\r\n",
                                     "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN reply of 75 bytes is too short!"}));
    // The refusal's text carries its own line break.
    EXPECT_NE(ReadFile(Dir() / "log.txt").find("get response: 500\r\n\r\n"), std::string::npos);
}

TEST_F(VehicleTest, InvalidSpanSendsNothingAndFileRequestBytesAreExact)
{
    auto pVehicle = MakeVehicle();
    EarliestFileRecord record;
    EXPECT_EQ(pVehicle->SendQueryFileCmd(1, 0xFF, 11, 10, &record), 1);
    EXPECT_FALSE(m_peer.Receive(100).has_value());
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {
        "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN no files in the Invalid time span"});

    Timing().nReplyWaitMs = 5000;
    // A name without the channel's tag is still requested.
    auto getter = Async([&] { return pVehicle->SendGetFileCmd(2, "ch01_odd.264", 4096, "192.168.1.20", 10007); });
    std::vector<unsigned char> bytes;
    ControlHeader header = NextRequest(&bytes);
    ASSERT_EQ(bytes.size(), 84u);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 6),
              (std::vector<unsigned char> {0x48, 0x0F, 1, 0, 0, ZELP_GETFILE}));
    EXPECT_EQ(header.payloadLength, 64u);
    GetFileRequest decoded;
    ASSERT_TRUE(DecodeGetFileRequest(bytes.data() + 20, 64, &decoded));
    EXPECT_EQ(std::tuple(std::string(decoded.szFileName), decoded.nSeek, std::string(decoded.szListenIp),
                         decoded.nListenPort, decoded.nChannel),
              std::tuple(std::string("ch01_odd.264"), 4096u, std::string("192.168.1.20"), 10007, 2));
    m_peer.Send(ScriptedPeer::Reply(ZELP_GETFILE, 200, header.transactionId));
    EXPECT_EQ(getter.get(), 0);

    // A name the request's field would cut is never asked for.
    EXPECT_EQ(pVehicle->SendGetFileCmd(1, "ch01_a_name_of_thirty_two_chars_", 0, "127.0.0.1", 1), 1);
    EXPECT_FALSE(m_peer.Receive(100).has_value());
}

TEST_F(VehicleTest, PassRunsOneTaskPerListedChannelAndPostsFinalProgress)
{
    std::mutex lock;
    std::vector<int> channels;
    auto task = [&](CVehicle& vehicle, std::uint8_t nChannel) {
        {
            std::lock_guard guard(lock);
            channels.push_back(nChannel);
        }
        // Channel 1 half done, channel 2 done, others an empty span (100).
        if (nChannel == 1) {
            vehicle.SetProgressSpan(1, 1000, 3000);
            vehicle.SetProgressCurrent(1, 2000);
        } else if (nChannel == 2) {
            vehicle.SetProgressSpan(2, 1000, 3000);
            vehicle.SetProgressFinished(2);
        } else {
            vehicle.SetProgressSpan(nChannel, 5, 5);
        }
    };
    auto pVehicle = MakeVehicle(2, task);
    pVehicle->Start();
    EXPECT_TRUE(pVehicle->IsRunning());
    pVehicle->Stop();
    EXPECT_FALSE(pVehicle->IsRunning());
    ASSERT_TRUE(m_observer.WaitFor(1));
    auto events = m_observer.Items();
    EXPECT_EQ(events[0].nKind, NOTIFY_PROGRESS);
    EXPECT_STREQ(events[0].vehicle.szName, "BUS");
    EXPECT_EQ(events[0].vehicle.nValue, 75u);
    std::sort(channels.begin(), channels.end());
    EXPECT_EQ(channels, (std::vector<int> {1, 2}));
    EXPECT_EQ(pVehicle->GetProgress(), 0);  // records are gone with the pass

    // Without channels the pass posts progress 0 and ends.
    auto pEmpty = MakeVehicle(0, [](CVehicle&, std::uint8_t) { FAIL() << "no task expected"; }, "EMPTY");
    pEmpty->Start();
    ASSERT_TRUE(m_observer.WaitFor(2));
    EXPECT_STREQ(m_observer.Items()[1].vehicle.szName, "EMPTY");
    EXPECT_EQ(m_observer.Items()[1].vehicle.nValue, 0u);
}

TEST_F(VehicleTest, ChannelListFollowsCountSpecialConfigurationAndSlotLimit)
{
    EXPECT_TRUE(MakeVehicle(0)->ChannelList().empty());
    EXPECT_EQ(MakeVehicle(4)->ChannelList(), (std::vector<std::uint8_t> {1, 2, 3, 4}));
    EXPECT_EQ(MakeVehicle(200)->ChannelList().size(), 63u);

    SpecialConfigEntry entry;
    std::strcpy(entry.szPlate, "BUS");
    entry.nChan = 3;
    auto pConfig = std::make_shared<ServerConfig>(m_pServer->Config());  // its store in Dir()
    pConfig->special["BUS"] = entry;
    m_pConfig = pConfig;
    EXPECT_EQ(MakeVehicle(4)->ChannelList().size(), 4u);  // table not in force
    pConfig->bSpecialOn = true;
    EXPECT_EQ(MakeVehicle(4)->ChannelList(), std::vector<std::uint8_t> {3});
    EXPECT_EQ(MakeVehicle(4, {}, "OTHER")->ChannelList().size(), 4u);
    pConfig->special["BUS"].nChan = 0;
    EXPECT_EQ(MakeVehicle(4)->ChannelList().size(), 4u);
}

TEST_F(VehicleTest, StopAbortsListenersWaitsForTasksAndRateIsTakenOnce)
{
    std::atomic<int> nActive {0};
    CTCPSrv listener([](CTCPSrv*) { return 0; });
    auto pVehicle = MakeVehicle(3, [&](CVehicle& vehicle, std::uint8_t nChannel) {
        ++nActive;
        if (nChannel == 1)
            vehicle.SetListener(1, &listener);
        while (!vehicle.WaitQuit(60000)) {
        }
        if (nChannel == 1)
            vehicle.SetListener(1, nullptr);
        --nActive;
    });
    pVehicle->Start();
    ASSERT_TRUE(WaitFor([&] { return nActive == 3; }));
    listener.AddReceivedBytes(1234);
    EXPECT_EQ(pVehicle->GetRate(), 1234u);
    EXPECT_EQ(pVehicle->GetRate(), 0u);
    // Bytes of a transfer that ended before the tick are counted at the next one.
    listener.AddReceivedBytes(500);
    pVehicle->SetListener(1, nullptr);
    pVehicle->SetListener(1, &listener);
    listener.AddReceivedBytes(20);
    EXPECT_EQ(pVehicle->GetRate(), 520u);
    pVehicle->Stop();  // returns only when the tasks' endless waits have ended
    EXPECT_EQ(nActive, 0);
    EXPECT_FALSE(pVehicle->IsRunning());
    pVehicle->Start();  // a stopped vehicle starts nothing
    EXPECT_FALSE(pVehicle->IsRunning());
}

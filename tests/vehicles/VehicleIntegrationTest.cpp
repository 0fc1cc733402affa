#include "vehicles/Vehicle.h"

#include "control/ByteOrder.h"
#include "control/ControlRouter.h"
#include "control/UDPSrv.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "shell/NotifyCenter.h"
#include "support/LogFile.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"
#include "transfer/TCPSrv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// A vehicle whose recorder is a scripted peer, talking through the process-wide
// control server and router.
class VehicleTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Timing().nReplyWaitMs = 300;
        m_center.Register(&m_observer);
        ASSERT_EQ(CUDPSrv::Instance().Create("127.0.0.1", 0, OnControlDatagram), 0);
        CUDPSrv::Instance().Start();
        m_peer.SetServerPort(CUDPSrv::Instance().LocalPort());
    }

    void TearDown() override
    {
        CUDPSrv::Instance().Stop();
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
        return std::make_unique<CVehicle>(info, 100, std::move(task), &m_center);
    }

    // Reads one request and answers it with status and payload.
    ControlHeader Answer(std::uint16_t nStatus, const std::vector<unsigned char>& payload = {})
    {
        auto request = m_peer.Receive();
        ControlHeader header;
        EXPECT_TRUE(request.has_value());
        if (!request)
            return header;
        DecodeHeader(request->data(), request->size(), &header);
        m_peer.Send(ScriptedPeer::Reply(header.command, nStatus, header.transactionId, payload));
        return header;
    }

    RecordingObserver m_observer;
    CNotifyCenter m_center;
    ScriptedPeer m_peer;
};

std::vector<unsigned char> EarliestPayload(const char* szName, std::uint32_t nStart, std::uint32_t nEnd)
{
    EarliestFileRecord record;
    std::strcpy(record.szFileName, szName);
    record.nStart = nStart;
    record.nEnd = nEnd;
    record.nChannel = 1;
    std::vector<unsigned char> payload(kEarliestFileRecordSize);
    EncodeEarliestFileRecord(record, payload.data());
    return payload;
}

std::vector<unsigned char> CountPayload(std::uint32_t nCount)
{
    std::vector<unsigned char> payload(kFileCountRecordSize);
    EncodeFileCountRecord(FileCountRecord {nCount}, payload.data());
    return payload;
}

} // namespace

TEST_F(VehicleTest, ConcurrentRequestsEachGetTheirOwnReply)
{
    Timing().nReplyWaitMs = 5000;
    auto pVehicle = MakeVehicle();
    FileCountRecord first;
    FileCountRecord second;
    std::atomic<int> nFirst {9};
    std::atomic<int> nSecond {9};
    std::thread a([&] { nFirst = pVehicle->SendQueryFileCountCmd(1, 0xFF, 0, 100, &first); });
    std::thread b([&] { nSecond = pVehicle->SendQueryFileCountCmd(2, 0xFF, 0, 100, &second); });
    std::vector<std::pair<std::uint32_t, std::uint8_t>> requests;
    for (int i = 0; i < 2; ++i) {
        auto request = m_peer.Receive();
        ASSERT_TRUE(request.has_value());
        ASSERT_EQ(request->size(), 40u);
        requests.emplace_back(ReadBe32(request->data() + 8), (*request)[20 + 8]);
    }
    EXPECT_NE(requests[0].first, requests[1].first);
    // Answer in reverse order: count = 100 x the channel asked about.
    for (int i = 1; i >= 0; --i)
        m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, requests[i].first,
                                        CountPayload(100u * requests[i].second)));
    a.join();
    b.join();
    EXPECT_EQ(nFirst, 0);
    EXPECT_EQ(nSecond, 0);
    EXPECT_EQ(first.nCount, 100u);
    EXPECT_EQ(second.nCount, 200u);
}

TEST_F(VehicleTest, StopEndsAWaitAtOnceWithItsLogLine)
{
    Timing().nReplyWaitMs = 60000;
    auto pVehicle = MakeVehicle();
    std::atomic<int> nResult {9};
    EarliestFileRecord record;
    std::thread requester([&] { nResult = pVehicle->SendQueryFileCmd(1, 0xFF, 0, 100, &record); });
    auto request = m_peer.Receive();
    ASSERT_TRUE(request.has_value());
    std::uint32_t nId = ReadBe32(request->data() + 8);
    std::int64_t nStart = MonotonicMs();
    pVehicle->Stop();
    requester.join();
    EXPECT_LT(MonotonicMs() - nStart, 10000);  // far from the minute it would wait
    EXPECT_EQ(nResult, -1);
    auto messages = ReadLogMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "QuitThread Event Return when waitting response " + std::to_string(nId) + " for cmd 5");
    EXPECT_EQ(messages[1], "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN FAILED!");
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
    for (int i = 0; i < 3; ++i) {
        auto request = m_peer.Receive();
        ASSERT_TRUE(request.has_value());
        ids.push_back(ReadBe32(request->data() + 8));
    }
    auto messages = ReadLogMessages();
    std::vector<std::string> expected {
        "wait for response " + std::to_string(ids[0]) + " for cmd 5 too long",
        "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN FAILED!",
        "wait for response " + std::to_string(ids[1]) + " for cmd 4 too long",
        "ZELP_GETFILE FAILED!",
        "wait for response " + std::to_string(ids[2]) + " for cmd 2 too long",
        "ZELP_QUERY_FILE_COUNT FAILED!",
    };
    EXPECT_EQ(messages, expected);

    m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, ids[2], CountPayload(1)));
    // The probe registration is routed after the late reply, so its log line follows.
    m_peer.Send(ScriptedPeer::Registration("x", 0, 77));
    ASSERT_TRUE(m_peer.Receive().has_value());
    messages = ReadLogMessages();
    ASSERT_GE(messages.size(), 7u);
    EXPECT_EQ(messages[6], " Can't find matched transaction ID");
}

TEST_F(VehicleTest, RepliesUpToTheBufferAreTakenLongerOnesRefused)
{
    Timing().nReplyWaitMs = 2000;
    auto pVehicle = MakeVehicle();
    std::atomic<int> nResult {9};
    FileCountRecord count;
    std::thread requester([&] { nResult = pVehicle->SendQueryFileCountCmd(3, 0xFF, 0, 100, &count); });
    auto request = m_peer.Receive();
    ASSERT_TRUE(request.has_value());
    std::uint32_t nId = ReadBe32(request->data() + 8);
    auto tooLong = CountPayload(5);
    tooLong.resize(6144 - 20 + 1);
    m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, nId, tooLong));
    auto exact = CountPayload(6);
    exact.resize(6144 - 20);
    m_peer.Send(ScriptedPeer::Reply(ZELP_QUERY_FILE_COUNT, 200, nId, exact));
    requester.join();
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(count.nCount, 6u);
    auto messages = ReadLogMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], " nReplyLen < nLen!");
    EXPECT_EQ(messages[1], " Can't find matched transaction ID");
}

TEST_F(VehicleTest, StatusesAreJudgedPerOperation)
{
    Timing().nReplyWaitMs = 5000;
    auto pVehicle = MakeVehicle();
    EarliestFileRecord record;
    FileCountRecord count;
    std::atomic<int> nResult {9};

    std::thread query([&] { nResult = pVehicle->SendQueryFileCmd(1, 0xFF, 10, 10, &record); });
    EXPECT_EQ(Answer(404).command, ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN);  // equal start and end are sent
    query.join();
    EXPECT_EQ(nResult, 1);

    std::thread counter([&] { nResult = pVehicle->SendQueryFileCountCmd(1, 0xFF, 0, 10, &count); });
    Answer(404);
    counter.join();
    EXPECT_EQ(nResult, -1);

    std::thread getter([&] { nResult = pVehicle->SendGetFileCmd(2, "file.264", 0, "10.0.0.5", 10001); });
    Answer(500);
    getter.join();
    EXPECT_EQ(nResult, 1);

    std::thread found([&] { nResult = pVehicle->SendQueryFileCmd(1, 2, 0, 10, &record); });
    Answer(200, EarliestPayload("ch01_0001.264", 3, 9));
    found.join();
    EXPECT_EQ(nResult, 0);
    EXPECT_STREQ(record.szFileName, "ch01_0001.264");
    EXPECT_EQ(record.nStart, 3u);
    EXPECT_EQ(record.nEnd, 9u);

    // A status-200 reply without its record is no valid answer.
    std::thread shortReply([&] { nResult = pVehicle->SendQueryFileCmd(1, 2, 0, 10, &record); });
    Answer(200, std::vector<unsigned char>(55, 0));
    shortReply.join();
    EXPECT_EQ(nResult, -1);

    // Any status makes the transaction itself succeed; the caller judges it.
    unsigned char reply[6144];
    std::uint32_t nReplyLen = sizeof(reply);
    std::thread raw([&] {
        nResult = pVehicle->SendCmdWithReply("127.0.0.1", m_peer.Port(), ZELP_QUERY_FILE_COUNT, "abc", 3, reply,
                                             &nReplyLen, 5000);
    });
    Answer(402);
    raw.join();
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(nReplyLen, 20u);

    auto messages = ReadLogMessages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN no files in the time span");
    EXPECT_EQ(messages[1], "ZELP_QUERY_FILE_COUNT return status is not OK");
    EXPECT_EQ(messages[2], "ZELP_GETFILE chan 2: file.264, seek=0, get response: 500\r\n");
    EXPECT_EQ(messages[3], "ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN reply of 75 bytes is too short!");
    // The refusal's text carries its own line break.
    EXPECT_NE(ReadFile("log.txt").find("get response: 500\r\n\r\n"), std::string::npos);
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
    std::atomic<int> nResult {9};
    // A name without the channel's tag is still requested.
    std::thread getter([&] { nResult = pVehicle->SendGetFileCmd(2, "ch01_odd.264", 4096, "192.168.1.20", 10007); });
    auto request = m_peer.Receive();
    ASSERT_TRUE(request.has_value());
    ASSERT_EQ(request->size(), 84u);
    const unsigned char* p = request->data();
    EXPECT_EQ(p[0], 0x48);
    EXPECT_EQ(p[1], 0x0F);
    EXPECT_EQ(p[2], 1);
    EXPECT_EQ(p[4], 0);
    EXPECT_EQ(p[5], ZELP_GETFILE);
    EXPECT_EQ(ReadBe32(p + 12), 64u);
    GetFileRequest decoded;
    ASSERT_TRUE(DecodeGetFileRequest(p + 20, 64, &decoded));
    EXPECT_STREQ(decoded.szFileName, "ch01_odd.264");
    EXPECT_EQ(decoded.nSeek, 4096u);
    EXPECT_STREQ(decoded.szListenIp, "192.168.1.20");
    EXPECT_EQ(decoded.nListenPort, 10007);
    EXPECT_EQ(decoded.nChannel, 2);
    m_peer.Send(ScriptedPeer::Reply(ZELP_GETFILE, 200, ReadBe32(p + 8)));
    getter.join();
    EXPECT_EQ(nResult, 0);

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
}

TEST_F(VehicleTest, ChannelListFollowsCountSpecialConfigurationAndSlotLimit)
{
    EXPECT_TRUE(MakeVehicle(0)->ChannelList().empty());
    EXPECT_EQ(MakeVehicle(4)->ChannelList(), (std::vector<std::uint8_t> {1, 2, 3, 4}));
    EXPECT_EQ(MakeVehicle(200)->ChannelList().size(), 63u);

    SpecialConfigEntry entry;
    std::strcpy(entry.szPlate, "BUS");
    entry.nChan = 3;
    SpecialConfig()["BUS"] = entry;
    EnablePrivileges() = 0;
    EXPECT_EQ(MakeVehicle(4)->ChannelList().size(), 4u);  // table not in force
    EnablePrivileges() = 1;
    EXPECT_EQ(MakeVehicle(4)->ChannelList(), std::vector<std::uint8_t> {3});
    EXPECT_EQ(MakeVehicle(4, {}, "OTHER")->ChannelList().size(), 4u);
    SpecialConfig()["BUS"].nChan = 0;
    EXPECT_EQ(MakeVehicle(4)->ChannelList().size(), 4u);
}

TEST_F(VehicleTest, ZeroChannelsPostProgressZeroAndEnd)
{
    auto pVehicle = MakeVehicle(0, [](CVehicle&, std::uint8_t) { FAIL() << "no task expected"; });
    pVehicle->Start();
    ASSERT_TRUE(m_observer.WaitFor(1));
    EXPECT_EQ(m_observer.Items()[0].vehicle.nValue, 0u);
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
    for (int i = 0; i < 1000 && nActive < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    listener.AddReceivedBytes(1234);
    EXPECT_EQ(pVehicle->GetRate(), 1234u);
    EXPECT_EQ(pVehicle->GetRate(), 0u);
    // Bytes of a transfer that ended before the tick are counted at the next one.
    listener.AddReceivedBytes(500);
    pVehicle->SetListener(1, nullptr);
    pVehicle->SetListener(1, &listener);
    listener.AddReceivedBytes(20);
    EXPECT_EQ(pVehicle->GetRate(), 520u);
    std::int64_t nStart = MonotonicMs();
    pVehicle->Stop();
    EXPECT_LT(MonotonicMs() - nStart, 10000);  // the tasks' minute-long waits ended at once
    EXPECT_EQ(nActive, 0);
    EXPECT_FALSE(pVehicle->IsRunning());
    pVehicle->Start();  // a stopped vehicle starts nothing
    EXPECT_FALSE(pVehicle->IsRunning());
}

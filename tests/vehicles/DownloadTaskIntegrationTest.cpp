#include "vehicles/DownloadTask.h"

#include "control/ByteOrder.h"
#include "control/UDPSrv.h"
#include "core/NotifyCenter.h"
#include "depot/FleetHistory.h"
#include "depot/MissedRecording.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "support/ListenPorts.h"
#include "support/LogFile.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"
#include "vehicles/ControlRouter.h"
#include "vehicles/Vehicle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

// One channel task of a real vehicle, its recorder played by the test.
class DownloadTaskTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        SpreadListenPorts();
        Timing().nReplyWaitMs = 3000;
        Timing().nNoAnswerRetryMs = 50;
        auto pConfig = std::make_shared<ServerConfig>(*DefaultServerConfig());
        ServerSettings& settings = pConfig->settings;
        settings.nPort = 0;
        std::strcpy(settings.szDownDir, At("store").c_str());
        settings.tStart = 1000;
        settings.tStop = 100000;
        settings.nFileType = 2;
        m_center.Register(&m_observer);
        m_pServer = BindOwnServer(pConfig, m_center);
        m_peer.SetServerPort(m_pServer->Control().LocalPort());
        VehicleInfo info;
        std::strcpy(info.szIP, "127.0.0.1");
        info.nPort = m_peer.Port();
        info.nChannels = 1;
        std::strcpy(info.szName, "V1");
        m_pVehicle = std::make_unique<CVehicle>(info, 0, CDownloadTask::RunChannel, m_pServer->Parts());
    }

    void TearDown() override
    {
        m_pVehicle.reset();
        m_pServer.reset();
        Sandbox::TearDown();
    }

    // The next request of the task, decoded; file count queries are answered on the
    // way unless bCounts asks for them.
    std::pair<ControlHeader, std::vector<unsigned char>> NextRequest(bool bCounts = false)
    {
        for (;;) {
            auto datagram = m_peer.Receive(5000);
            ControlHeader header;
            if (!datagram || !DecodeHeader(datagram->data(), datagram->size(), &header)) {
                ADD_FAILURE() << "no request from the task";
                return {};
            }
            if (header.command == ZELP_QUERY_FILE_COUNT && !bCounts) {
                DecodeQuery(datagram->data() + 20, datagram->size() - 20, &m_countQuery);
                Reply(header, 200, std::vector<unsigned char>(kFileCountRecordSize));
                continue;
            }
            return {header, std::vector<unsigned char>(datagram->begin() + 20, datagram->end())};
        }
    }

    void Reply(const ControlHeader& request, std::uint16_t nStatus, const std::vector<unsigned char>& payload = {})
    {
        m_peer.Send(ScriptedPeer::Reply(request.command, nStatus, request.transactionId, payload));
    }

    QueryPayload m_countQuery {};  // the last count query answered on the way
    RecordingObserver m_observer;
    CNotifyCenter m_center;
    ScriptedPeer m_peer;
    std::unique_ptr<CDepotServer> m_pServer;
    std::unique_ptr<CVehicle> m_pVehicle;
};

} // namespace

TEST_F(DownloadTaskTest, FirstQueryCoversTheSpanAndANameTooLongToRequestIsSkippedAndReported)
{
    m_pVehicle->Start();
    auto [query, payload] = NextRequest();
    ASSERT_EQ(query.command, ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN);
    QueryPayload decoded;
    ASSERT_TRUE(DecodeQuery(payload.data(), payload.size(), &decoded));
    EXPECT_EQ(decoded.start, 1000u);
    EXPECT_EQ(decoded.end, 100000u);
    EXPECT_EQ(decoded.fileType, 2);  // alarm recordings
    EXPECT_EQ(decoded.channel, 1);

    // 33 characters: fits the reply's field, not the request's.
    const char* szLong = "ch01_a_recorder_name_of_33_chars_";
    ASSERT_EQ(std::strlen(szLong), 33u);
    Reply(query, 200, ScriptedPeer::EarliestRecord(szLong, 2000, 2600));

    auto [next, nextPayload] = NextRequest();
    ASSERT_EQ(next.command, ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN) << "the long name must not be requested";
    ASSERT_TRUE(DecodeQuery(nextPayload.data(), nextPayload.size(), &decoded));
    EXPECT_EQ(decoded.start, 2600u);  // past the recording that cannot be fetched
    Reply(next, 404);

    // The recording is still on the recorder: the pass ends without "download
    // finished!", and the fleet history names what was left and why.
    ASSERT_TRUE(WaitFor([this] { return !m_pVehicle->IsRunning(); }));
    EXPECT_TRUE(LogHas(std::string("vehname=V1, chan=1, recorder's file name ") + szLong +
                       " too long for a request, recording skipped"));
    EXPECT_TRUE(LogHas("vehname=V1, chan=1, download incomplete: 1 recordings skipped, left for the next pass"));
    EXPECT_FALSE(LogHas("vehname=V1, chan=1, download finished!"));
    EXPECT_TRUE(LogHas("vehname=V1, chan=1, SendQueryFileCmd tStart: 19700101001640, tEnd: 19700102034640 FileType: 2"));
    std::vector<MissedRecording> missed = Control().History().MissedRecordings("V1");
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].strFileName, szLong);
    EXPECT_NE(missed[0].strReason.find("too long for a request"), std::string::npos) << missed[0].strReason;
    // The count for the fleet history was asked beside the task, over the same span
    // (perhaps only after the task's own requests: it waits in the peer's queue then).
    while (m_countQuery.end == 0) {
        auto datagram = m_peer.Receive(1000);
        ControlHeader header;
        ASSERT_TRUE(datagram && DecodeHeader(datagram->data(), datagram->size(), &header)) << "no count query";
        if (header.command == ZELP_QUERY_FILE_COUNT) {
            ASSERT_TRUE(DecodeQuery(datagram->data() + 20, datagram->size() - 20, &m_countQuery));
        }
    }
    EXPECT_EQ(m_countQuery.start, 1000u);
    EXPECT_EQ(m_countQuery.end, 100000u);
}

TEST_F(DownloadTaskTest, StopEndsTheRetryPauseAfterARefusalAtOnce)
{
    // Far beyond any test's time: only the stop can end it.
    Timing().nRefusedRetryMs = 3600000;
    m_pVehicle->Start();
    auto [query, payload] = NextRequest();
    Reply(query, 200, ScriptedPeer::EarliestRecord("ch01_rec", 2000, 2600));
    auto [get, getPayload] = NextRequest();
    ASSERT_EQ(get.command, ZELP_GETFILE);
    GetFileRequest request;
    ASSERT_TRUE(DecodeGetFileRequest(getPayload.data(), getPayload.size(), &request));
    EXPECT_STREQ(request.szFileName, "ch01_rec");
    EXPECT_EQ(request.nSeek, 0u);
    Reply(get, 500);
    ASSERT_TRUE(m_pVehicle->IsRunning());
    // The refusal is logged as the pause begins.
    ASSERT_TRUE(WaitFor([] { return LogHas("ZELP_GETFILE chan 1: ch01_rec, seek=0, get response: 500\r\n"); }));
    m_pVehicle->Stop();
    EXPECT_FALSE(m_pVehicle->IsRunning());
    // The task ended (the pass's count query, asked beside it, may log its quit later).
    std::vector<std::string> messages = ReadLogMessages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
        return m.rfind("vehname=V1, chan=1, download THREADEND(threadid:", 0) == 0;
    }));
}

// Footage requests against the recorder simulator: the requested window comes first,
// whatever the span, and leaves the channel's mark to the walk.
#include "e2e/E2eFixture.h"

#include "footage/FootageRequests.h"
#include "settings/WallClock.h"

#include <gtest/gtest.h>

namespace {

class FootageRequestE2eTest : public E2eFixture {
protected:
    std::int64_t Request(const std::string& vehicle, std::vector<std::uint8_t> channels, std::uint32_t tFrom,
                         std::uint32_t tTo)
    {
        FootageAsk ask;
        ask.strVehicle = vehicle;
        ask.channels = std::move(channels);
        ask.tFrom = tFrom;
        ask.tTo = tTo;
        ask.strReason = "collision report";
        ask.strRequestedBy = "window";
        std::int64_t nId = 0;
        std::string error;
        EXPECT_EQ(Control().Requests().Create(ask, WallClockNow(), nId, error),
                  CFootageRequests::CreateResult::Created)
            << error;
        return nId;
    }

    FootageRequest::State StateOf(std::int64_t nId)
    {
        std::optional<FootageRequest> request = Control().Requests().Get(nId);
        return request ? request->eState : FootageRequest::State::Cancelled;
    }

    bool WaitState(std::int64_t nId, FootageRequest::State eState, std::chrono::milliseconds timeout)
    {
        return WaitFor([&] { return StateOf(nId) == eState; }, timeout);
    }
};

} // namespace

TEST_F(FootageRequestE2eTest, ARequestOutsideTheRollingWindowMadeWhileAwaySurvivesARestartAndComesFirst)
{
    Configure();
    DepotSettings depot;
    depot.nRollingHours = 2;
    ConfigureDepot(depot);
    // Eight half-hour recordings up to ten minutes from now: the last four lie in the
    // rolling window, the second is requested.
    SimOptions options = Options({"BUS-0412"}, 1, 8, 60000);
    options.nRecSeconds = 1800;
    options.tStart = WallClockNow() - 4 * 3600 + 600;
    const CSimRecordings catalogue("BUS-0412", options);
    const auto& all = catalogue.All();
    const SimRecording& wanted = all[1];

    StartServer();
    const std::int64_t nId = Request("BUS-0412", {1}, wanted.tStart + 60, wanted.tStart + 600);
    EXPECT_EQ(StateOf(nId), FootageRequest::State::Waiting);
    Control().Stop();
    StartServer();
    EXPECT_EQ(StateOf(nId), FootageRequest::State::Waiting);

    StartSim(options);
    ASSERT_TRUE(WaitState(nId, FootageRequest::State::Done, 60s)) << m_pSim->Summary();
    ASSERT_TRUE(WaitFor([&] {
        for (std::size_t i = 4; i < all.size(); ++i)
            if (!fs::exists(FinalPath("BUS-0412", all[i])))
                return false;
        return true;
    }, 60s)) << m_pSim->Summary();

    // The request first, then the walk's footage; nothing else outside the window.
    EXPECT_EQ(ArrivalIndex("BUS-0412", wanted), 0);
    for (std::size_t i = 4; i < all.size(); ++i)
        EXPECT_EQ(ArrivalIndex("BUS-0412", all[i]), static_cast<int>(i) - 3) << i;
    std::vector<SimRecordingStats> stats = m_pSim->Recorder(0).Stats();
    EXPECT_EQ(stats[1].vecSeeks, (std::vector<std::uint32_t> {0}));
    for (std::size_t i : {0u, 2u, 3u})
        EXPECT_TRUE(stats[i].vecSeeks.empty()) << i;
    ExpectIdentical("BUS-0412", wanted);
    for (std::size_t i = 4; i < all.size(); ++i)
        ExpectIdentical("BUS-0412", all[i]);

    std::optional<FootageRequest> request = Control().Requests().Get(nId);
    ASSERT_TRUE(request.has_value());
    ASSERT_EQ(request->recordings.size(), 1u);
    const FootageRecording& rec = request->recordings[0];
    EXPECT_EQ(rec.nChannel, 1);
    EXPECT_EQ(rec.strFileName, wanted.strFileName);
    EXPECT_EQ(rec.tStart, wanted.tStart);
    EXPECT_EQ(rec.tEnd, wanted.tEnd);
    EXPECT_EQ(rec.nSize, wanted.nSize);
    EXPECT_TRUE(rec.bFetched);
    EXPECT_EQ(Dir() / "store" / rec.strPath, FinalPath("BUS-0412", wanted));
    EXPECT_TRUE(LogHas("footage request " + std::to_string(nId) + ": vehname=BUS-0412, done"));

    // The mark is the walk's: from the rolling window's start to the last recording,
    // nowhere near the requested window.
    ASSERT_TRUE(WaitFor([&] {
        ChannelMark mark = Control().History().CompleteMark("BUS-0412", 1);
        return mark.bSet && mark.tUpTo == all.back().tEnd;
    }, 30s));
    ChannelMark mark = Control().History().CompleteMark("BUS-0412", 1);
    EXPECT_GT(mark.tFrom, all[3].tStart);
    EXPECT_LE(mark.tFrom, all[4].tStart);
}

TEST_F(FootageRequestE2eTest, AWindowInsideTheSpanComesBeforeOlderAndNewerFootageWhichStillArrives)
{
    Configure();
    StartServer();
    SimOptions options = Options({"MIDDLE"}, 1, 5, 50000);
    const CSimRecordings catalogue("MIDDLE", options);
    const auto& all = catalogue.All();
    // Two recordings in the middle, one of them stored already.
    const std::int64_t nId = Request("MIDDLE", {}, all[2].tStart + 10, all[3].tEnd - 10);
    fs::create_directories(FinalPath("MIDDLE", all[3]).parent_path());
    std::string data(all[3].nSize, '\0');
    CSimRecordings::Fill(all[3].nSeed, 0, reinterpret_cast<unsigned char*>(data.data()), data.size());
    WriteFile(FinalPath("MIDDLE", all[3]), data);

    StartSim(options);
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    ASSERT_TRUE(WaitState(nId, FootageRequest::State::Done, 30s));
    EXPECT_EQ(ArrivalIndex("MIDDLE", all[2]), 0);
    EXPECT_EQ(ArrivalIndex("MIDDLE", all[3]), -1);  // never fetched again
    EXPECT_GT(ArrivalIndex("MIDDLE", all[0]), 0);
    EXPECT_GT(ArrivalIndex("MIDDLE", all[4]), 0);
    EXPECT_TRUE(m_pSim->Recorder(0).Stats()[3].vecSeeks.empty());

    std::optional<FootageRequest> request = Control().Requests().Get(nId);
    ASSERT_EQ(request->recordings.size(), 2u);
    EXPECT_TRUE(request->recordings[0].bFetched);
    EXPECT_FALSE(request->recordings[1].bFetched);
    EXPECT_EQ(request->recordings[1].nSize, all[3].nSize);
    // The walk still ends complete, stepping over what the request stored.
    ASSERT_TRUE(WaitFor([] { return CountLog("vehname=MIDDLE, chan=1, download finished!") >= 1; }, 10s));
}

TEST_F(FootageRequestE2eTest, ARecorderLackingPartOfTheWindowLeavesTheRequestPartialWithTheGap)
{
    Configure();
    StartServer();
    SimOptions options = Options({"GAP"}, 2, 2, 30000);
    const CSimRecordings catalogue("GAP", options);
    const SimRecording& first = catalogue.All().front();
    // Ten minutes before the recorder's first recording, to the end of that one.
    const std::int64_t nId = Request("GAP", {2}, first.tStart - 600, first.tEnd);
    StartSim(options);
    ASSERT_TRUE(WaitState(nId, FootageRequest::State::Partial, 60s)) << m_pSim->Summary();
    std::optional<FootageRequest> request = Control().Requests().Get(nId);
    EXPECT_FALSE(request->bRetry);
    EXPECT_EQ(request->reasons, (std::vector<std::string> {"channel 2: the recorder has no footage for " +
                                                            FormatTimeString(first.tStart - 600) + "-" +
                                                            FormatTimeString(first.tStart)}));
    ASSERT_EQ(request->recordings.size(), 1u);
    EXPECT_EQ(request->recordings[0].nChannel, 2);
    EXPECT_EQ(request->recordings[0].tStart, first.tStart);
    EXPECT_TRUE(fs::exists(Dir() / "store" / request->recordings[0].strPath));
    EXPECT_TRUE(Control().Requests().OpenRequests("GAP").empty());
}

TEST_F(FootageRequestE2eTest, ARecordingThatFailsIsRetriedAtTheNextVisitUntilTheRequestIsDone)
{
    Configure();
    StartServer();
    SimOptions options = Options({"RETRY"}, 1, 3, 30000);
    options.faults.bHeaderOnly = true;  // every transfer of this visit breaks
    const CSimRecordings catalogue("RETRY", options);
    const SimRecording& wanted = catalogue.All()[1];
    const std::int64_t nId = Request("RETRY", {1}, wanted.tStart, wanted.tEnd);
    StartSim(options);
    ASSERT_TRUE(WaitState(nId, FootageRequest::State::Partial, 60s)) << m_pSim->Summary();
    std::optional<FootageRequest> request = Control().Requests().Get(nId);
    EXPECT_TRUE(request->bRetry);
    ASSERT_FALSE(request->reasons.empty());
    EXPECT_NE(request->reasons[0].find(wanted.strFileName + " could not be fetched in this visit"), std::string::npos)
        << request->reasons[0];

    // The next visit, to a restarted server, with a recorder that sends whole files.
    m_pSim.reset();
    Control().Stop();
    StartServer();
    options.faults.bHeaderOnly = false;
    StartSim(options);
    ASSERT_TRUE(WaitState(nId, FootageRequest::State::Done, 60s)) << m_pSim->Summary();
    request = Control().Requests().Get(nId);
    ASSERT_EQ(request->recordings.size(), 1u);
    EXPECT_TRUE(request->recordings[0].bFetched);
    EXPECT_TRUE(fs::exists(FinalPath("RETRY", wanted)));
}

TEST_F(FootageRequestE2eTest, WithOneTransferSlotTheRequestedRecordingIsGrantedBeforeOlderOnes)
{
    Configure();
    DepotSettings depot;
    depot.nMaxTransfers = 1;
    ConfigureDepot(depot);
    StartServer();
    // Each transfer holds the one slot for most of a second, so every channel queues.
    SimOptions options = Options({"BUSA", "BUSB"}, 2, 2, 20000);
    options.faults.nConnectDelayMs = 800;
    const CSimRecordings catalogue("BUSA", options);
    const SimRecording& wanted = catalogue.All()[1];  // channel 1, the later of its two
    ASSERT_EQ(wanted.nChannel, 1);
    const std::int64_t nId = Request("BUSA", {1}, wanted.tStart, wanted.tEnd);
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(90s)) << m_pSim->Summary();
    ASSERT_TRUE(WaitState(nId, FootageRequest::State::Done, 10s));
    // Only a transfer that held the slot before the request queued may come first;
    // the three older recordings waiting beside it come after.
    EXPECT_LE(ArrivalIndex("BUSA", wanted), 1);
    EXPECT_LE(Server().Scheduler().PeakActive(), 1u);
}

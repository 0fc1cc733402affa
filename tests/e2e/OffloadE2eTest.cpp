// No recording is given up in silence: what fails is tried again at later passes,
// what is older than the newest stored recording is still fetched, and only a
// channel with nothing left counts as finished.
#include "e2e/E2eFixture.h"

#include "depot/MissedRecording.h"

#include <gtest/gtest.h>

namespace {

class OffloadE2eTest : public E2eFixture {
protected:
    // Puts the first nBytes of a recording's real content into the store, as a finished
    // file (nBytes == its size) or as a partial one.
    void PreStore(const std::string& vehicle, const SimRecording& rec, std::uint32_t nBytes)
    {
        fs::path dir = Dir() / "store" / vehicle / DateDirName(rec.tStart) / ChannelDirName(rec.nChannel);
        fs::create_directories(dir);
        std::string data(nBytes, '\0');
        CSimRecordings::Fill(rec.nSeed, 0, reinterpret_cast<unsigned char*>(data.data()), data.size());
        std::string name = nBytes == rec.nSize
                               ? FinalFileName(rec.nChannel, rec.tStart, rec.tEnd)
                               : PartialFileName(rec.nChannel, rec.tStart, rec.tEnd, rec.strFileName, rec.nSize);
        WriteFile(dir / name, data);
    }

    static std::string Done(const std::string& vehicle, int nChannel)
    {
        return "vehname=" + vehicle + ", chan=" + std::to_string(nChannel) + ", download finished!";
    }
};

} // namespace

TEST_F(OffloadE2eTest, RecordingsThatFailThreeTimesAreFetchedAtALaterPassAndOnlyThenIsTheChannelFinished)
{
    Configure();
    StartServer();
    SimOptions options = Options({"SKIP"}, 1, 5, 100000);
    // The first three transfers of every recording send the header and close, as a
    // connection dropping at the depot's edge would.
    options.faults.bHeaderOnly = true;
    options.faults.nCutCount = 3;
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    ASSERT_TRUE(WaitFor([] { return CountLog(Done("SKIP", 1)) >= 1; }, 10s));
    EXPECT_TRUE(FilesWithExtension(".td").empty());

    // Each was skipped once, in the first pass, and nothing was reported finished
    // before the last of them was stored.
    std::vector<std::string> messages = ReadLogMessages();
    auto finished = std::find(messages.begin(), messages.end(), Done("SKIP", 1));
    for (const SimRecording& rec : m_pSim->Recorder(0).Recordings().All()) {
        EXPECT_EQ(CountLog("vehname=SKIP, chan=1, recording " + rec.strFileName +
                           " failed 3 times in a row, skipped for this pass"),
                  1u);
        std::string stored = "file " + FinalFileName(1, rec.tStart, rec.tEnd) + " of channel 1 of SKIP is downloaded over!";
        auto at = std::find(messages.begin(), messages.end(), stored);
        ASSERT_NE(at, messages.end()) << stored;
        EXPECT_LT(at, finished) << stored;
    }
    EXPECT_GE(CountLog("vehname=SKIP, chan=1, download incomplete: 5 recordings skipped, left for the next pass"), 1u);
    Control().History().Flush();
    for (const FleetRecord& rec : Control().History().Snapshot(kT0)) {
        if (rec.strName == "SKIP") {
            EXPECT_NE(rec.tLastCompleteOffload, 0u);
        }
    }
    EXPECT_TRUE(Control().History().MissedRecordings("SKIP").empty());
}

TEST_F(OffloadE2eTest, OlderRecordingsAndAnOlderPartialFileThanTheNewestStoredAreFetched)
{
    Configure();
    SimOptions options = Options({"OLDER"}, 1, 5, 100000);
    CSimRecordings catalogue("OLDER", options);
    const auto& all = catalogue.All();
    // The newest stored recording is the fourth; the second is half there.
    PreStore("OLDER", all[3], all[3].nSize);
    PreStore("OLDER", all[1], 40000);
    StartServer();
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    EXPECT_TRUE(FilesWithExtension(".td").empty());
    ASSERT_TRUE(WaitFor([] { return CountLog(Done("OLDER", 1)) >= 1; }, 10s));
    for (const SimRecordingStats& stats : m_pSim->Recorder(0).Stats()) {
        if (stats.nIndex == 1)
            EXPECT_EQ(stats.vecSeeks, (std::vector<std::uint32_t> {40000})) << "resumed, not fetched again";
        else if (stats.nIndex == 3)
            EXPECT_TRUE(stats.vecSeeks.empty()) << "stored already: never requested";
        else
            EXPECT_EQ(stats.vecSeeks, (std::vector<std::uint32_t> {0})) << stats.strFileName;
    }
}

TEST_F(OffloadE2eTest, TheNextVisitStartsWhereFetchingWasCompleteAndStepsOverWhatIsStored)
{
    Configure();
    StartServer();
    SimOptions options = Options({"AGAIN"}, 1, 4, 50000);
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ASSERT_TRUE(WaitFor([] { return CountLog(Done("AGAIN", 1)) >= 1; }, 10s));
    m_pSim.reset();
    Control().Stop();
    const CSimRecordings catalogue("AGAIN", options);
    const SimRecording& last = catalogue.All().back();
    const std::string fromSpanStart = "vehname=AGAIN, chan=1, SendQueryFileCmd tStart: " +
                                      FormatTimeString(kT0 - 60) + ", tEnd: " + FormatTimeString(kT0 + 86400) +
                                      " FileType: 255";
    const std::string fromLastEnd = "vehname=AGAIN, chan=1, SendQueryFileCmd tStart: " +
                                    FormatTimeString(last.tEnd) + ", tEnd: " + FormatTimeString(kT0 + 86400) +
                                    " FileType: 255";
    const std::size_t nFromStart = CountLog(fromSpanStart);
    const std::size_t nFromEnd = CountLog(fromLastEnd);
    const std::size_t nDone = CountLog(Done("AGAIN", 1));
    EXPECT_EQ(nFromStart, 1u);  // the first pass of all

    // A new start of the server: the history keeps the mark, so the next visit asks
    // from the end of the last recording, not from the span start.
    StartServer();
    StartSim(options);
    ASSERT_TRUE(WaitFor([nDone] { return CountLog(Done("AGAIN", 1)) > nDone; }, 20s));
    EXPECT_GT(CountLog(fromLastEnd), nFromEnd);
    EXPECT_EQ(CountLog(fromSpanStart), nFromStart);
    EXPECT_EQ(m_pSim->Totals().nFileRequests, 0u);
}

TEST_F(OffloadE2eTest, ARecordingThatNeverArrivesIsReportedAndTheOffloadIsNotComplete)
{
    Configure();
    StartServer();
    SimOptions options = Options({"NEVER"}, 1, 1, 50000);
    options.faults.bHeaderOnly = true;  // every transfer
    StartSim(options);
    const SimRecording& rec = m_pSim->Recorder(0).Recordings().All().front();
    ASSERT_TRUE(WaitFor([] { return CountLog("vehname=NEVER, chan=1, download incomplete: 1 recordings skipped, "
                                             "left for the next pass") >= 2; },
                        30s));
    EXPECT_EQ(CountLog(Done("NEVER", 1)), 0u);
    std::vector<MissedRecording> missed = Control().History().MissedRecordings("NEVER");
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].strFileName, rec.strFileName);
    EXPECT_EQ(missed[0].tStart, rec.tStart);
    EXPECT_EQ(missed[0].eState, MissedRecording::State::Retrying);  // one visit so far
    EXPECT_NE(missed[0].strReason.find("transfer broke off"), std::string::npos) << missed[0].strReason;
    for (const FleetRecord& fleet : Control().History().Snapshot(kT0)) {
        if (fleet.strName == "NEVER") {
            EXPECT_EQ(fleet.tLastCompleteOffload, 0u);
        }
    }
}

TEST_F(OffloadE2eTest, ARecorderThatNeverAnswersTheCountQueryDelaysNoChannel)
{
    Timing().nPendingReplyWaitMs = 3000;
    Configure();
    StartServer();
    SimOptions options = Options({"NOCOUNT"}, 4, 1, 20000);
    options.faults.bNoCount = true;
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(30s)) << m_pSim->Summary();
    ASSERT_TRUE(WaitFor([] { return CountLog("ZELP_QUERY_FILE_COUNT FAILED!") >= 1; }, 10s));
    // Every channel asked for its first recording before the count query gave up.
    std::vector<std::string> messages = ReadLogMessages();
    auto failed = std::find(messages.begin(), messages.end(), "ZELP_QUERY_FILE_COUNT FAILED!");
    for (int nChannel = 1; nChannel <= 4; ++nChannel) {
        std::string prefix = "vehname=NOCOUNT, chan=" + std::to_string(nChannel) + ", SendQueryFileCmd tStart: ";
        auto first = std::find_if(messages.begin(), messages.end(),
                                  [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
        EXPECT_LT(first, failed) << nChannel;
    }
    // One line for the whole visit, however many passes and channels.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(CountLog("ZELP_QUERY_FILE_COUNT FAILED!"), 1u);
}

TEST_F(OffloadE2eTest, AThirtyTwoByteVehicleNameIsServed)
{
    Configure();
    StartServer();
    const std::string name(32, 'N');
    StartSim(Options({name}, 1, 2, 30000));
    const std::string registered = name.substr(0, 31);
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const SimRecording& rec : m_pSim->Recorder(0).Recordings().All())
                if (!fs::exists(FinalPath(registered, rec)))
                    return false;
            return true;
        },
        30s))
        << m_pSim->Summary();
    EXPECT_FALSE(fs::exists(Dir() / "store" / name));
}

#include "depot/FleetHistory.h"
#include "depot/TransferScheduler.h"
#include "e2e/E2eFixture.h"
#include "footage/RecordingCatalogue.h"
#include "settings/WallClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>

namespace {

// The unattended-depot features against the recorder simulator.
class DepotE2eTest : public E2eFixture {
protected:
    void SetUp() override
    {
        // Before the server starts the runner, which reads them.
        Timing().nRetentionSpaceMs = 100;
        Timing().nHistoryFlushMs = 20;
        E2eFixture::SetUp();
    }

    void TearDown() override
    {
        m_pOtherSim.reset();
        E2eFixture::TearDown();
    }

    static const FleetRecord* FindRecord(const std::vector<FleetRecord>& records, const std::string& name)
    {
        for (const FleetRecord& record : records)
            if (record.strName == name)
                return &record;
        return nullptr;
    }

    std::unique_ptr<CDvrSimulator> m_pOtherSim;
};

} // namespace

TEST_F(DepotE2eTest, RollingWindowFetchesARecordingMadeAfterStartWithoutARestart)
{
    Configure();
    DepotSettings depot;
    depot.nRollingHours = 1;
    ConfigureDepot(depot);
    StartServer();
    // The second recording begins two seconds after the server started: a fixed span
    // read at Start would never reach it.
    std::uint32_t tStarted = WallClockNow();
    SimOptions options = Options({"ROLL-1"}, 1, 2, 40000);
    options.tStart = tStarted - 2;
    options.nRecSeconds = 4;
    StartSim(options);
    const auto& recordings = m_pSim->Recorder(0).Recordings().All();
    ASSERT_GT(recordings[1].tStart, tStarted);

    ASSERT_TRUE(WaitAllStored(30s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    // More than one pass ran: the later one found the new recording.
    EXPECT_GE(CountLog("Start download task for ROLL-1"), 2u);
    EXPECT_TRUE(Control().IsRunning());
}

TEST_F(DepotE2eTest, TransferLimitServesTheOldestFootageFirstAndEveryRecordingArrives)
{
    Configure();
    DepotSettings depot;
    depot.nMaxTransfers = 2;
    ConfigureDepot(depot);
    StartServer();
    CTransferScheduler& scheduler = Server().Scheduler();
    scheduler.ResetPeak();

    std::mutex lock;
    std::vector<std::string> requests;  // vehicle of each file request, in order
    auto sink = [&](const std::string& line) {
        if (line.find(": file request ") == std::string::npos)
            return;
        std::lock_guard guard(lock);
        requests.push_back(line.substr(0, line.find(':')));
    };

    // Newer footage arrives first and takes both slots for a while.
    SimOptions newer = Options({}, 1, 1, 30000);
    newer.strNamePrefix = "NEW";
    newer.nVehicles = 5;
    newer.tStart = kT0 + 3600;
    newer.nVerbosity = 1;
    newer.faults.nConnectDelayMs = 1500;
    m_pSim = std::make_unique<CDvrSimulator>(newer);
    m_pSim->SetLineSink(sink);
    ASSERT_EQ(m_pSim->Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return scheduler.Queued() == 3; }, 10s)) << scheduler.Queued();

    SimOptions older = Options({}, 1, 2, 30000);
    older.strNamePrefix = "OLD";
    older.nVehicles = 5;
    older.tStart = kT0;
    older.nVerbosity = 1;
    m_pOtherSim = std::make_unique<CDvrSimulator>(older);
    m_pOtherSim->SetLineSink(sink);
    ASSERT_EQ(m_pOtherSim->Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return scheduler.Queued() == 8; }, 10s)) << scheduler.Queued();

    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    auto pNewer = std::move(m_pSim);
    m_pSim = std::move(m_pOtherSim);
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    m_pOtherSim = std::move(pNewer);

    EXPECT_EQ(scheduler.PeakActive(), 2u);
    std::lock_guard guard(lock);
    ASSERT_EQ(requests.size(), 15u);
    // Two newer ones held the slots; each slot freed went to the older footage.
    for (std::size_t i = 0; i < requests.size(); ++i) {
        bool bOlder = requests[i].rfind("OLD", 0) == 0;
        if (i < 2) {
            EXPECT_FALSE(bOlder) << i;
        } else if (i < 7) {
            EXPECT_TRUE(bOlder) << i << " " << requests[i];
        }
    }
}

TEST_F(DepotE2eTest, RetentionDeletesTheOldestRecordingsWhileDownloadsGoOn)
{
    Configure();
    DepotSettings depot;
    depot.nMinFreeMb = 2;
    ConfigureDepot(depot);

    // An offline vehicle's four old recordings and a partial one; one recording of the
    // vehicle that will be downloading, older than all of them.
    auto put = [&](const std::string& vehicle, std::uint32_t tStart, const std::string& name) {
        fs::path dir = Dir() / "store" / vehicle / DateDirName(tStart) / "ch01";
        fs::create_directories(dir);
        WriteFile(dir / name, std::string(1000, 'r'));
        return dir / name;
    };
    std::vector<fs::path> parked;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t tStart = kT0 - 86400 * (4 - i);
        parked.push_back(put("PARKED", tStart, FinalFileName(1, tStart, tStart + 300)));
    }
    fs::path partial = put("PARKED", kT0 - 86400 * 5, PartialFileName(1, kT0 - 86400 * 5, kT0 - 86400 * 5 + 300,
                                                                       "ch01_x", 5000));
    fs::path busyOld = put("ACTIVE", kT0 - 86400 * 6, FinalFileName(1, kT0 - 86400 * 6, kT0 - 86400 * 6 + 300));

    // Plenty of space until the vehicle downloads; then each deleted parked recording
    // frees 1 MiB.
    static std::atomic<bool> bLow;
    bLow = false;
    Control().SetRetentionQuery([parked](const std::string&) -> std::optional<std::uint64_t> {
        if (!bLow)
            return std::uint64_t {1} << 40;
        std::uint64_t nGone = 0;
        for (const fs::path& path : parked)
            nGone += fs::exists(path) ? 0 : 1;
        return nGone << 20;
    });
    StartServer();
    SimOptions options = Options({"ACTIVE"}, 1, 4, 100000);
    options.faults.nConnectDelayMs = 400;
    StartSim(options);
    ASSERT_TRUE(WaitFor([this] { return Server().Registry().DownloadingNames().count("ACTIVE") == 1; }, 10s));
    bLow = true;

    // 2 MiB and 10%: three deletions, oldest first.
    // Each deletion is logged after its file is gone.
    ASSERT_TRUE(WaitFor([&] { return !fs::exists(parked[2]) && CountLogContaining("Retention: deleted") >= 3; },
                        10s));
    EXPECT_FALSE(fs::exists(parked[0]));
    EXPECT_FALSE(fs::exists(parked[1]));
    EXPECT_TRUE(fs::exists(parked[3]));
    EXPECT_EQ(CountLogContaining("Retention: deleted"), 3u);
    EXPECT_TRUE(Server().Registry().DownloadingNames().count("ACTIVE") == 1) << "deleted after the download";
    EXPECT_TRUE(fs::exists(partial));
    EXPECT_TRUE(fs::exists(busyOld));

    ASSERT_TRUE(WaitAllStored(30s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    // The retention thread calls the query above: it ends before the query's locals.
    Control().Stop();
}

TEST_F(DepotE2eTest, EveryStoredRecordingGetsACatalogueRowHashedInTheBackground)
{
    Configure();
    // Stored by an earlier run that had no catalogue: the start's walk finds it.
    const fs::path earlier = Dir() / "store" / "OLDBUS" / DateDirName(kT0 - 600) / "ch02" /
                             FinalFileName(2, kT0 - 600, kT0 - 300);
    fs::create_directories(earlier.parent_path());
    WriteFile(earlier, "earlier footage");
    StartServer();
    StartSim(Options({"CAT1", "CAT2"}, 2, 2, 300000));
    ASSERT_TRUE(WaitAllStored(30s)) << m_pSim->Summary();

    CRecordingCatalogue& catalogue = Control().Catalogue();
    CatalogueQuery query;
    query.nLimit = 100;
    ASSERT_TRUE(WaitFor([&] {
        std::vector<CatalogueRow> rows = catalogue.Find(query).rows;
        return rows.size() == 9 && std::all_of(rows.begin(), rows.end(), [](const CatalogueRow& row) {
                   return row.IsHashed();
               });
    }, 20s)) << catalogue.Find(query).rows.size() << " rows";
    for (std::size_t i = 0; i < m_pSim->Count(); ++i) {
        const CSimRecorder& recorder = m_pSim->Recorder(i);
        for (const SimRecording& rec : recorder.Recordings().All()) {
            std::vector<CatalogueRow> rows = catalogue.Covering(recorder.Name(), {rec.nChannel}, rec.tStart, rec.tEnd);
            ASSERT_EQ(rows.size(), 1u) << recorder.Name() << " ch" << rec.nChannel << " " << rec.tStart;
            const CatalogueRow& row = rows[0];
            EXPECT_EQ(row.tStart, rec.tStart);
            EXPECT_EQ(row.tEnd, rec.tEnd);
            EXPECT_EQ(row.nSize, rec.nSize);
            EXPECT_EQ(catalogue.AbsolutePath(row), FinalPath(recorder.Name(), rec).string());
            FileDigest digest;
            ASSERT_EQ(DigestFile(FinalPath(recorder.Name(), rec).string(), digest), 0);
            EXPECT_EQ(row.strSha256, digest.strSha256);
            EXPECT_EQ(row.nCrc32, digest.nCrc32);
            EXPECT_TRUE(catalogue.Verify(row.nId).bMatch);
        }
    }
    std::vector<CatalogueRow> old = catalogue.Covering("OLDBUS", {}, 0, 0);
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].strSha256, DigestBytes("earlier footage").strSha256);
    Control().Stop();
}

TEST_F(DepotE2eTest, FleetHistoryCountsSurviveARestartAndShowWhatAVehicleLeftBehind)
{
    // The process-wide history still holds the vehicles of the tests before this one.
    const std::size_t nEarlier = Control().History().Snapshot(WallClockNow()).size();
    Configure();
    StartServer();
    SimOptions options = Options({"FULL-1"}, 2, 2, 50000);
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(30s)) << m_pSim->Summary();
    ASSERT_TRUE(WaitFor([this] {
        auto records = Control().History().Snapshot(WallClockNow());
        const FleetRecord* pFull = FindRecord(records, "FULL-1");
        return pFull && pFull->tLastCompleteOffload != 0;
    }, 10s));

    // A vehicle that leaves after its first recording: its keepalives stop, and the
    // clock jumps so that it expires at once (the first one has gone home).
    m_pSim.reset();
    SimOptions leaving = Options({"LEAVER"}, 1, 5, 50000);
    leaving.faults.nConnectDelayMs = 700;
    leaving.faults.nKeepAliveStopS = 1;
    m_pOtherSim = std::make_unique<CDvrSimulator>(leaving);
    ASSERT_EQ(m_pOtherSim->Start(), 0);
    ASSERT_TRUE(m_pOtherSim->WaitCompleted(1, 15000));
    // Sent is not stored: the server's receiver may still be reading the last bytes.
    ASSERT_TRUE(WaitFor([this] {
        auto records = Control().History().Snapshot(WallClockNow());
        const FleetRecord* pLeaver = FindRecord(records, "LEAVER");
        return pLeaver && pLeaver->nFilesTotal >= 1;
    }, 15s));
    m_nClockOffset = 60;
    ASSERT_TRUE(WaitFor([this] {
        std::vector<std::string> online;
        Server().Registry().GetNames(online);
        auto records = Control().History().Snapshot(WallClockNow());
        const FleetRecord* pLeaver = FindRecord(records, "LEAVER");
        return online.empty() && pLeaver && pLeaver->nPending >= 0;
    }, 15s));
    Control().Stop();
    // What the server stored (a transfer the expiry cut stays partial, for the next visit).
    std::uint64_t nLeaverFiles = 0;
    for (const fs::path& path : FilesWithExtension(".mp4"))
        nLeaverFiles += path.string().find("/LEAVER/") != std::string::npos;
    Control().History().Close();

    // Another process later: the same figures from the database.
    CFleetHistory reopened(At(CFleetHistory::kDefaultPath));
    ASSERT_EQ(reopened.Open(), 0);
    auto records = reopened.Snapshot(WallClockNow());
    ASSERT_EQ(records.size(), nEarlier + 2);
    const FleetRecord* pFull = FindRecord(records, "FULL-1");
    const FleetRecord* pLeaver = FindRecord(records, "LEAVER");
    ASSERT_TRUE(pFull && pLeaver);
    EXPECT_EQ(pFull->nVisits, 1u);
    EXPECT_EQ(pFull->nFilesTotal, 4u);
    EXPECT_EQ(pFull->nBytesTotal, 4u * 50000);
    EXPECT_EQ(pFull->nFilesToday, 4u);
    EXPECT_EQ(pFull->nPending, 0);
    EXPECT_NE(pFull->tLastCompleteOffload, 0u);
    EXPECT_EQ(pFull->strLastAddress.rfind("127.0.0.1:", 0), 0u);

    EXPECT_EQ(pLeaver->nFilesTotal, nLeaverFiles);
    EXPECT_EQ(pLeaver->tLastCompleteOffload, 0u);
    EXPECT_EQ(pLeaver->nPending, static_cast<std::int64_t>(5 - nLeaverFiles));
}

TEST_F(DepotE2eTest, DiskCheckRetentionAndHistoryWritesShareOneThreadThatStopEnds)
{
    Configure();
    DepotSettings depot;
    depot.nRetainDays = 30;
    depot.nMinFreeMb = 2;
    ConfigureDepot(depot);
    Timing().nDiskCheckPeriodMs = 20;
    std::atomic<int> nDiskThread {0};
    std::atomic<int> nRetentionThread {0};
    std::atomic<int> nChecks {0};
    CServerControl& control = Control();
    control.DiskMonitor().SetQuery([&](const std::string&) {
        nDiskThread = CurrentThreadId();
        ++nChecks;
        return std::optional<std::uint64_t>(std::uint64_t(1) << 40);
    });
    control.SetRetentionQuery([&](const std::string&) {
        nRetentionThread = CurrentThreadId();
        ++nChecks;
        return std::optional<std::uint64_t>(std::uint64_t(1) << 40);
    });
    StartServer();
    ASSERT_TRUE(WaitFor([&] { return nDiskThread != 0 && nRetentionThread != 0; }));
    const int nRunner = Server().Runner().ThreadId();
    EXPECT_NE(nRunner, 0);
    EXPECT_NE(nRunner, CurrentThreadId());
    EXPECT_EQ(nDiskThread, nRunner);
    EXPECT_EQ(nRetentionThread, nRunner);

    // Ending that one thread ends all the periodic work, while the server runs on.
    const std::size_t nRunning = ThreadCount();
    Server().Runner().Stop();
    EXPECT_EQ(nRunning - ThreadCount(), 1u) << ThreadNames();
    const int nChecksAfter = nChecks;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(nChecks, nChecksAfter);
    EXPECT_TRUE(control.IsRunning());
}

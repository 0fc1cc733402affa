#include "e2e/E2eFixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <set>

namespace {
using DownloadE2eTest = E2eFixture;
} // namespace

TEST_F(DownloadE2eTest, CutTransfersResumeFromThePartialSize)
{
    Configure();
    StartServer();
    SimOptions options = Options({"CUT"}, 1, 2, 300000);
    options.faults.nCutAfterBytes = 120000;
    options.faults.nCutCount = 1;  // each recording breaks once
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    for (const SimRecordingStats& stats : m_pSim->Recorder(0).Stats())
        EXPECT_EQ(stats.vecSeeks, (std::vector<std::uint32_t> {0, 120000})) << stats.strFileName;
    EXPECT_TRUE(FilesWithExtension(".td").empty());
}

TEST_F(DownloadE2eTest, PartialFileThatNoLongerMatchesIsDeletedAndFetchedAgain)
{
    Configure();
    SimOptions options = Options({"STALE"}, 1, 1, 100000);
    CSimRecordings catalogue("STALE", options);
    const SimRecording& rec = catalogue.All().front();
    fs::path dir = Dir() / "store" / "STALE" / DateDirName(rec.tStart) / ChannelDirName(1);
    fs::create_directories(dir);
    // A partial file under another recorder name, as if the recorder had renumbered.
    std::string stale = PartialFileName(1, rec.tStart, rec.tEnd, "ch01_other_name", rec.nSize);
    WriteFile(dir / stale, std::string(5000, 'x'));
    StartServer();
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    EXPECT_FALSE(fs::exists(dir / stale));
    EXPECT_EQ(CountLog("vehname=STALE, chan=1, unmatched size or filename,delete the td file: " + stale), 1u);
    EXPECT_EQ(m_pSim->Recorder(0).Stats().front().vecSeeks, std::vector<std::uint32_t> {0});
}

TEST_F(DownloadE2eTest, VehicleWhoseKeepalivesStopIsRemovedAndResumedAtItsNextVisit)
{
    Configure();
    StartServer();
    SimOptions options = Options({"LEAVER"}, 1, 1, 4000000);
    options.faults.nCutAfterBytes = 65536;  // every transfer breaks: the file grows slowly
    options.faults.nConnectDelayMs = 100;
    options.faults.nKeepAliveStopS = 1;
    StartSim(options);
    ASSERT_TRUE(WaitFor([this] { return !FilesWithExtension(".td").empty(); }, 20s));
    std::this_thread::sleep_for(1200ms);  // keepalives have stopped
    m_nClockOffset = 25;                  // more than 20 s of silence
    ASSERT_TRUE(WaitFor(
        [this] {
            std::vector<std::string> names;
            Server().Registry().GetNames(names);
            return names.empty();
        },
        10s));
    m_pSim.reset();
    auto partial = FilesWithExtension(".td");
    ASSERT_EQ(partial.size(), 1u);
    std::uintmax_t nPartial = fs::file_size(partial.front());
    EXPECT_GT(nPartial, 0u);
    EXPECT_LT(nPartial, 4000000u);

    // Next visit: a well-behaved recorder of the same name resumes where it broke off.
    m_nClockOffset = 0;
    StartSim(Options({"LEAVER"}, 1, 1, 4000000));
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    auto seeks = m_pSim->Recorder(0).Stats().front().vecSeeks;
    ASSERT_FALSE(seeks.empty());
    EXPECT_EQ(seeks.front(), nPartial);
}

TEST_F(DownloadE2eTest, StopMidTransferEndsEveryThreadAndStartResumes)
{
    Configure();
    StartServer();
    SimOptions options = Options({"STOPPER"}, 2, 1, 4000000);
    options.faults.nCutAfterBytes = 65536;
    options.faults.nConnectDelayMs = 100;
    StartSim(options);
    // Both partial files hold bytes: the next visit has something to resume from.
    ASSERT_TRUE(WaitFor([this] {
        auto partials = FilesWithExtension(".td");
        std::error_code ec;
        return partials.size() == 2 && fs::file_size(partials[0], ec) > 0 && fs::file_size(partials[1], ec) > 0;
    }, 20s));
    Control().Stop();
    m_pSim.reset();
    // Every server thread has ended: only the process-wide notification thread (and
    // the monitor-free remainder) is left of what the run started.
    EXPECT_TRUE(WaitFor([this] { return ThreadCount() <= m_nBaselineThreads + kSanitizerThreads; }, 5s))
        << m_nBaselineThreads << " before the run; now " << ThreadNames();
    EXPECT_EQ(LastLogMessage(), "Server stops");
    EXPECT_EQ(Control().Server(), nullptr);  // and every vehicle with it

    StartServer();
    StartSim(Options({"STOPPER"}, 2, 1, 4000000));
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    for (const SimRecordingStats& stats : m_pSim->Recorder(0).Stats()) {
        ASSERT_FALSE(stats.vecSeeks.empty());
        EXPECT_GT(stats.vecSeeks.front(), 0u) << "resumed, not fetched again";
    }
}

TEST_F(DownloadE2eTest, ComponentModeIndexesEachFinishedFileOnce)
{
    Configure(0, true);
    StartServer();
    StartSim(Options({"INDEXED"}, 2, 2, 50000));
    ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
    std::string index;
    ASSERT_TRUE(WaitFor(
        [&] {
            index = ReadFile(Dir() / "xmlDataRecords.xml");
            std::size_t n = 0;
            for (std::size_t nPos = 0; (nPos = index.find("<record>", nPos)) != std::string::npos; ++nPos)
                ++n;
            return n == 4;
        },
        5s))
        << index;
    for (const SimRecording& rec : m_pSim->Recorder(0).Recordings().All()) {
        std::string record = "<puid>INDEXED</puid>\r\n<username>Admin</username>\r\n<chan>" +
                             std::to_string(rec.nChannel) + "</chan>\r\n<starttime>" + FormatTimeString(rec.tStart) +
                             "</starttime>\r\n<endtime>" + FormatTimeString(rec.tEnd) + "</endtime>";
        EXPECT_NE(index.find(record), std::string::npos) << record << "\n" << index;
    }
}

TEST_F(DownloadE2eTest, SpecialConfigurationChoosesChannelSpanAndType)
{
    Configure();
    SpecialConfigEntry entry;
    std::strcpy(entry.szPlate, "SPECIAL");
    entry.nChan = 2;
    entry.tStart = kT0 + 300;  // skips the first recording
    entry.tStop = kT0 + 86400;
    entry.nFileType = 2;       // alarm recordings only
    SaveSpecialConfig(1, {entry}, Settings());
    StartServer();
    SimOptions options = Options({"SPECIAL"}, 3, 4, 20000);
    options.vecRecordTypes = {0, 2};  // timing, alarm, timing, alarm
    StartSim(options);
    std::vector<fs::path> expected;
    CSimRecordings catalogue("SPECIAL", options);
    for (const SimRecording& rec : catalogue.All()) {
        if (rec.nChannel == 2 && rec.nType == 2 && rec.tStart >= entry.tStart)
            expected.push_back(FinalPath("SPECIAL", rec));
    }
    ASSERT_EQ(expected.size(), 2u);
    ASSERT_TRUE(WaitFor([] { return CountLog("vehname=SPECIAL, chan=2, download finished!") == 1; }, 30s));
    auto stored = FilesWithExtension(".mp4");
    std::sort(stored.begin(), stored.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(stored, expected);
    auto messages = ReadLogMessages();
    EXPECT_TRUE(std::none_of(messages.begin(), messages.end(), [](const std::string& message) {
        return message.rfind("vehname=SPECIAL, chan=1,", 0) == 0 || message.rfind("vehname=SPECIAL, chan=3,", 0) == 0;
    }));
}

TEST_F(DownloadE2eTest, UnsafeNamesFromTheNetworkNeverLeaveTheStore)
{
    Configure();
    StartServer();
    SimOptions vehicleOptions = Options({"EVIL"}, 1, 1, 1000);
    vehicleOptions.faults.bUnsafeVehicle = true;  // registers as "../EVIL"
    StartSim(vehicleOptions);
    std::string refused = "Registration from 127.0.0.1:" + std::to_string(m_pSim->Recorder(0).LocalPort()) +
                          " refused: unusable vehicle name";
    EXPECT_TRUE(WaitFor([&] { return CountLog(refused) >= 1; }, 10s));
    m_pSim.reset();

    SimOptions fileOptions = Options({"FILES"}, 1, 1, 1000);
    fileOptions.faults.bUnsafeFile = true;  // recorder file names hold "/"
    StartSim(fileOptions);
    EXPECT_TRUE(WaitFor(
        [] {
            auto messages = ReadLogMessages();
            return std::any_of(messages.begin(), messages.end(), [](const std::string& message) {
                return message.rfind("vehname=FILES, chan=1, recorder's file name", 0) == 0 &&
                       message.find("unusable as a file name, recording skipped") != std::string::npos;
            });
        },
        10s));
    m_pSim.reset();

    SimOptions deviceOptions = Options({"DEVICE"}, 1, 1, 1000);
    deviceOptions.faults.bUnsafeDevice = true;  // szDevice "../DEVICE" in the stream
    StartSim(deviceOptions);
    EXPECT_TRUE(WaitFor([] { return CountLog("Error transfer header, unsafe szDevice: ../DEVICE") >= 1; }, 10s));
    m_pSim.reset();

    EXPECT_FALSE(fs::exists(Dir() / "EVIL"));
    EXPECT_FALSE(fs::exists(Dir() / "DEVICE"));
    EXPECT_FALSE(fs::exists(Dir().parent_path() / "EVIL"));
    EXPECT_TRUE(FilesWithExtension(".mp4").empty());
    for (auto& entry : fs::recursive_directory_iterator(Dir())) {
        if (entry.is_regular_file()) {
            bool bInPlace = entry.path().parent_path() == Dir() ||
                            entry.path().string().find("/store/") != std::string::npos;
            EXPECT_TRUE(bInPlace) << entry.path();
        }
    }
}

TEST_F(DownloadE2eTest, HeaderInPiecesIsAccepted)
{
    Configure();
    StartServer();
    SimOptions options = Options({"PIECES"}, 1, 2, 30000);
    options.faults.nHeaderPieces = 4;
    StartSim(options);
    ASSERT_TRUE(WaitAllStored(30s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
}

// A recorder whose stream is refused: a channel 1 recording announced as channel 2,
// or bytes beyond the size. Nothing gets a finished name.
TEST_F(DownloadE2eTest, RefusedStreamsStoreNothingAndAreLogged)
{
    Configure();
    StartServer();
    for (bool bWrongChannel : {true, false}) {
        SimOptions options = Options({bWrongChannel ? "TAGS" : "EXTRA"}, 1, 1, 30000);
        options.faults.bWrongChannel = bWrongChannel;
        options.faults.nExtraBytes = bWrongChannel ? 0 : 10;
        const std::string line =
            bWrongChannel ? "Error transfer header, szChan not correct" : "data.nFileSizeLow>transferHdr.nFileSize";
        StartSim(options);
        ASSERT_TRUE(WaitFor([&] { return CountLog(line) >= 1; }, 20s)) << line;
        m_pSim.reset();
        EXPECT_TRUE(FilesWithExtension(".mp4").empty()) << line;
        if (bWrongChannel)
            EXPECT_TRUE(FilesWithExtension(".td").empty());
    }
}

TEST_F(DownloadE2eTest, RefusingRecorderIsAskedAgainEveryFewSecondsNotInABusyLoop)
{
    Configure();
    StartServer();
    SimOptions options = Options({"REFUSER"}, 1, 1, 1000);
    options.faults.nRefuseStatus = 503;
    StartSim(options);
    // The retry pause is 300 ms here (3 s shipped): asked again after it. The server
    // logs each refusal after the recorder has counted it.
    std::string refusal = "ZELP_GETFILE chan 1: " + m_pSim->Recorder(0).Recordings().All().front().strFileName +
                          ", seek=0, get response: 503\r\n";
    auto nLogged = [&refusal] {
        auto messages = ReadLogMessages();
        return std::count(messages.begin(), messages.end(), refusal);
    };
    ASSERT_TRUE(WaitFor([&] { return m_pSim->Totals().nRefused >= 2 && nLogged() >= 2; }, 10s));
    EXPECT_TRUE(FilesWithExtension(".mp4").empty());
    EXPECT_GE(nLogged(), 2);

    // With a pause of an hour, only a busy loop would ask again within a second.
    Control().Stop();
    m_pSim.reset();
    Timing().nRefusedRetryMs = 3600000;
    StartServer();
    StartSim(options);
    ASSERT_TRUE(WaitFor([this] { return m_pSim->Totals().nRefused >= 1; }, 10s));
    EXPECT_FALSE(WaitFor([this] { return m_pSim->Totals().nRefused >= 2; }, 1s));
}

TEST_F(DownloadE2eTest, TwentyOneVehiclesWithFourChannelsEachLoseAndDuplicateNothing)
{
    Configure();
    StartServer();
    std::vector<std::string> names;
    for (int i = 1; i <= 20; ++i)
        names.push_back("FLEET-" + std::to_string(i));
    names.push_back("TRUCK 3");  // a name with a space
    StartSim(Options(names, 4, 3, 65536));
    ASSERT_TRUE(WaitAllStored(120s)) << m_pSim->Summary();
    ExpectAllByteIdentical();
    EXPECT_TRUE(FilesWithExtension(".td").empty());
    EXPECT_EQ(FilesWithExtension(".mp4").size(), 252u);
    // One read of the log per look: passes go on writing it, and it grows long.
    std::string missing;
    EXPECT_TRUE(WaitFor(
        [&] {
            std::vector<std::string> messages = ReadLogMessages();
            std::set<std::string> seen(messages.begin(), messages.end());
            missing.clear();
            for (const std::string& name : names)
                for (int nChannel = 1; nChannel <= 4; ++nChannel) {
                    std::string done = "vehname=" + name + ", chan=" + std::to_string(nChannel) + ", download finished!";
                    if (seen.count(done) == 0)
                        missing += done + "\n";
                }
            return missing.empty();
        },
        10s))
        << missing;
    std::vector<std::string> messages = ReadLogMessages();
    for (const std::string& name : names)
        EXPECT_EQ(std::count(messages.begin(), messages.end(), name + " Registed, number of channel is 4"), 1) << name;
    // One request per recording: nothing fetched twice, however many passes a vehicle
    // that finished early has run since (one per keepalive).
    EXPECT_EQ(m_pSim->Totals().nFileRequests, 252u);
    EXPECT_EQ(m_pSim->Totals().nCompleted, 252u);
}

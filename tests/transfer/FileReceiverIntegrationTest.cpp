#include "transfer/FileReceiver.h"

#include "TransferClient.h"
#include "core/Logger.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/RecordIndex.h"
#include "settings/Settings.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "transfer/TCPSrv.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <thread>

using namespace transfertest;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kStart = 1362492129;  // 2013-03-05 14:02:09
constexpr std::uint32_t kEnd = 1362492729;    // 2013-03-05 14:12:09
const std::string kMp4Name = "ch01_20130305140209_20130305141209.mp4";

std::string TdName(const std::string& recorderName, std::uint32_t nSize, std::uint32_t tEnd = kEnd)
{
    return PartialFileName(1, kStart, tEnd, recorderName, nSize);
}

std::size_t SizeOf(const std::string& path)
{
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::size_t>(n);
}

// Waits until the recorder's connection is closed by the server; false after 5 s.
bool WaitForServerClose(CSocket& sock)
{
    char buf[256];
    return WaitFor([&] { return sock.WaitReadable(100) == 1 && sock.Recv(buf, sizeof(buf)) <= 0; });
}

// Waits until the file at path holds nSize bytes; false after 5 s.
bool WaitForSize(const std::string& path, std::size_t nSize)
{
    return WaitFor([&] { return SizeOf(path) == nSize; });
}

class FileReceiverTest : public Sandbox {
protected:
    // The store's root, BUS1's channel 1 directory of 05-03-2013 and its recording.
    const std::string m_root = At("dl");
    const std::string m_chanDir = m_root + "/BUS1/05-03-2013/ch01";
    const std::string m_mp4 = m_chanDir + "/" + kMp4Name;

    void SetUp() override
    {
        Sandbox::SetUp();
        WriteLog("test begins");
        Timing().nAcceptWindowMs = 5000;
        Timing().nHeaderWaitMs = 2000;
        Timing().nReceiveSilenceMs = 2000;
        Open(m_srv);
    }

    void Open(CTCPSrv& srv)
    {
        ASSERT_EQ(srv.Listen(nullptr, 0), 0);
        char szIp[16];
        srv.GetListenAddr(szIp, m_nPort);
    }

    // One accept window of srv while client plays the recorder; how it ended.
    TransferOutcome Transfer(const std::function<void(CSocket&)>& client) { return Transfer(m_srv, client); }
    TransferOutcome Transfer(CTCPSrv& srv, const std::function<void(CSocket&)>& client)
    {
        std::jthread recorder([&] {
            CSocket sock = Connect(m_nPort);
            client(sock);
        });
        return srv.WaitForConnection();
    }

    // Sends header and bytes [nFrom, nTo) of the standard recording, then closes.
    TransferOutcome SendRange(const std::string& header, std::size_t nFrom, std::size_t nTo, CTCPSrv* pSrv = nullptr)
    {
        return Transfer(pSrv ? *pSrv : m_srv, [&](CSocket& sock) {
            EXPECT_TRUE(sock.SendAll(header.data(), header.size()));
            std::string data = Content(nTo - nFrom, nFrom);
            // A refused header closes the connection: the bytes may not all go.
            (void)sock.SendAll(data.data(), data.size());
        });
    }

    // Sends header and the first nBytes of the standard recording, then stays
    // connected; whether the server closed the connection within 5 s.
    bool SendAndHold(const std::string& header, std::size_t nBytes)
    {
        bool bClosedByServer = false;
        Transfer([&](CSocket& sock) {
            EXPECT_TRUE(sock.SendAll(header.data(), header.size()));
            std::string data = Content(nBytes);
            // A server that stops taking the file early may reset the connection.
            (void)sock.SendAll(data.data(), data.size());
            bClosedByServer = WaitForServerClose(sock);
        });
        return bClosedByServer;
    }

    CTCPSrv m_srv {[this](CTCPSrv* pSrv) { return ReceiveFileStream(pSrv, m_root, false, nullptr); }};
    std::uint16_t m_nPort = 0;
};

} // namespace

TEST_F(FileReceiverTest, WholeFileIsStoredUnderItsFinishedName)
{
    constexpr std::uint32_t kSize = 100000;
    SendRange(HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, kSize, 1), 0, kSize);

    EXPECT_EQ(ReadFile(m_mp4), Content(kSize));
    EXPECT_EQ(FindFiles(m_chanDir + "/*.td").size(), 0u);
    EXPECT_EQ(m_srv.TakeReceivedBytes(), kSize);
    std::vector<std::string> log = ReadLogMessages();
    std::vector<std::string> expected {"test begins", "Start Recv file stream for channel 1 of BUS1\n",
                                       "TCP recv returns zero",
                                       "file " + kMp4Name + " of channel 1 of BUS1 is downloaded over!"};
    EXPECT_EQ(log, expected);
}

TEST_F(FileReceiverTest, HeaderThatNeverCompletesIsRefused)
{
    Timing().nHeaderWaitMs = 200;
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 5000, 1);
    // Silent recorder.
    Transfer([&](CSocket& sock) { WaitForServerClose(sock); });
    EXPECT_TRUE(LogHas("select err or timeout"));
    // Half a header, then the connection ends; half a header, then silence.
    Transfer([&](CSocket& sock) { EXPECT_TRUE(sock.SendAll(header.data(), 40)); });
    Transfer([&](CSocket& sock) {
        EXPECT_TRUE(sock.SendAll(header.data(), 40));
        WaitForServerClose(sock);
    });
    std::vector<std::string> log = ReadLogMessages();
    EXPECT_EQ(log, (std::vector<std::string> {"test begins", "select err or timeout", "Error transfer header size",
                                              "Error transfer header size"}));
    EXPECT_FALSE(fs::exists(m_root));
}

TEST_F(FileReceiverTest, InterruptedTransferIsResumedAndFinishedAtTheExactSizeNotBeyond)
{
    constexpr std::uint32_t kSize = 100000;
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, kSize, 1);
    const std::string td = m_chanDir + "/" + TdName("ch01_rec", kSize);

    SendRange(header, 0, 40000);
    EXPECT_EQ(ReadFile(td), Content(40000));
    EXPECT_FALSE(fs::exists(m_mp4));
    EXPECT_FALSE(LogHas("data.nFileSizeLow>transferHdr.nFileSize"));

    SendRange(header, 40000, 70000);
    EXPECT_EQ(SizeOf(td), 70000u);

    SendRange(header, 70000, kSize);
    EXPECT_FALSE(fs::exists(td));
    EXPECT_EQ(ReadFile(m_mp4), Content(kSize));

    // Bytes beyond the size stay in the partial file and are reported.
    const std::string overHeader = HeaderBytes("BUS1", "ch01_over", kStart + 7200, kEnd + 7200, 1000, 1);
    SendRange(overHeader, 0, 1010);
    EXPECT_EQ(ReadFile(m_chanDir + "/ch01_20130305160209_20130305161209.ch01_over.0000001000.td"), Content(1010));
    EXPECT_FALSE(fs::exists(m_chanDir + "/ch01_20130305160209_20130305161209.mp4"));
    EXPECT_TRUE(LogHas("data.nFileSizeLow>transferHdr.nFileSize"));

    // Sizes of 2^31 and more are named with a negative size text.
    const std::string bigHeader = HeaderBytes("BUS1", "ch01_big", kStart + 3600, kEnd + 3600, 0x80000000u, 1);
    SendRange(bigHeader, 0, 10);
    EXPECT_EQ(SizeOf(m_chanDir + "/ch01_20130305150209_20130305151209.ch01_big.-2147483648.td"), 10u);
}

TEST_F(FileReceiverTest, RecordingWithAStartAlreadyStoredIsRefused)
{
    fs::create_directories(m_chanDir);
    const std::string otherMp4 = "ch01_20130305140209_20130305150000.mp4";
    WriteFile(m_chanDir + "/" + otherMp4, "finished");
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 5000, 1);

    SendRange(header, 0, 5000);
    EXPECT_TRUE(LogHas("mp4 file with the same starttime is already exsit: " + otherMp4 + "\n"));
    EXPECT_EQ(ReadFile(m_chanDir + "/" + otherMp4), "finished");
    EXPECT_FALSE(fs::exists(m_mp4));
    EXPECT_EQ(FindFiles(m_chanDir + "/*").size(), 1u);
    EXPECT_EQ(m_srv.TakeReceivedBytes(), 0u);

    // Two files with that start block the recording until someone removes one.
    WriteFile(m_chanDir + "/" + TdName("ch01_rec", 5000), "part");
    SendRange(header, 0, 5000);
    EXPECT_TRUE(LogHas("nMatched>=2 for half-identical files: " + m_chanDir + "/*_20130305140209_*"));
    EXPECT_EQ(ReadFile(m_chanDir + "/" + TdName("ch01_rec", 5000)), "part");
    EXPECT_FALSE(LogHas("Start Recv file stream for channel 1 of BUS1\n"));
}

TEST_F(FileReceiverTest, LonePartialFileOfAnOlderHeaderIsAdopted)
{
    fs::create_directories(m_chanDir);
    const std::string oldName = TdName("ch01_old", 50, kEnd - 60);
    WriteFile(m_chanDir + "/" + oldName, Content(30));

    SendRange(HeaderBytes("BUS1", "ch01_new", kStart, kEnd, 100, 1), 30, 100);
    EXPECT_TRUE(LogHas("matched file " + oldName + " doesn't meet transfering file: " + TdName("ch01_new", 100) +
                       ", rename succ"));
    EXPECT_EQ(ReadFile(m_mp4), Content(100));
    EXPECT_EQ(FindFiles(m_chanDir + "/*").size(), 1u);
}

TEST_F(FileReceiverTest, WrongChannelTagIsRefusedBeforeTheStoreIsTouched)
{
    fs::create_directories(m_chanDir);
    const std::string lone = TdName("ch01_rec", 50);
    WriteFile(m_chanDir + "/" + lone, "part");

    SendRange(HeaderBytes("BUS1", "ch1_rec", kStart, kEnd, 50, 1), 0, 50);
    SendRange(HeaderBytes("BUS1", "ch02_rec", kStart, kEnd, 50, 1), 0, 50);
    std::vector<std::string> log = ReadLogMessages();
    EXPECT_EQ(log, (std::vector<std::string> {"test begins", "Error transfer header, szChan not correct",
                                              "Error transfer header, szChan not correct"}));
    // The lone partial file keeps its name and bytes; nothing else was created.
    EXPECT_EQ(ReadFile(m_chanDir + "/" + lone), "part");
    EXPECT_EQ(FindFiles(m_chanDir + "/*").size(), 1u);
    EXPECT_FALSE(fs::exists(m_root + "/BUS1/05-03-2013/ch02"));

    // The tag may stand anywhere in the name; channel 12 is "ch12_".
    SendRange(HeaderBytes("BUS1", "dvr_ch12_rec", kStart, kEnd, 20, 12), 0, 20);
    EXPECT_EQ(ReadFile(m_root + "/BUS1/05-03-2013/ch12/ch12_20130305140209_20130305141209.mp4"), Content(20));
}

TEST_F(FileReceiverTest, UnsafeNamesAreRefusedAndNothingIsWritten)
{
    // Device, recorder's file name, and the refusal logged (control characters as \xNN).
    const std::string aCases[][3] = {
        {"", "ch01_rec", "szDevice: "},          {".", "ch01_rec", "szDevice: ."},
        {"..", "ch01_rec", "szDevice: .."},      {"a/b", "ch01_rec", "szDevice: a/b"},
        {"a\\b", "ch01_rec", "szDevice: a\\b"},  {"x\ty", "ch01_rec", "szDevice: x\\x09y"},
        {"BUS\x7F", "ch01_rec", "szDevice: BUS\\x7F"},
        {"BUS1", "..", "szChan: .."},            {"BUS1", "../ch01_rec", "szChan: ../ch01_rec"},
        {"BUS1", "ch01_\x01", "szChan: ch01_\\x01"}, {"BUS1", "ch01_a\\b", "szChan: ch01_a\\b"},
        {"BUS1", "", "szChan: "},
    };
    std::vector<std::string> expected {"test begins"};
    for (const auto& c : aCases) {
        SendRange(HeaderBytes(c[0], c[1], kStart, kEnd, 10, 1), 0, 10);
        expected.push_back("Error transfer header, unsafe " + c[2]);
    }
    EXPECT_EQ(ReadLogMessages(), expected);
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(Dir()), {}), 1);  // log.txt alone

    // A device name that fills its whole field (no NUL) is a name like any other, cut
    // to the 31 bytes registration keeps.
    const std::string fullName(32, 'D');
    SendRange(HeaderBytes(fullName, "ch01_rec", kStart, kEnd, 10, 1), 0, 10);
    EXPECT_EQ(ReadFile(m_root + "/" + fullName.substr(0, 31) + "/05-03-2013/ch01/" + kMp4Name), Content(10));
    // Cut, a name whose 32nd byte alone is unsafe is safe.
    SendRange(HeaderBytes(std::string(31, 'E') + "/", "ch01_rec", kStart, kEnd, 10, 1), 0, 10);
    EXPECT_EQ(ReadFile(m_root + "/" + std::string(31, 'E') + "/05-03-2013/ch01/" + kMp4Name), Content(10));
}

TEST_F(FileReceiverTest, NameThatFillsItsFieldIsTheRegisteredVehicleWithItsDirectoryAndRecord)
{
    // Registration keeps 31 bytes of such a name, and the channel task expects those.
    const std::string fullName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    ASSERT_EQ(fullName.size(), 32u);
    const std::string registered = fullName.substr(0, 31);
    CRecordIndex index(Dir().string());
    CTCPSrv srv([&](CTCPSrv* pSrv) { return ReceiveFileStream(pSrv, m_root, true, &index); });
    Open(srv);
    srv.ExpectTransfer(registered, "ch01_rec", 1);

    TransferOutcome outcome = SendRange(HeaderBytes(fullName, "ch01_rec", kStart, kEnd, 100, 1), 0, 100, &srv);
    EXPECT_EQ(outcome.eResult, TransferResult::Stored);
    EXPECT_EQ(ReadFile(m_root + "/" + registered + "/05-03-2013/ch01/" + kMp4Name), Content(100));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_root), {}), 1);
    EXPECT_TRUE(LogHas("file " + kMp4Name + " of channel 1 of " + registered + " is downloaded over!"));
    index.Flush(60000);  // records are written by the index's own thread
    const std::string text = ReadFile(index.Path());
    EXPECT_NE(text.find("<puid>" + registered + "</puid>"), std::string::npos) << text;
    EXPECT_EQ(text.find(fullName), std::string::npos) << text;

    // Another vehicle whose name only starts alike is still refused.
    outcome = SendRange(HeaderBytes(registered.substr(0, 30) + "X5", "ch01_rec", kStart, kEnd, 100, 1), 0, 100, &srv);
    EXPECT_EQ(outcome.eResult, TransferResult::Refused);
}

TEST_F(FileReceiverTest, RecorderThatStaysConnectedAfterTheLastByteFinishesAfterTheSilence)
{
    Timing().nReceiveSilenceMs = 300;
    EXPECT_TRUE(SendAndHold(HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 3000, 1), 3000));
    EXPECT_TRUE(LogHas("TCP select meets error or timeout\n"));
    EXPECT_EQ(ReadFile(m_mp4), Content(3000));
}

TEST_F(FileReceiverTest, WriteErrorEndsTheRunAndKeepsEveryByteWritten)
{
    // A file size limit makes the disk "full" at 20000 bytes for this process.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limit = old;
    limit.rlim_cur = 20000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    bool bClosedByServer = SendAndHold(HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 50000, 1), 50000);
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_TRUE(bClosedByServer);
    const std::string td = TdName("ch01_rec", 50000);
    EXPECT_EQ(ReadFile(m_chanDir + "/" + td), Content(20000));
    EXPECT_TRUE(LogHas("write file " + td + " of channel 1 of BUS1 err, errno=" + std::to_string(EFBIG)));
    EXPECT_EQ(m_srv.TakeReceivedBytes(), 20000u);
}

TEST_F(FileReceiverTest, PartialFileRemovedDuringTheTransferEndsTheRun)
{
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 50000, 1);
    const std::string td = m_chanDir + "/" + TdName("ch01_rec", 50000);
    bool bClosedByServer = false;
    Transfer([&](CSocket& sock) {
        EXPECT_TRUE(sock.SendAll(header.data(), header.size()));
        std::string data = Content(50000);
        EXPECT_TRUE(sock.SendAll(data.data(), 10000));
        ASSERT_TRUE(WaitForSize(td, 10000));
        fs::remove(td);
        // The server may have seen the removal and closed already.
        (void)sock.SendAll(data.data() + 10000, 10000);
        bClosedByServer = WaitForServerClose(sock);
    });
    EXPECT_TRUE(bClosedByServer);
    EXPECT_TRUE(LogHas("file " + TdName("ch01_rec", 50000) + " of channel 1 of BUS1 was removed while downloading"));
    EXPECT_TRUE(LogHas("find file err in tcp quits"));
    EXPECT_FALSE(fs::exists(td));
}

TEST_F(FileReceiverTest, CloseSocketsEndsABlockedReceiveAndKeepsTheBytes)
{
    Timing().nReceiveSilenceMs = 3600000;  // only the close can end the receive
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 50000, 1);
    const std::string td = m_chanDir + "/" + TdName("ch01_rec", 50000);
    std::jthread stopper([&] {
        if (WaitForSize(td, 5000))
            m_srv.CloseSockets();
    });
    EXPECT_TRUE(SendAndHold(header, 5000));
    stopper.join();
    EXPECT_EQ(ReadFile(td), Content(5000));
    EXPECT_TRUE(LogHas("TCP select meets error or timeout\n") || LogHas("TCP recv returns zero"));
}

TEST_F(FileReceiverTest, ComponentModeAddsOneRecordPerFinishedFile)
{
    CRecordIndex index(Dir().string());
    bool bComponentMode = true;
    CTCPSrv srv([&](CTCPSrv* pSrv) { return ReceiveFileStream(pSrv, m_root, bComponentMode, &index); });
    Open(srv);
    SendRange(HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 100, 1), 0, 100, &srv);
    SendRange(HeaderBytes("BUS1", "ch01_cut", kStart + 3600, kEnd + 3600, 100, 1), 0, 60, &srv);  // stays partial
    bComponentMode = false;
    SendRange(HeaderBytes("BUS1", "ch01_off", kStart + 7200, kEnd + 7200, 100, 1), 0, 100, &srv);  // not indexed

    ASSERT_TRUE(index.Flush(60000));  // the index's writer appends what was queued
    const std::string text = ReadFile(index.Path());
    std::size_t nRecords = 0;
    for (std::size_t nPos = text.find("<record>"); nPos != std::string::npos; nPos = text.find("<record>", nPos + 1))
        ++nRecords;
    EXPECT_EQ(nRecords, 1u);
    EXPECT_NE(text.find("<starttime>20130305140209</starttime>"), std::string::npos) << text;
    EXPECT_TRUE(fs::exists(m_root + "/BUS1/05-03-2013/ch01/ch01_20130305160209_20130305161209.mp4"));
}

TEST_F(FileReceiverTest, MissingListenerIsReported)
{
    EXPECT_EQ(ReceiveFileStream(nullptr, m_root, false, nullptr), 0);
    EXPECT_TRUE(LogHas("CTCPSrv::GetFileTask: Invalid Param"));
}

// A file that cannot be finished keeps its partial name and bytes, the log says why,
// and the transfer does not count as stored, so that the channel task tries again.
// (A failed sync and a refused rename: FinishedNameIsAnnouncedBeforeTheRenameWithTheWholeSize.)
TEST_F(FileReceiverTest, FileThatCannotBeFinishedStaysPartialAndIsNotStored)
{
    constexpr std::uint32_t kSize = 30000;
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, kSize, 1);

    // A file stands where the date directory belongs: no channel directory.
    fs::create_directories(m_root + "/BUS1");
    WriteFile(m_root + "/BUS1/05-03-2013", "x");
    TransferOutcome outcome = SendRange(header, 0, kSize);
    EXPECT_EQ(outcome.eResult, TransferResult::Failed);
    EXPECT_TRUE(LogHas("cannot create directory " + m_chanDir + " for channel 1 of BUS1: " + ErrnoText(ENOTDIR)));
    EXPECT_EQ(ReadFile(m_root + "/BUS1/05-03-2013"), "x");
    fs::remove(m_root + "/BUS1/05-03-2013");

    // A directory stands at the partial file's name: it cannot be opened.
    const std::uint32_t tDir = kStart + 7200;
    const std::string dirTdName = PartialFileName(1, tDir, kEnd + 7200, "ch01_dir", kSize);
    fs::create_directories(m_chanDir + "/" + dirTdName);
    outcome = SendRange(HeaderBytes("BUS1", "ch01_dir", tDir, kEnd + 7200, kSize, 1), 0, kSize);
    EXPECT_EQ(outcome.eResult, TransferResult::Failed);
    EXPECT_TRUE(fs::is_directory(m_chanDir + "/" + dirTdName));
    EXPECT_FALSE(fs::exists(m_chanDir + "/" + FinalFileName(1, tDir, kEnd + 7200)));
    EXPECT_TRUE(LogHas("cannot open file " + dirTdName + " of channel 1 of BUS1: " + ErrnoText(EISDIR)));
}

// The data is on disk before the rename; a directory sync that fails after it leaves
// at worst the synced partial file after a power cut, so the file counts as stored.
TEST_F(FileReceiverTest, DirectorySyncFailingAfterTheRenameIsLoggedAndTheFileIsStored)
{
    InjectSyncFault(SyncFault::Directory, EIO, 1);
    TransferOutcome outcome = SendRange(HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 500, 1), 0, 500);
    EXPECT_EQ(outcome.eResult, TransferResult::Stored);
    EXPECT_EQ(ReadFile(m_mp4), Content(500));
    EXPECT_TRUE(LogHas("sync of directory " + m_chanDir + " failed after file " + kMp4Name +
                       " of channel 1 of BUS1 was stored: " + ErrnoText(EIO)));
}

// The stream is written back to disk in steps while it arrives, from wherever a
// resumed transfer starts: every byte lands where it belongs, over several steps and
// from an offset that is no page boundary.
TEST_F(FileReceiverTest, ResumedTransferWrittenBackWhileArrivingKeepsEveryByte)
{
    constexpr std::uint32_t kSize = (40u << 20) + 12345;
    constexpr std::size_t kCut = (17u << 20) + 4097;
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, kSize, 1);
    const std::string td = m_chanDir + "/" + TdName("ch01_rec", kSize);

    TransferOutcome outcome = SendRange(header, 0, kCut);
    EXPECT_EQ(outcome.eResult, TransferResult::Incomplete);
    EXPECT_EQ(outcome.nBytes, kCut);
    EXPECT_TRUE(ReadFile(td) == Content(kCut));

    outcome = SendRange(header, kCut, kSize);
    EXPECT_EQ(outcome.eResult, TransferResult::Stored);
    EXPECT_EQ(outcome.nBytes, kSize - kCut);
    EXPECT_TRUE(ReadFile(m_mp4) == Content(kSize));  // not EXPECT_EQ: 40 MiB would be printed
    EXPECT_FALSE(LogHas("write-back of file"));
}

// What must be kept before the finished name (the fleet history's note) runs once per
// rename tried, while the file still has its partial name, and learns its whole size;
// the outcome of a stored file names it with its whole size, however many connections
// brought it.
TEST_F(FileReceiverTest, FinishedNameIsAnnouncedBeforeTheRenameWithTheWholeSize)
{
    constexpr std::uint32_t kSize = 30000;
    constexpr std::size_t kCut = 12000;
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, kSize, 1);
    const std::string td = m_chanDir + "/" + TdName("ch01_rec", kSize);
    struct Call {
        std::string path;
        std::uint64_t nSize = 0;
        bool bFinalThere = false;
        std::size_t nPartialSize = 0;
    };
    std::vector<Call> calls;
    m_srv.SetBeforeRename([&](const std::string& path, std::uint64_t nSize) {
        calls.push_back({path, nSize, fs::exists(path), SizeOf(td)});
    });

    TransferOutcome outcome = SendRange(header, 0, kCut);
    EXPECT_EQ(outcome.eResult, TransferResult::Incomplete);
    EXPECT_EQ(outcome.nFileBytes, 0u);
    EXPECT_TRUE(calls.empty());

    // The disk fails the sync: the whole file stays partial, no finished name is tried.
    InjectSyncFault(SyncFault::Data, EIO, 1);
    outcome = SendRange(header, kCut, kSize);
    EXPECT_EQ(outcome.eResult, TransferResult::Failed);
    EXPECT_EQ(outcome.nBytes, kSize - kCut);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(ReadFile(td), Content(kSize));
    EXPECT_FALSE(fs::exists(m_mp4));
    EXPECT_TRUE(LogHas("sync of file " + TdName("ch01_rec", kSize) + " of channel 1 of BUS1 failed, kept as partial "
                       "file: " + ErrnoText(EIO)));
    EXPECT_FALSE(LogHas("file " + kMp4Name + " of channel 1 of BUS1 is downloaded over!"));

    outcome = SendRange(header, kSize, kSize);
    EXPECT_EQ(outcome.eResult, TransferResult::Stored);
    EXPECT_EQ(outcome.nBytes, 0u);
    EXPECT_EQ(outcome.nFileBytes, kSize);
    EXPECT_EQ(outcome.strPath, m_mp4);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, m_mp4);
    EXPECT_EQ(calls[0].nSize, kSize);
    EXPECT_FALSE(calls[0].bFinalThere);
    EXPECT_EQ(calls[0].nPartialSize, kSize);
    EXPECT_EQ(ReadFile(m_mp4), Content(kSize));
    EXPECT_FALSE(fs::exists(td));

    // The rename fails: announced all the same, and the outcome names no file.
    const std::uint32_t tLate = kStart + 3600;
    const std::string lateHeader = HeaderBytes("BUS1", "ch01_late", tLate, kEnd + 3600, kSize, 1);
    const std::string lateTdName = PartialFileName(1, tLate, kEnd + 3600, "ch01_late", kSize);
    const std::string lateTd = m_chanDir + "/" + lateTdName;
    const std::string lateMp4 = m_chanDir + "/" + FinalFileName(1, tLate, kEnd + 3600);
    outcome = Transfer([&](CSocket& sock) {
        EXPECT_TRUE(sock.SendAll(lateHeader.data(), lateHeader.size()));
        std::string data = Content(kSize);
        EXPECT_TRUE(sock.SendAll(data.data(), 10000));
        ASSERT_TRUE(WaitForSize(lateTd, 10000));
        WriteFile(lateMp4, "other");
        EXPECT_TRUE(sock.SendAll(data.data() + 10000, kSize - 10000));
    });
    EXPECT_EQ(outcome.eResult, TransferResult::Failed);
    EXPECT_TRUE(outcome.strPath.empty());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].path, lateMp4);
    EXPECT_EQ(ReadFile(lateMp4), "other");
    EXPECT_EQ(ReadFile(lateTd), Content(kSize));
    EXPECT_TRUE(LogHas("rename file " + lateTdName + " of channel 1 of BUS1 err, errno=" + std::to_string(EEXIST) +
                       " (" + ErrnoText(EEXIST) + ")"));
}

#include "transfer/FileReceiver.h"

#include "TransferClient.h"
#include "core/Logger.h"
#include "platform/Timing.h"
#include "settings/RecordIndex.h"
#include "settings/Settings.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "transfer/TCPSrv.h"

#include <gtest/gtest.h>

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
const std::string kChanDir = "dl/BUS1/05-03-2013/ch01";
const std::string kMp4Name = "ch01_20130305140209_20130305141209.mp4";
const std::string kMp4 = kChanDir + "/" + kMp4Name;

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
    void SetUp() override
    {
        Sandbox::SetUp();
        WriteLog("test begins");
        Timing().nAcceptWindowMs = 5000;
        Timing().nHeaderWaitMs = 2000;
        Timing().nReceiveSilenceMs = 2000;
        CopyField(GlobalSettings().szDownDir, sizeof(GlobalSettings().szDownDir), "dl");
        Open(m_srv);
    }

    void Open(CTCPSrv& srv)
    {
        ASSERT_EQ(srv.Listen(nullptr, 0), 0);
        char szIp[16];
        srv.GetListenAddr(szIp, m_nPort);
    }

    // One accept window of srv while client plays the recorder.
    void Transfer(const std::function<void(CSocket&)>& client) { Transfer(m_srv, client); }
    void Transfer(CTCPSrv& srv, const std::function<void(CSocket&)>& client)
    {
        std::jthread recorder([&] {
            CSocket sock = Connect(m_nPort);
            client(sock);
        });
        srv.WaitForConnection();
    }

    // Sends header and bytes [nFrom, nTo) of the standard recording, then closes.
    void SendRange(const std::string& header, std::size_t nFrom, std::size_t nTo, CTCPSrv* pSrv = nullptr)
    {
        Transfer(pSrv ? *pSrv : m_srv, [&](CSocket& sock) {
            sock.SendAll(header.data(), header.size());
            std::string data = Content(nTo - nFrom, nFrom);
            sock.SendAll(data.data(), data.size());
        });
    }

    // Sends header and the first nBytes of the standard recording, then stays
    // connected; whether the server closed the connection within 5 s.
    bool SendAndHold(const std::string& header, std::size_t nBytes)
    {
        bool bClosedByServer = false;
        Transfer([&](CSocket& sock) {
            sock.SendAll(header.data(), header.size());
            std::string data = Content(nBytes);
            sock.SendAll(data.data(), data.size());
            bClosedByServer = WaitForServerClose(sock);
        });
        return bClosedByServer;
    }

    CTCPSrv m_srv;
    std::uint16_t m_nPort = 0;
};

} // namespace

TEST_F(FileReceiverTest, WholeFileIsStoredUnderItsFinishedName)
{
    constexpr std::uint32_t kSize = 100000;
    SendRange(HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, kSize, 1), 0, kSize);

    EXPECT_EQ(ReadFile(kMp4), Content(kSize));
    EXPECT_EQ(FindFiles(kChanDir + "/*.td").size(), 0u);
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
    Transfer([&](CSocket& sock) { sock.SendAll(header.data(), 40); });
    Transfer([&](CSocket& sock) {
        sock.SendAll(header.data(), 40);
        WaitForServerClose(sock);
    });
    std::vector<std::string> log = ReadLogMessages();
    EXPECT_EQ(log, (std::vector<std::string> {"test begins", "select err or timeout", "Error transfer header size",
                                              "Error transfer header size"}));
    EXPECT_FALSE(fs::exists("dl"));
}

TEST_F(FileReceiverTest, InterruptedTransferIsResumedAndFinishedAtTheExactSizeNotBeyond)
{
    constexpr std::uint32_t kSize = 100000;
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, kSize, 1);
    const std::string td = kChanDir + "/" + TdName("ch01_rec", kSize);

    SendRange(header, 0, 40000);
    EXPECT_EQ(ReadFile(td), Content(40000));
    EXPECT_FALSE(fs::exists(kMp4));
    EXPECT_FALSE(LogHas("data.nFileSizeLow>transferHdr.nFileSize"));

    SendRange(header, 40000, 70000);
    EXPECT_EQ(SizeOf(td), 70000u);

    SendRange(header, 70000, kSize);
    EXPECT_FALSE(fs::exists(td));
    EXPECT_EQ(ReadFile(kMp4), Content(kSize));

    // Bytes beyond the size stay in the partial file and are reported.
    const std::string overHeader = HeaderBytes("BUS1", "ch01_over", kStart + 7200, kEnd + 7200, 1000, 1);
    SendRange(overHeader, 0, 1010);
    EXPECT_EQ(ReadFile(kChanDir + "/ch01_20130305160209_20130305161209.ch01_over.0000001000.td"), Content(1010));
    EXPECT_FALSE(fs::exists(kChanDir + "/ch01_20130305160209_20130305161209.mp4"));
    EXPECT_TRUE(LogHas("data.nFileSizeLow>transferHdr.nFileSize"));

    // Sizes of 2^31 and more are named with a negative size text.
    const std::string bigHeader = HeaderBytes("BUS1", "ch01_big", kStart + 3600, kEnd + 3600, 0x80000000u, 1);
    SendRange(bigHeader, 0, 10);
    EXPECT_EQ(SizeOf(kChanDir + "/ch01_20130305150209_20130305151209.ch01_big.-2147483648.td"), 10u);
}

TEST_F(FileReceiverTest, RecordingWithAStartAlreadyStoredIsRefused)
{
    fs::create_directories(kChanDir);
    const std::string otherMp4 = "ch01_20130305140209_20130305150000.mp4";
    WriteFile(kChanDir + "/" + otherMp4, "finished");
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 5000, 1);

    SendRange(header, 0, 5000);
    EXPECT_TRUE(LogHas("mp4 file with the same starttime is already exsit: " + otherMp4 + "\n"));
    EXPECT_EQ(ReadFile(kChanDir + "/" + otherMp4), "finished");
    EXPECT_FALSE(fs::exists(kMp4));
    EXPECT_EQ(FindFiles(kChanDir + "/*").size(), 1u);
    EXPECT_EQ(m_srv.TakeReceivedBytes(), 0u);

    // Two files with that start block the recording until someone removes one.
    WriteFile(kChanDir + "/" + TdName("ch01_rec", 5000), "part");
    SendRange(header, 0, 5000);
    EXPECT_TRUE(LogHas("nMatched>=2 for half-identical files: " + kChanDir + "/*_20130305140209_*"));
    EXPECT_EQ(ReadFile(kChanDir + "/" + TdName("ch01_rec", 5000)), "part");
    EXPECT_FALSE(LogHas("Start Recv file stream for channel 1 of BUS1\n"));
}

TEST_F(FileReceiverTest, LonePartialFileOfAnOlderHeaderIsAdopted)
{
    fs::create_directories(kChanDir);
    const std::string oldName = TdName("ch01_old", 50, kEnd - 60);
    WriteFile(kChanDir + "/" + oldName, Content(30));

    SendRange(HeaderBytes("BUS1", "ch01_new", kStart, kEnd, 100, 1), 30, 100);
    EXPECT_TRUE(LogHas("matched file " + oldName + " doesn't meet transfering file: " + TdName("ch01_new", 100) +
                       ", rename succ"));
    EXPECT_EQ(ReadFile(kMp4), Content(100));
    EXPECT_EQ(FindFiles(kChanDir + "/*").size(), 1u);
}

TEST_F(FileReceiverTest, WrongChannelTagIsRefusedBeforeTheStoreIsTouched)
{
    fs::create_directories(kChanDir);
    const std::string lone = TdName("ch01_rec", 50);
    WriteFile(kChanDir + "/" + lone, "part");

    SendRange(HeaderBytes("BUS1", "ch1_rec", kStart, kEnd, 50, 1), 0, 50);
    SendRange(HeaderBytes("BUS1", "ch02_rec", kStart, kEnd, 50, 1), 0, 50);
    std::vector<std::string> log = ReadLogMessages();
    EXPECT_EQ(log, (std::vector<std::string> {"test begins", "Error transfer header, szChan not correct",
                                              "Error transfer header, szChan not correct"}));
    // The lone partial file keeps its name and bytes; nothing else was created.
    EXPECT_EQ(ReadFile(kChanDir + "/" + lone), "part");
    EXPECT_EQ(FindFiles(kChanDir + "/*").size(), 1u);
    EXPECT_FALSE(fs::exists("dl/BUS1/05-03-2013/ch02"));

    // The tag may stand anywhere in the name; channel 12 is "ch12_".
    SendRange(HeaderBytes("BUS1", "dvr_ch12_rec", kStart, kEnd, 20, 12), 0, 20);
    EXPECT_EQ(ReadFile("dl/BUS1/05-03-2013/ch12/ch12_20130305140209_20130305141209.mp4"), Content(20));
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
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator("."), {}), 1);  // log.txt alone

    // A device name that fills its whole field (no NUL) is a name like any other.
    const std::string fullName(32, 'D');
    SendRange(HeaderBytes(fullName, "ch01_rec", kStart, kEnd, 10, 1), 0, 10);
    EXPECT_EQ(ReadFile("dl/" + fullName + "/05-03-2013/ch01/" + kMp4Name), Content(10));
}

TEST_F(FileReceiverTest, RecorderThatStaysConnectedAfterTheLastByteFinishesAfterTheSilence)
{
    Timing().nReceiveSilenceMs = 300;
    EXPECT_TRUE(SendAndHold(HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 3000, 1), 3000));
    EXPECT_TRUE(LogHas("TCP select meets error or timeout\n"));
    EXPECT_EQ(ReadFile(kMp4), Content(3000));
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
    EXPECT_EQ(ReadFile(kChanDir + "/" + td), Content(20000));
    EXPECT_TRUE(LogHas("write file " + td + " of channel 1 of BUS1 err, errno=" + std::to_string(EFBIG)));
    EXPECT_EQ(m_srv.TakeReceivedBytes(), 20000u);
}

TEST_F(FileReceiverTest, PartialFileRemovedDuringTheTransferEndsTheRun)
{
    const std::string header = HeaderBytes("BUS1", "ch01_rec", kStart, kEnd, 50000, 1);
    const std::string td = kChanDir + "/" + TdName("ch01_rec", 50000);
    bool bClosedByServer = false;
    Transfer([&](CSocket& sock) {
        sock.SendAll(header.data(), header.size());
        std::string data = Content(50000);
        sock.SendAll(data.data(), 10000);
        ASSERT_TRUE(WaitForSize(td, 10000));
        fs::remove(td);
        sock.SendAll(data.data() + 10000, 10000);
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
    const std::string td = kChanDir + "/" + TdName("ch01_rec", 50000);
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
    CTCPSrv srv([&](CTCPSrv* pSrv) { return ReceiveFileStream(pSrv, "dl", bComponentMode, &index); });
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
    EXPECT_TRUE(fs::exists("dl/BUS1/05-03-2013/ch01/ch01_20130305160209_20130305161209.mp4"));
}

TEST_F(FileReceiverTest, MissingListenerIsReported)
{
    EXPECT_EQ(GetFileTask(nullptr), 0);
    EXPECT_TRUE(LogHas("CTCPSrv::GetFileTask: Invalid Param"));
}

#include "transfer/FileReceiver.h"
#include "transfer/TCPSrv.h"

#include "TransferClient.h"
#include "core/Logger.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "support/LogFile.h"
#include "support/Descriptors.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace transfertest;

namespace {

// The receiver a download gives its listener, storing under root.
CTCPSrv::Receiver StoreUnder(std::string root)
{
    return [root](CTCPSrv* pSrv) { return ReceiveFileStream(pSrv, root, false, nullptr); };
}

// A receiver that records the first byte each connection sends.
class ByteRecorder {
public:
    CTCPSrv::Receiver Receiver()
    {
        return [this](CTCPSrv* pSrv) {
            char c = 0;
            if (pSrv->WaitAccepted(5000) == 1 && pSrv->RecvAccepted(&c, 1) == 1) {
                std::lock_guard guard(m_lock);
                m_firstBytes += c;
            }
            return 0;
        };
    }
    std::string FirstBytes()
    {
        std::lock_guard guard(m_lock);
        return m_firstBytes;
    }

private:
    std::mutex m_lock;
    std::string m_firstBytes;
};

class TCPSrvTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        WriteLog("test begins");  // opens log.txt before descriptors are counted
    }
};

// The port srv listens on (0 when it does not).
std::uint16_t PortOf(const CTCPSrv& srv)
{
    char szIp[16];
    std::uint16_t nPort = 1;
    srv.GetListenAddr(szIp, nPort);
    return nPort;
}

const char* const kWindowTooLong = "wait for DVR's connection too long, quit listen...";

} // namespace

TEST_F(TCPSrvTest, PortsStartAt10000AndRepeatEvery55536Calls)
{
    // The process-wide counter, wherever earlier tests of the binary left it: one up
    // from call to call (its first value, 10000, is checked below).
    std::uint16_t nFirst = NextListenPort();
    std::uint16_t nSecond = NextListenPort();
    EXPECT_GE(nFirst, 10000);
    EXPECT_EQ(nSecond, nFirst == 65535 ? 10000 : nFirst + 1);
    for (std::uint16_t nPort : {nFirst, nSecond}) {
        CTCPSrv srv(StoreUnder(At("mp4download")));
        if (srv.Listen(nullptr, nPort) != 0) {
            // Only acceptable when something else on the machine holds the port.
            EXPECT_FALSE(CSocket::ListenTcp(nullptr, nPort).IsValid()) << nPort;
            continue;
        }
        EXPECT_EQ(PortOf(srv), nPort);
    }

    // The whole cycle, by call number.
    EXPECT_EQ(ListenPortOf(1), 10000);
    EXPECT_EQ(ListenPortOf(55536), 65535);
    EXPECT_EQ(ListenPortOf(55537), 10000);  // wraps into the range, never below it
    EXPECT_EQ(ListenPortOf(2 * 55536), 65535);
    // Across the counter's own wrap the ports stay in range.
    for (std::uint32_t n : {0u, 0xFFFFFFFFu, 0xFFFFFFFEu}) {
        EXPECT_GE(ListenPortOf(n), 10000) << n;
    }
}

TEST_F(TCPSrvTest, ABusyListenPortIsPassedOverAtOnce)
{
    std::uint16_t nBefore = NextListenPort();
    // The next two ports of the counter are taken by someone else.
    CSocket first = CSocket::ListenTcp(nullptr, static_cast<std::uint16_t>(nBefore + 1));
    CSocket second = CSocket::ListenTcp(nullptr, static_cast<std::uint16_t>(nBefore + 2));
    ASSERT_TRUE(first.IsValid() && second.IsValid());
    CTCPSrv srv(StoreUnder(At("mp4download")));
    std::uint16_t nPort = 0;
    ASSERT_EQ(ListenOnNextPort(srv, nPort), 0);
    EXPECT_GE(nPort, nBefore + 3);
    EXPECT_EQ(PortOf(srv), nPort);
}

TEST_F(TCPSrvTest, ListenFailuresLeaveNothingOpenAndTheAddressGivenIsTheSettingsIp)
{
    CSocket holder = CSocket::ListenTcp(nullptr, 0);
    ASSERT_TRUE(holder.IsValid());
    std::size_t nBefore = OpenDescriptors();
    {
        CTCPSrv srv(StoreUnder(At("mp4download")));
        EXPECT_EQ(srv.Listen(nullptr, holder.LocalPort()), -1);
        EXPECT_EQ(srv.Listen("not an address", 0), -1);
        EXPECT_EQ(DescriptorsSettledAt(nBefore), nBefore);
        EXPECT_EQ(PortOf(srv), 0);
        // Without a listening socket a window fails at once.
        srv.WaitForConnection();
        EXPECT_TRUE(LogHas("select accept error! errorno=" + std::to_string(EBADF)));

        ASSERT_EQ(srv.Listen("127.0.0.1", 0), 0);
        EXPECT_EQ(srv.Listen(nullptr, 0), -1);  // already listening
        EXPECT_EQ(DescriptorsSettledAt(nBefore + 1), nBefore + 1);
    }
    EXPECT_EQ(DescriptorsSettledAt(nBefore), nBefore);

    // The address given out is the settings' IP text; the socket listens on every
    // address, so loopback reaches it although the text names another.
    CTCPSrv srv(StoreUnder(At("mp4download")), "255.255.255.254");
    ASSERT_EQ(srv.Listen(nullptr, 0), 0);
    char szIp[16];
    std::uint16_t nPort = 0;
    srv.GetListenAddr(szIp, nPort);
    EXPECT_STREQ(szIp, "255.255.255.254");
    EXPECT_TRUE(Connect(nPort).IsValid());
}

TEST_F(TCPSrvTest, EachWindowTakesOneConnectionAndAnEmptyOneEndsWithItsLogLine)
{
    Timing().nAcceptWindowMs = 150;
    ByteRecorder recorder;
    CTCPSrv srv(recorder.Receiver());
    ASSERT_EQ(srv.Listen(nullptr, 0), 0);
    std::uint16_t nPort = PortOf(srv);

    srv.WaitForConnection();
    EXPECT_EQ(CountLog(kWindowTooLong), 1u);
    EXPECT_EQ(recorder.FirstBytes(), "");

    // Both connect while no window is open: the backlog keeps them for the next
    // windows, one each, in order.
    CSocket first = Connect(nPort);
    ASSERT_TRUE(first.SendAll("A", 1));
    CSocket second = Connect(nPort);
    ASSERT_TRUE(second.SendAll("B", 1));
    // Accepted at once: a window that had to end first would last an hour.
    Timing().nAcceptWindowMs = 3600000;
    srv.WaitForConnection();
    EXPECT_EQ(recorder.FirstBytes(), "A");
    srv.WaitForConnection();
    EXPECT_EQ(recorder.FirstBytes(), "AB");
    EXPECT_EQ(CountLog(kWindowTooLong), 1u);
}

TEST_F(TCPSrvTest, CloseSocketsEndsAnAcceptWaitAtOnceAndEveryLaterWindow)
{
    Timing().nAcceptWindowMs = 3600000;  // only the close can end the wait
    CTCPSrv srv(StoreUnder(At("mp4download")));
    ASSERT_EQ(srv.Listen(nullptr, 0), 0);

    std::jthread stopper([&] {
        SleepMs(100);
        srv.CloseSockets();
    });
    srv.WaitForConnection();
    stopper.join();
    const std::string line = "select accept error! errorno=" + std::to_string(EBADF);
    EXPECT_EQ(CountLog(line), 1u);

    srv.WaitForConnection();
    srv.CloseSockets();
    EXPECT_EQ(CountLog(line), 2u);
    EXPECT_EQ(CountLog(kWindowTooLong), 0u);
}

TEST_F(TCPSrvTest, CloseSocketsWakesTheReceiverAndEachSocketIsReleasedOnce)
{
    Timing().nAcceptWindowMs = 5000;
    std::size_t nBefore = OpenDescriptors();
    std::promise<void> waiting;
    std::atomic<int> nWaitResult {2};
    std::atomic<std::size_t> nDuringTransfer {0};
    {
        CTCPSrv srv([&](CTCPSrv* pSrv) {
            nDuringTransfer = OpenDescriptors();
            waiting.set_value();
            nWaitResult = pSrv->WaitAccepted(60000);
            return 0;
        });
        ASSERT_EQ(srv.Listen(nullptr, 0), 0);
        CSocket silent = Connect(PortOf(srv));
        ASSERT_TRUE(silent.IsValid());

        std::jthread stopper([&] {
            waiting.get_future().wait();
            SleepMs(50);
            srv.CloseSockets();
            srv.CloseSockets();
        });
        srv.WaitForConnection();
        stopper.join();
        EXPECT_EQ(nWaitResult, -1);  // woken by the close, not the minute's time-out
        // listening socket + client + accepted one while the receiver ran; the
        // accepted one is released when the receiver has left.
        EXPECT_EQ(nDuringTransfer, nBefore + 3);
        EXPECT_EQ(DescriptorsSettledAt(nBefore + 2), nBefore + 2);
        // The recorder sees its connection end.
        char c;
        EXPECT_EQ(silent.WaitReadable(2000), 1);
        EXPECT_EQ(silent.Recv(&c, 1), 0);
    }
    EXPECT_EQ(DescriptorsSettledAt(nBefore), nBefore);
}

TEST_F(TCPSrvTest, ReceivedBytesAreTakenWithoutLoss)
{
    Timing().nAcceptWindowMs = 5000;
    constexpr std::uint32_t kSize = 3 * 1024 * 1024 + 17;
    CTCPSrv srv(StoreUnder(At("dl")));
    ASSERT_EQ(srv.Listen(nullptr, 0), 0);
    std::uint16_t nPort = PortOf(srv);

    std::atomic<bool> bDone {false};
    std::uint64_t nTaken = 0;
    std::jthread taker([&] {
        while (!bDone) {
            nTaken += srv.TakeReceivedBytes();
            std::this_thread::yield();
        }
    });
    std::jthread sender([&] {
        CSocket sock = Connect(nPort);
        ASSERT_TRUE(sock.SendAll(HeaderBytes("BUS1", "ch01_x", 1362492129, 1362492729, kSize, 1).data(),
                                 kTransferHeaderSize));
        std::string data = Content(kSize);
        // In small pieces, so that the taker runs between many of them.
        for (std::size_t i = 0; i < data.size(); i += 4096)
            ASSERT_TRUE(sock.SendAll(data.data() + i, std::min<std::size_t>(4096, data.size() - i)));
    });
    srv.WaitForConnection();
    sender.join();
    bDone = true;
    taker.join();
    nTaken += srv.TakeReceivedBytes();
    EXPECT_EQ(nTaken, kSize);
    EXPECT_EQ(srv.TakeReceivedBytes(), 0u);
    EXPECT_TRUE(std::filesystem::exists(Dir() / "dl/BUS1/05-03-2013/ch01/ch01_20130305140209_20130305141209.mp4"));
}

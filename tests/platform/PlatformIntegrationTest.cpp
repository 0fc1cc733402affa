#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

TEST(EventTest, ResetModesWaitForAnyOrderAndWakeFromAnotherThread)
{
    CEvent quit(CEvent::Mode::ManualReset);
    CEvent reply(CEvent::Mode::AutoReset);
    EXPECT_EQ(CEvent::WaitForAny({&quit, &reply}, 20), -1);
    reply.Set();
    EXPECT_TRUE(reply.Wait(0));
    EXPECT_FALSE(reply.Wait(0));  // consumed by one wait
    reply.Set();
    quit.Set();
    EXPECT_TRUE(quit.Wait(0));    // a manual event stays set
    EXPECT_EQ(CEvent::WaitForAny({&quit, &reply}, 0), 0);
    EXPECT_EQ(CEvent::WaitForAny({&reply, &quit}, 0), 0);  // the first listed set one; reply consumed here
    EXPECT_EQ(CEvent::WaitForAny({&reply, &quit}, 0), 1);
    quit.Reset();
    EXPECT_FALSE(quit.Wait(10));

    std::jthread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        quit.Set();
    });
    EXPECT_EQ(CEvent::WaitForAny({&quit}, 10000), 0);  // woken by the set: a time-out returns -1
    setter.join();
}

TEST(SocketTest, AbortWakesUdpAndTcpWaitersAndLaterWaitsFail)
{
    CSocket udp = CSocket::CreateUdp("127.0.0.1", 0);
    CSocket tcp = CSocket::ListenTcp("127.0.0.1", 0);
    ASSERT_TRUE(udp.IsValid());
    ASSERT_TRUE(tcp.IsValid());
    for (CSocket* pSock : {&udp, &tcp}) {
        std::atomic<int> nResult {2};
        std::jthread waiter([&] { nResult = pSock->WaitReadable(60000); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pSock->Abort();
        waiter.join();
        EXPECT_EQ(nResult, -1);  // woken by the abort: a time-out returns 0
        EXPECT_EQ(pSock->WaitReadable(0), -1);
        EXPECT_TRUE(pSock->IsValid());  // abort wakes; only Close releases
    }
}

TEST(SocketTest, CloseReleasesDescriptorExactlyOnce)
{
    CSocket udp = CSocket::CreateUdp("127.0.0.1", 0);
    udp.Close();
    EXPECT_FALSE(udp.IsValid());
    // The number may now be reused by someone else; a second Close must not touch it.
    int nOther = ::dup(STDERR_FILENO);
    udp.Close();
    EXPECT_NE(::fcntl(nOther, F_GETFD), -1);
    ::close(nOther);
    CSocket moved = CSocket::CreateUdp("127.0.0.1", 0);
    CSocket target = std::move(moved);
    EXPECT_FALSE(moved.IsValid());
    EXPECT_TRUE(target.IsValid());
}

TEST(SocketTest, TcpConnectAcceptAndSendToClosedPeerDoesNotKillProcess)
{
    IgnoreSigPipe();
    CSocket listener = CSocket::ListenTcp("127.0.0.1", 0);
    ASSERT_TRUE(listener.IsValid());
    CSocket client = CSocket::ConnectTcp("127.0.0.1", listener.LocalPort(), 2000);
    ASSERT_TRUE(client.IsValid());
    ASSERT_EQ(listener.WaitReadable(2000), 1);
    std::string peerIp;
    CSocket server = listener.Accept(&peerIp);
    ASSERT_TRUE(server.IsValid());
    EXPECT_EQ(peerIp, "127.0.0.1");
    ASSERT_TRUE(client.SendAll("abc", 3));
    char szBuf[4] = {};
    ASSERT_EQ(server.WaitReadable(2000), 1);
    EXPECT_EQ(server.Recv(szBuf, 3), 3);
    EXPECT_STREQ(szBuf, "abc");
    server.Close();
    // Writing into a connection whose peer is gone fails instead of raising SIGPIPE.
    std::vector<char> big(1 << 20, 'x');
    bool bOk = true;
    for (int i = 0; i < 20 && bOk; ++i)
        bOk = client.SendAll(big.data(), big.size());
    EXPECT_FALSE(bOk);

    // Nobody listens on a closed port.
    std::uint16_t nPort = listener.LocalPort();
    listener.Close();
    EXPECT_FALSE(CSocket::ConnectTcp("127.0.0.1", nPort, 2000).IsValid());
}

TEST(SystemTest, ExecutablePathAndFreeSpaceOfMissingDirectory)
{
    EXPECT_EQ(std::filesystem::path(ExecutablePath()).filename(), "PlatformIntegrationTest");
    EXPECT_EQ(std::filesystem::path(ExecutablePath()).parent_path(), ExecutableDir());
    auto nFree = FreeDiskSpace("/tmp/does/not/exist/yet");
    ASSERT_TRUE(nFree.has_value());
    EXPECT_GT(*nFree, 0u);
    EXPECT_EQ(FreeDiskSpace("/tmp").value() / (1 << 20), nFree.value() / (1 << 20));
}

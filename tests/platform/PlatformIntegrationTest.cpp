#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <sys/socket.h>
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

TEST(SocketTest, DatagramsReportTheLocalAddressTheyArriveOn)
{
    // The whole of 127.0.0.0/8 is this host's: one socket bound to every address
    // receives what is sent to any of them.
    CSocket receiver = CSocket::CreateUdp(nullptr, 0);
    ASSERT_TRUE(receiver.IsValid());
    CSocket sender = CSocket::CreateUdp("127.0.0.5", 0);
    ASSERT_TRUE(sender.IsValid());
    auto receive = [&](std::string* pLocalIp) {
        char szBuf[64] = {};
        std::string peerIp = "stale";
        std::uint16_t nPeerPort = 0;
        EXPECT_EQ(receiver.WaitReadable(2000), 1);
        ssize_t n = receiver.RecvFrom(szBuf, sizeof(szBuf), &peerIp, &nPeerPort, pLocalIp);
        EXPECT_EQ(peerIp, "127.0.0.5");
        EXPECT_EQ(nPeerPort, sender.LocalPort());
        return std::string(szBuf, n > 0 ? static_cast<std::size_t>(n) : 0);
    };

    // Not asked for: nothing is reported, and a stale value does not survive.
    ASSERT_EQ(sender.SendTo("127.0.0.2", receiver.LocalPort(), "before", 6), 6);
    std::string localIp = "stale";
    EXPECT_EQ(receive(&localIp), "before");
    EXPECT_EQ(localIp, "");

    ASSERT_TRUE(receiver.ReportArrivalAddress());
    for (const char* szTo : {"127.0.0.2", "127.0.0.3", "127.0.0.1"}) {
        ASSERT_EQ(sender.SendTo(szTo, receiver.LocalPort(), szTo, std::strlen(szTo)),
                  static_cast<ssize_t>(std::strlen(szTo)));
        EXPECT_EQ(receive(&localIp), szTo);
        EXPECT_EQ(localIp, szTo);
    }
    // A datagram cut to the buffer still tells its full length and its address.
    std::string big(100, 'b');
    ASSERT_EQ(sender.SendTo("127.0.0.3", receiver.LocalPort(), big.data(), big.size()), 100);
    char szSmall[8];
    ASSERT_EQ(receiver.WaitReadable(2000), 1);
    EXPECT_EQ(receiver.RecvFrom(szSmall, sizeof(szSmall), nullptr, nullptr, &localIp), 100);
    EXPECT_EQ(localIp, "127.0.0.3");

    // Sent to the loopback network's broadcast address, a datagram names the host's
    // own address a reply leaves from, never the broadcast address.
    int nOne = 1;
    ASSERT_EQ(::setsockopt(sender.Fd(), SOL_SOCKET, SO_BROADCAST, &nOne, sizeof(nOne)), 0);
    if (sender.SendTo("127.255.255.255", receiver.LocalPort(), "all", 3) == 3) {
        EXPECT_EQ(receive(&localIp), "all");
        EXPECT_TRUE(IsLoopbackIpv4(localIp.c_str())) << localIp;
        EXPECT_NE(localIp, "127.255.255.255");
    }

    // The loopback test used to pick the address.
    EXPECT_TRUE(IsLoopbackIpv4("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackIpv4("127.255.0.9"));
    EXPECT_FALSE(IsLoopbackIpv4("128.0.0.1"));
    EXPECT_FALSE(IsLoopbackIpv4("10.127.0.1"));
    EXPECT_FALSE(IsLoopbackIpv4(""));
    EXPECT_FALSE(IsLoopbackIpv4("127.0.0"));
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

#include "platform/Poller.h"
#include "platform/Socket.h"
#include "platform/SocketOps.h"
#include "platform/WakeFd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// The ids one wait of the poller reports.
std::set<std::uint64_t> WaitIds(CPoller& poller, int nTimeoutMs)
{
    std::uint64_t ids[CPoller::kMaxReady];
    int n = poller.Wait(ids, CPoller::kMaxReady, nTimeoutMs);
    EXPECT_GE(n, 0) << "errno " << errno;
    return std::set<std::uint64_t>(ids, ids + std::max(n, 0));
}

} // namespace

TEST(PollerTest, ReportsTheReadySocketsIdOnceUntilRearmed)
{
    CPoller poller;
    ASSERT_EQ(poller.Open(), 0);
    CSocket quiet = CSocket::CreateUdp("127.0.0.1", 0);
    CSocket busy = CSocket::CreateUdp("127.0.0.1", 0);
    CSocket sender = CSocket::CreateUdp("127.0.0.1", 0);
    ASSERT_TRUE(poller.Add(quiet.Fd(), 7, CPoller::Want::Read));
    ASSERT_TRUE(poller.Add(busy.Fd(), 9, CPoller::Want::Read));
    EXPECT_TRUE(WaitIds(poller, 0).empty());

    ASSERT_EQ(sender.SendTo("127.0.0.1", busy.LocalPort(), "x", 1), 1);
    // A wait with no room for an id takes none: the next one gets it.
    EXPECT_EQ(poller.Wait(nullptr, 0, 5000), -1);
    EXPECT_EQ(WaitIds(poller, 5000), std::set<std::uint64_t> {9});
    // Still unread, but reported once: whoever got it owns it until it is rearmed.
    EXPECT_TRUE(WaitIds(poller, 0).empty());
    ASSERT_TRUE(poller.Rearm(busy.Fd(), 9, CPoller::Want::Read));
    EXPECT_EQ(WaitIds(poller, 5000), std::set<std::uint64_t> {9});

    // A datagram socket always has room to write.
    ASSERT_TRUE(poller.Rearm(quiet.Fd(), 7, CPoller::Want::Write));
    EXPECT_EQ(WaitIds(poller, 5000), std::set<std::uint64_t> {7});

    // The wake-up's own id is refused; so is a descriptor already watched.
    EXPECT_FALSE(poller.Add(sender.Fd(), CPoller::kReservedId, CPoller::Want::Read));
    EXPECT_FALSE(poller.Add(busy.Fd(), 11, CPoller::Want::Read));
    poller.Close();
    EXPECT_FALSE(poller.IsOpen());
}

TEST(PollerTest, WakeEndsAWaitWithoutLimitAndIsKeptWhenNobodyWaits)
{
    CPoller poller;
    ASSERT_EQ(poller.Open(), 0);
    CSocket idle = CSocket::CreateUdp("127.0.0.1", 0);
    ASSERT_TRUE(poller.Add(idle.Fd(), 1, CPoller::Want::Read));

    // Only the wake ends these waits: they have no time limit.
    std::atomic<int> nResult {-2};
    std::thread waiter([&] {
        std::uint64_t ids[4];
        nResult = poller.Wait(ids, 4, -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    poller.Wake();
    waiter.join();
    EXPECT_EQ(nResult, 0);

    // A wake that comes before the wait is not lost (Stop may run before the loop
    // waits), and it is used up by the wait it ends.
    poller.Wake();
    EXPECT_TRUE(WaitIds(poller, -1).empty());

    // A wake does not hide a socket that is ready at the same time.
    CSocket sender = CSocket::CreateUdp("127.0.0.1", 0);
    ASSERT_EQ(sender.SendTo("127.0.0.1", idle.LocalPort(), "x", 1), 1);
    poller.Wake();
    EXPECT_EQ(WaitIds(poller, 5000), std::set<std::uint64_t> {1});
}

TEST(PollerTest, WaitOneSeesDataAndTheWakeAndTheWakeWins)
{
    CSocket receiver = CSocket::CreateUdp("127.0.0.1", 0);
    CSocket sender = CSocket::CreateUdp("127.0.0.1", 0);
    CWakeFd wake;
    ASSERT_EQ(wake.Open(), 0);
    EXPECT_EQ(CPoller::WaitOne(receiver.Fd(), CPoller::Want::Read, 0), CPoller::Outcome::TimedOut);
    EXPECT_EQ(CPoller::WaitOne(receiver.Fd(), CPoller::Want::Read, 0, &wake), CPoller::Outcome::TimedOut);
    EXPECT_EQ(CPoller::WaitOne(receiver.Fd(), CPoller::Want::Write, 0), CPoller::Outcome::Ready);

    ASSERT_EQ(sender.SendTo("127.0.0.1", receiver.LocalPort(), "x", 1), 1);
    EXPECT_EQ(CPoller::WaitOne(receiver.Fd(), CPoller::Want::Read, 5000, &wake), CPoller::Outcome::Ready);
    // Signalled, the wake wins over waiting data, and stays signalled.
    wake.Signal();
    EXPECT_EQ(CPoller::WaitOne(receiver.Fd(), CPoller::Want::Read, 5000, &wake), CPoller::Outcome::Woken);
    EXPECT_EQ(CPoller::WaitOne(receiver.Fd(), CPoller::Want::Read, 5000, &wake), CPoller::Outcome::Woken);
    wake.Drain();
    EXPECT_EQ(CPoller::WaitOne(receiver.Fd(), CPoller::Want::Read, 5000, &wake), CPoller::Outcome::Ready);

    // Woken from another thread while waiting without limit on a quiet socket.
    CSocket quiet = CSocket::CreateUdp("127.0.0.1", 0);
    std::atomic<int> nOutcome {-1};
    std::thread waiter([&] {
        nOutcome = static_cast<int>(CPoller::WaitOne(quiet.Fd(), CPoller::Want::Read, -1, &wake));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    wake.Signal();
    waiter.join();
    EXPECT_EQ(nOutcome, static_cast<int>(CPoller::Outcome::Woken));
}

TEST(SocketOpsTest, AddressesNonBlockingReceiveShutdownAndNoSigPipe)
{
    CSocket listener = CSocket::ListenTcp("127.0.0.1", 0);
    ASSERT_TRUE(listener.IsValid());
    CSocket client = CSocket::ConnectTcp("127.0.0.1", listener.LocalPort(), 2000);
    ASSERT_TRUE(client.IsValid());
    ASSERT_EQ(listener.WaitReadable(2000), 1);
    CSocket server = listener.Accept();
    ASSERT_TRUE(server.IsValid());

    std::string ip = "unset";
    int nPort = -1;
    ASSERT_TRUE(CSocketOps::PeerAddress(server.Fd(), ip, nPort));
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_EQ(nPort, client.LocalPort());
    ASSERT_TRUE(CSocketOps::LocalAddress(server.Fd(), ip, nPort));
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_EQ(nPort, listener.LocalPort());
    // A datagram socket that never connected has no peer: nothing is changed.
    CSocket udp = CSocket::CreateUdp("127.0.0.1", 0);
    ip = "unset";
    nPort = -1;
    EXPECT_FALSE(CSocketOps::PeerAddress(udp.Fd(), ip, nPort));
    EXPECT_EQ(ip, "unset");
    EXPECT_EQ(nPort, -1);

    // Non-blocking: an empty socket answers at once instead of waiting.
    ASSERT_TRUE(CSocketOps::SetNonBlocking(server.Fd()));
    ASSERT_TRUE(CSocketOps::SetNoDelay(server.Fd()));
    char buf[16] = {};
    errno = 0;
    EXPECT_EQ(CSocketOps::Receive(server.Fd(), buf, sizeof(buf)), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
    ASSERT_EQ(CSocketOps::Send(client.Fd(), "abc", 3), 3);
    ASSERT_EQ(CPoller::WaitOne(server.Fd(), CPoller::Want::Read, 5000), CPoller::Outcome::Ready);
    EXPECT_EQ(CSocketOps::Receive(server.Fd(), buf, sizeof(buf)), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    // The peer of a socket whose sending side ended reads the end of the stream.
    CSocketOps::ShutdownSend(server.Fd());
    ASSERT_EQ(CPoller::WaitOne(client.Fd(), CPoller::Want::Read, 5000), CPoller::Outcome::Ready);
    EXPECT_EQ(CSocketOps::Receive(client.Fd(), buf, sizeof(buf)), 0);

    // Sending into a connection whose peer is gone fails instead of ending the
    // process with SIGPIPE (which this test leaves at its default).
    server.Close();
    std::vector<char> big(1 << 16, 'x');
    ssize_t nSent = 0;
    for (int i = 0; i < 1000 && nSent >= 0; ++i)
        nSent = CSocketOps::Send(client.Fd(), big.data(), big.size());
    EXPECT_EQ(nSent, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
}

TEST(SocketOpsTest, ListenWidensTheBacklogAndReuseAddressAllowsItOnABoundSocket)
{
    CSocket udp = CSocket::CreateUdp("127.0.0.1", 0);
    EXPECT_TRUE(CSocketOps::SetReuseAddress(udp.Fd()));
    // A datagram socket cannot listen; the failure shows.
    EXPECT_FALSE(CSocketOps::Listen(udp.Fd(), 16));
    CSocket listener = CSocket::ListenTcp("127.0.0.1", 0, 1);
    ASSERT_TRUE(listener.IsValid());
    EXPECT_TRUE(CSocketOps::Listen(listener.Fd(), 64));
    // Many clients wait at once without being accepted.
    std::vector<CSocket> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(CSocket::ConnectTcp("127.0.0.1", listener.LocalPort(), 2000));
        EXPECT_TRUE(clients.back().IsValid()) << i;
    }
}

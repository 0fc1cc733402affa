#include "control/UDPSrv.h"

#include "core/Logger.h"
#include "platform/Timing.h"
#include "support/LogFile.h"
#include "support/Descriptors.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Received {
    std::vector<unsigned char> bytes;
    std::string ip;
    std::uint16_t nPort;
    std::string localIp;
};

// Collects what the server's handler is given.
class Collector {
public:
    DatagramHandler Handler()
    {
        return [this](const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                      const char* szLocalIp) {
            std::lock_guard guard(m_lock);
            m_items.push_back({std::vector<unsigned char>(pData, pData + nLen), szIp, nPort, szLocalIp});
            m_changed.notify_all();
        };
    }

    // Waits until n datagrams have arrived; false after 5 s.
    bool WaitFor(std::size_t n)
    {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::seconds(5), [&] { return m_items.size() >= n; });
    }

    std::vector<Received> Items()
    {
        std::lock_guard guard(m_lock);
        return m_items;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Received> m_items;
};

class UDPSrvTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        WriteLog("test begins");  // creates the logger (and its file) before counting fds
    }

    CUDPSrv m_server;
    Collector m_collector;
};

} // namespace

TEST_F(UDPSrvTest, CreateWithoutHandlerOrOnTakenPortOpensNothingAndSendsOnceCreated)
{
    std::size_t nBefore = OpenDescriptors();
    EXPECT_EQ(m_server.Create(nullptr, 0, nullptr), -1);
    EXPECT_EQ(DescriptorsSettledAt(nBefore), nBefore);

    CSocket holder = CSocket::CreateUdp(nullptr, 0);
    nBefore = OpenDescriptors();
    EXPECT_EQ(m_server.Create(nullptr, holder.LocalPort(), m_collector.Handler()), -1);
    EXPECT_EQ(DescriptorsSettledAt(nBefore), nBefore);
    EXPECT_EQ(m_server.LocalPort(), 0);

    ASSERT_EQ(m_server.Create(nullptr, 0, m_collector.Handler()), 0);
    EXPECT_EQ(DescriptorsSettledAt(nBefore + 1), nBefore + 1);
    EXPECT_EQ(m_server.Create(nullptr, 0, m_collector.Handler()), -1);  // already created
    m_server.Stop();
    EXPECT_EQ(DescriptorsSettledAt(nBefore), nBefore);

    // As a transaction's datagram sender it sends once it is created.
    CDatagramSender& sender = m_server;
    EXPECT_EQ(sender.SendMsg("127.0.0.1", 9, "x", 1), -1);  // not created yet
    ASSERT_EQ(m_server.Create("127.0.0.1", 0, m_collector.Handler()), 0);
    CSocket sink = CSocket::CreateUdp("127.0.0.1", 0);
    EXPECT_EQ(sender.SendMsg("127.0.0.1", sink.LocalPort(), "fwd", 3), 0);
    ASSERT_EQ(sink.WaitReadable(5000), 1);
    m_server.Stop();
}

TEST_F(UDPSrvTest, DatagramsReachHandlerWithSenderOversizedAreDroppedAndIdleWaitsLogNothing)
{
    Timing().nUdpIdleWaitMs = 10;
    ASSERT_EQ(m_server.Create(nullptr, 0, m_collector.Handler()), 0);
    m_server.Start();
    // Sends to a port nobody listens on do not disturb receiving.
    CSocket gone = CSocket::CreateUdp("127.0.0.1", 0);
    std::uint16_t nDeadPort = gone.LocalPort();
    gone.Close();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(m_server.SendMsg("127.0.0.1", nDeadPort, "ping", 4), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // several idle wake-ups

    CSocket peer = CSocket::CreateUdp("127.0.0.1", 0);
    std::vector<unsigned char> big(7169, 0xAB);
    std::vector<unsigned char> fits(7168, 0xCD);
    ASSERT_GE(peer.SendTo("127.0.0.1", m_server.LocalPort(), big.data(), big.size()), 0);
    ASSERT_GE(peer.SendTo("127.0.0.1", m_server.LocalPort(), "", 0), 0);
    ASSERT_GE(peer.SendTo("127.0.0.1", m_server.LocalPort(), fits.data(), fits.size()), 0);
    ASSERT_GE(peer.SendTo("127.0.0.1", m_server.LocalPort(), "hello", 5), 0);
    ASSERT_TRUE(m_collector.WaitFor(2));
    auto items = m_collector.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].bytes, fits);
    EXPECT_EQ(std::string(items[1].bytes.begin(), items[1].bytes.end()), "hello");
    EXPECT_EQ(items[1].ip, "127.0.0.1");
    EXPECT_EQ(items[1].nPort, peer.LocalPort());

    ASSERT_EQ(m_server.SendMsg(items[1].ip.c_str(), items[1].nPort, "back", 4), 0);
    char szBuf[16] = {};
    ASSERT_EQ(peer.WaitReadable(5000), 1);
    EXPECT_EQ(peer.RecvFrom(szBuf, sizeof(szBuf), nullptr, nullptr), 4);
    EXPECT_STREQ(szBuf, "back");
    m_server.Stop();

    // One line for the oversized datagram; nothing for idle wake-ups, dead ports or
    // the stop.
    auto messages = ReadLogMessages();
    ASSERT_EQ(messages.size(), 2u) << ::testing::PrintToString(messages);
    EXPECT_NE(messages[1].find("7169 bytes"), std::string::npos) << messages[1];
}

TEST_F(UDPSrvTest, HandlerLearnsTheLocalAddressEachDatagramArrivedOn)
{
    // Bound to every address, as the server runs: the loopback network has many.
    ASSERT_EQ(m_server.Create(nullptr, 0, m_collector.Handler()), 0);
    m_server.Start();
    CSocket peer = CSocket::CreateUdp("127.0.0.7", 0);
    for (const char* szTo : {"127.0.0.2", "127.0.0.3", "127.0.0.2"})
        ASSERT_EQ(peer.SendTo(szTo, m_server.LocalPort(), szTo, std::strlen(szTo)),
                  static_cast<ssize_t>(std::strlen(szTo)));
    ASSERT_TRUE(m_collector.WaitFor(3));
    m_server.Stop();
    auto items = m_collector.Items();
    ASSERT_EQ(items.size(), 3u);
    for (const Received& item : items) {
        EXPECT_EQ(item.localIp, std::string(item.bytes.begin(), item.bytes.end()));
        EXPECT_EQ(item.ip, "127.0.0.7");
    }
}

TEST_F(UDPSrvTest, StopWakesReceiverAtOnceLogsNothingAndAllowsCreateAgain)
{
    Timing().nUdpIdleWaitMs = 3600000;  // only a wake-up lets Stop return
    ASSERT_EQ(m_server.Create(nullptr, 0, m_collector.Handler()), 0);
    m_server.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m_server.Stop();
    WriteLog("Server stops");
    auto messages = ReadLogMessages();
    ASSERT_EQ(messages.size(), 2u) << ::testing::PrintToString(messages);
    EXPECT_EQ(messages[1], "Server stops");

    EXPECT_EQ(m_server.SendMsg("127.0.0.1", 9, "x", 1), -1);  // idle: nothing to send with
    ASSERT_EQ(m_server.Create("127.0.0.1", 0, m_collector.Handler()), 0);
    m_server.Start();
    CSocket peer = CSocket::CreateUdp("127.0.0.1", 0);
    ASSERT_EQ(peer.SendTo("127.0.0.1", m_server.LocalPort(), "again", 5), 5);
    EXPECT_TRUE(m_collector.WaitFor(1));
    m_server.Stop();
}

// Stop wakes the receiver and only then closes the socket, so no stop, however soon
// after the start or after a datagram, looks like a failed wait.
TEST_F(UDPSrvTest, FiftyStartsAndStopsBindEachTimeLogNoErrorAndStillReceive)
{
    Timing().nUdpIdleWaitMs = 3600000;  // only the wake-up lets Stop return
    CSocket peer = CSocket::CreateUdp("127.0.0.1", 0);
    std::size_t nSent = 0;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(m_server.Create("127.0.0.1", 0, m_collector.Handler()), 0) << "start " << i;
        const std::uint16_t nPort = m_server.LocalPort();
        ASSERT_NE(nPort, 0) << "start " << i;
        m_server.Start();
        // Half the stops come at once (the thread may not be waiting yet), half after
        // the thread has handled a datagram and gone back to its wait.
        if (i % 2 == 1) {
            ASSERT_EQ(peer.SendTo("127.0.0.1", nPort, "tick", 4), 4);
            ASSERT_TRUE(m_collector.WaitFor(++nSent)) << "start " << i;
        }
        m_server.Stop();
        EXPECT_EQ(m_server.LocalPort(), 0) << "stop " << i;
    }

    // After all that the server still receives, on a port of its own.
    ASSERT_EQ(m_server.Create("127.0.0.1", 0, m_collector.Handler()), 0);
    m_server.Start();
    ASSERT_EQ(peer.SendTo("127.0.0.1", m_server.LocalPort(), "after", 5), 5);
    ASSERT_TRUE(m_collector.WaitFor(nSent + 1));
    m_server.Stop();
    auto items = m_collector.Items();
    ASSERT_EQ(items.size(), nSent + 1);
    EXPECT_EQ(std::string(items.back().bytes.begin(), items.back().bytes.end()), "after");
    EXPECT_EQ(items.back().nPort, peer.LocalPort());

    auto messages = ReadLogMessages();
    for (const std::string& message : messages)
        EXPECT_EQ(message.find("select error"), std::string::npos) << message;
    // Only this test's own first line: no stop logged anything.
    EXPECT_EQ(messages.size(), 1u) << ::testing::PrintToString(messages);
}

TEST_F(UDPSrvTest, ConcurrentSendersAllArrive)
{
    ASSERT_EQ(m_server.Create("127.0.0.1", 0, m_collector.Handler()), 0);
    m_server.Start();
    CSocket sink = CSocket::CreateUdp("127.0.0.1", 0);
    const int nThreads = 4;
    const int nEach = 50;  // stays within the default socket buffer
    std::vector<std::jthread> senders;
    for (int t = 0; t < nThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < nEach; ++i) {
                unsigned char msg[2] = {static_cast<unsigned char>(t), static_cast<unsigned char>(i)};
                EXPECT_EQ(m_server.SendMsg("127.0.0.1", sink.LocalPort(), msg, 2), 0);
            }
        });
    }
    std::vector<int> seen(nThreads * nEach, 0);
    int nGot = 0;
    while (nGot < nThreads * nEach && sink.WaitReadable(5000) == 1) {
        unsigned char msg[8];
        if (sink.RecvFrom(msg, sizeof(msg), nullptr, nullptr) == 2) {
            ++seen[msg[0] * nEach + msg[1]];
            ++nGot;
        }
    }
    for (auto& sender : senders)
        sender.join();
    EXPECT_EQ(nGot, nThreads * nEach);
    for (int n : seen)
        EXPECT_EQ(n, 1);
    m_server.Stop();
}

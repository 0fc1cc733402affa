// The file budget's bucket, followed on a clock of its own, and a connection's output
// sent within a slice and within the file bytes it was granted.
#include "support/Sandbox.h"
#include "web/WebBody.h"
#include "web/WebConnection.h"
#include "web/WebSendBudget.h"

#include <poll.h>
#include <sys/socket.h>

#include <memory>

namespace {

constexpr std::uint64_t kMB = 1000000;
constexpr std::size_t kSlice = 65536;

// Everything readable on fd now, without waiting.
std::string Drain(int fd)
{
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd pfd {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0)
            return got;
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return got;
        got.append(buf, static_cast<std::size_t>(n));
    }
}

class WebSendTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        // Room for far more than a slice (64 KiB), so that only the sender's bounds stop it.
        const int nRoom = 1 << 20;
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &nRoom, sizeof(nRoom));
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &nRoom, sizeof(nRoom));
        m_pConn = std::make_unique<CWebConnection>(fds[0], nullptr);
        m_peer = fds[1];
        m_file.resize(1 << 20);
        for (std::size_t k = 0; k < m_file.size(); ++k)
            m_file[k] = static_cast<char>((k * 131 + k / 977) & 0xFF);
        WriteFile(Dir() / "file", m_file);
    }
    void TearDown() override
    {
        m_pConn.reset();
        ::close(m_peer);
        Sandbox::TearDown();
    }

    std::unique_ptr<CWebConnection> m_pConn;
    int m_peer = -1;
    std::string m_file;
};

} // namespace

TEST(WebSendBudget, FillsAtItsRateUpToItsSizeAndTakesBackWhatWasNotSent)
{
    CWebSendBudget budget;
    budget.Configure(10 * kMB, 256 * 1024, 1000);
    ASSERT_TRUE(budget.Limited());
    // Full at the start: kBurstMs of the rate (1 MB), more than the least size.
    EXPECT_EQ(budget.Take(5 * kMB, 1000), kMB);
    EXPECT_EQ(budget.Take(1, 1000), 0u);
    // 10 MB/s is 10,000 bytes a millisecond.
    EXPECT_EQ(budget.WaitMs(100000, 1000), 10);
    EXPECT_EQ(budget.WaitMs(100000, 1004), 6);
    EXPECT_EQ(budget.Take(kMB, 1025), 250000u);
    budget.Return(50000);
    EXPECT_EQ(budget.Take(kMB, 1025), 50000u);
    // A long pause fills it to its size, no further.
    EXPECT_EQ(budget.WaitMs(kMB, 1025), 100);
    EXPECT_EQ(budget.WaitMs(kMB, 1125), 0);
    EXPECT_EQ(budget.Take(5 * kMB, 3600 * 1000), kMB);
    // Given back, it does not overflow either.
    budget.Return(3 * kMB);
    EXPECT_EQ(budget.Take(5 * kMB, 3600 * 1000), kMB);
    // A clock that does not move adds nothing.
    EXPECT_EQ(budget.Take(5 * kMB, 3600 * 1000), 0u);

    // A slow rate still lets one slice through at once.
    CWebSendBudget slow;
    slow.Configure(kMB, 256 * 1024, 0);
    EXPECT_EQ(slow.Take(kMB, 0), 256u * 1024);
    EXPECT_EQ(slow.WaitMs(256 * 1024, 0), 263);

    CWebSendBudget unlimited;
    unlimited.Configure(0, 256 * 1024, 0);
    EXPECT_FALSE(unlimited.Limited());
    EXPECT_EQ(unlimited.Take(7 * kMB, 0), 7 * kMB);
    EXPECT_EQ(unlimited.WaitMs(7 * kMB, 0), 0);
}

TEST_F(WebSendTest, OneTurnSendsAtMostItsSliceAndItsGrantOfFileBytes)
{
    CWebBody body;
    body.AddBytes("head\r\n\r\n");
    ASSERT_EQ(body.AddFile(At("file"), 1000, 500000), 0);
    m_pConn->QueueBody(std::move(body));
    const std::uint64_t nTotal = 8 + 500000;
    ASSERT_EQ(m_pConn->Backlog(), nTotal);

    // One slice, though the socket takes far more.
    std::size_t nSent = 0;
    std::uint64_t nFileSent = 0;
    EXPECT_EQ(m_pConn->SendNoWait(kSlice, &nSent, ~std::uint64_t {0}, &nFileSent), CWebConnection::Send::Wait);
    EXPECT_EQ(nSent, kSlice);
    EXPECT_EQ(nFileSent, kSlice - 8);
    std::string got = Drain(m_peer);

    // A grant of file bytes smaller than the slice: held once it is used up.
    EXPECT_EQ(m_pConn->SendNoWait(kSlice, &nSent, 30000, &nFileSent), CWebConnection::Send::Held);
    EXPECT_EQ(nSent, 30000u);
    EXPECT_EQ(nFileSent, 30000u);
    // No grant: nothing from the file.
    EXPECT_EQ(m_pConn->SendNoWait(kSlice, &nSent, 0, &nFileSent), CWebConnection::Send::Held);
    EXPECT_EQ(nSent, 0u);
    got += Drain(m_peer);
    EXPECT_EQ(m_pConn->Backlog(), nTotal - got.size());

    // The rest in slices, byte for byte what the file holds.
    for (int nTurns = 0; m_pConn->Backlog() > 0 && nTurns < 100; ++nTurns) {
        ASSERT_NE(m_pConn->SendNoWait(kSlice, &nSent), CWebConnection::Send::Failed);
        EXPECT_LE(nSent, kSlice);
        got += Drain(m_peer);
    }
    EXPECT_EQ(m_pConn->Backlog(), 0u);
    ASSERT_EQ(got.size(), nTotal);
    EXPECT_EQ(got.substr(0, 8), "head\r\n\r\n");
    EXPECT_TRUE(got.compare(8, std::string::npos, m_file, 1000, 500000) == 0);
}

TEST_F(WebSendTest, BytesBeforeAFileGoOutWithoutAGrant)
{
    CWebBody body;
    body.AddBytes("HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_EQ(body.AddFile(At("file"), 0, 10), 0);
    body.AddBytes("tail");
    m_pConn->QueueBody(std::move(body));
    std::size_t nSent = 0;
    std::uint64_t nFileSent = 0;
    EXPECT_EQ(m_pConn->SendNoWait(kSlice, &nSent, 0, &nFileSent), CWebConnection::Send::Held);
    EXPECT_EQ(nSent, 19u);
    EXPECT_EQ(nFileSent, 0u);
    EXPECT_EQ(m_pConn->SendNoWait(kSlice, &nSent, 10, &nFileSent), CWebConnection::Send::Done);
    EXPECT_EQ(nFileSent, 10u);
    EXPECT_EQ(Drain(m_peer), "HTTP/1.1 200 OK\r\n\r\n" + m_file.substr(0, 10) + "tail");
}

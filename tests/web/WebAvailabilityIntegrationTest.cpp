// The dashboard under the attacks it must stand: clients that queue requests and never
// read the answers, one address that opens every connection it can, and token
// guessing; and the token rules for addresses other machines reach.
#include "core/Logger.h"
#include "e2e/E2eFixture.h"
#include "platform/UniqueFd.h"
#include "support/LogFile.h"
#include "web/WebAuthGuard.h"
#include "web/WebDispatcher.h"
#include "web/WebTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

namespace {

const char kToken[] = "status-token-0123456789";

// A blocking TCP connection to 127.0.0.1:nPort from the loopback address szFrom
// (127.0.0.2, ...: another client address on this machine); invalid on failure.
CUniqueFd ConnectFrom(const char* szFrom, std::uint16_t nPort)
{
    CUniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, szFrom, &addr.sin_addr);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return CUniqueFd();
    addr.sin_port = htons(nPort);
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return CUniqueFd();
    return fd;
}

// What arrives on fd within nTimeoutMs, up to its end.
std::string ReadFor(int fd, int nTimeoutMs)
{
    std::string text;
    const std::int64_t nEnd = MonotonicMs() + nTimeoutMs;
    char buf[4096];
    for (;;) {
        const std::int64_t nLeft = nEnd - MonotonicMs();
        pollfd pfd {fd, POLLIN, 0};
        if (nLeft <= 0 || ::poll(&pfd, 1, static_cast<int>(nLeft)) <= 0)
            return text;
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return text;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

bool SendText(int fd, const std::string& text)
{
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

class WebAvailabilityTest : public E2eFixture {
protected:
    void SetUp() override
    {
        E2eFixture::SetUp();
        Timing().nWebSnapshotMs = 0;
        m_nWebPort = FreeTcpPort();
        Configure();
        SetKey("httpport", std::to_string(m_nWebPort));
    }

    void SetKey(const char* szKey, const std::string& value) { Settings().WriteValue(szKey, value); }

    // Token holders ask for the status from nThreads kept-alive connections for
    // nMs; the requests made and those answered 200 within a second.
    std::pair<int, int> PollStatus(int nThreads, int nMs)
    {
        std::atomic<int> nAsked {0}, nAnswered {0};
        std::vector<std::thread> threads;
        const std::int64_t nEnd = MonotonicMs() + nMs;
        for (int t = 0; t < nThreads; ++t) {
            threads.emplace_back([&] {
                httplib::Client client("127.0.0.1", m_nWebPort);
                client.set_connection_timeout(1, 0);
                client.set_read_timeout(1, 0);
                client.set_write_timeout(1, 0);
                const httplib::Headers auth {{"Authorization", std::string("Bearer ") + kToken}};
                while (MonotonicMs() < nEnd) {
                    const std::int64_t nStart = MonotonicMs();
                    auto res = client.Get("/api/v1/status", auth);
                    ++nAsked;
                    if (res && res->status == 200 && MonotonicMs() - nStart <= 1000)
                        ++nAnswered;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return {nAsked.load(), nAnswered.load()};
    }

    std::uint16_t m_nWebPort = 0;
};

} // namespace

TEST_F(WebAvailabilityTest, ClientsThatNeverReadHoldNoWorker)
{
    Timing().nWebWriteTimeoutMs = 1500;
    SetKey("httptoken", kToken);
    StartServer();
    // Each queues 350 requests for the 10 KiB page at once and never reads: far more
    // answer bytes than their sockets hold.
    std::string burst;
    for (int i = 0; i < 350; ++i)
        burst += "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<CUniqueFd> attackers;
    for (int i = 0; i < 8; ++i) {
        attackers.push_back(ConnectFrom("127.0.0.2", m_nWebPort));
        ASSERT_TRUE(attackers.back().IsValid());
        ASSERT_TRUE(SendText(attackers.back().Get(), burst));
    }
    auto [nAsked, nAnswered] = PollStatus(4, 3000);
    ASSERT_GT(nAsked, 40);
    EXPECT_GE(nAnswered * 100, nAsked * 95) << nAnswered << " of " << nAsked;
    // Their answers did not pile up, and a client whose output does not move is closed
    // after the write time-out (over by now): reading, it finds a bounded backlog and
    // then the end, far short of the 350 answers.
    const std::string got = ReadFor(attackers[0].Get(), 5000);
    std::size_t nAnswers = 0;
    for (std::size_t nAt = got.find("HTTP/1.1 401"); nAt != std::string::npos; nAt = got.find("HTTP/1.1 401", nAt + 1))
        ++nAnswers;
    EXPECT_GT(nAnswers, 0u);
    EXPECT_LT(nAnswers, 350u);
}

TEST_F(WebAvailabilityTest, OneAddressCannotTakeEveryConnection)
{
    SetKey("httptoken", kToken);
    StartServer();
    // 32 idle connections from one address are held; the 33rd is refused as a full
    // table refuses, and another address is still served.
    std::vector<CUniqueFd> held;
    for (std::size_t i = 0; i < CWebDispatcher::kMaxPerClient; ++i) {
        held.push_back(ConnectFrom("127.0.0.2", m_nWebPort));
        ASSERT_TRUE(held.back().IsValid());
    }
    CUniqueFd over = ConnectFrom("127.0.0.2", m_nWebPort);
    ASSERT_TRUE(over.IsValid());
    EXPECT_EQ(ReadFor(over.Get(), 3000).rfind("HTTP/1.1 503 ", 0), 0u);
    CUniqueFd other = ConnectFrom("127.0.0.3", m_nWebPort);
    ASSERT_TRUE(SendText(other.Get(), "GET /api/v1/status HTTP/1.1\r\nAuthorization: Bearer " + std::string(kToken) +
                                          "\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(ReadFor(other.Get(), 3000).rfind("HTTP/1.1 200 ", 0), 0u);
    // A connection that ends gives its place back.
    held.pop_back();
    ASSERT_TRUE(WaitFor([&] {
        CUniqueFd again = ConnectFrom("127.0.0.2", m_nWebPort);
        if (!SendText(again.Get(), "GET /api/v1/status HTTP/1.1\r\nConnection: close\r\n\r\n"))
            return false;
        return ReadFor(again.Get(), 2000).rfind("HTTP/1.1 401 ", 0) == 0;
    }));
    held.clear();

    // The whole attack: 256 connections from one address, kept open.
    std::vector<CUniqueFd> flood;
    for (int i = 0; i < 256; ++i)
        flood.push_back(ConnectFrom("127.0.0.2", m_nWebPort));
    auto [nAsked, nAnswered] = PollStatus(4, 3000);
    ASSERT_GT(nAsked, 40);
    EXPECT_GE(nAnswered * 100, nAsked * 95) << nAnswered << " of " << nAsked;
}

TEST_F(WebAvailabilityTest, WrongTokensAreCountedLoggedOnceAMinuteAndSlowed)
{
    Timing().nWebAuthLogMs = 400;
    Timing().nWebAuthPenaltyMs = 200;
    SetKey("httptoken", kToken);
    StartServer();
    httplib::Client client("127.0.0.1", m_nWebPort);
    const httplib::Headers wrong {{"Authorization", "Bearer guess"}};
    for (int i = 0; i < CWebAuthGuard::kFreeFailures; ++i) {
        auto res = client.Get("/api/v1/status", wrong);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 401);
    }
    EXPECT_EQ(CountLog("Web dashboard: wrong token from 127.0.0.1"), 1u);
    // One more after the log period: one summary line for all since the first; and
    // now a penalty, in which even the right token is not looked at.
    std::this_thread::sleep_for(std::chrono::milliseconds(Timing().nWebAuthLogMs + 50));
    auto res = client.Get("/api/v1/status", wrong);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(CountLog("Web dashboard: 3 more wrong tokens from 127.0.0.1 since the last report"), 1u);
    const httplib::Headers right {{"Authorization", std::string("Bearer ") + kToken}};
    res = client.Get("/metrics", right);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_FALSE(res->get_header_value("Retry-After").empty());
    // Requests without a token are not slowed (the login page still loads).
    res = client.Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_NE(res->body.find("id=\"login\""), std::string::npos);

    std::string metrics;
    ASSERT_TRUE(WaitFor([&] {
        auto again = client.Get("/metrics", right);
        if (!again || again->status != 200)
            return false;
        metrics = again->body;
        return true;
    }));
    EXPECT_NE(metrics.find("\nzeldownload_http_auth_failures_total 4\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("# TYPE zeldownload_http_auth_failures_total counter\n"), std::string::npos);
    // 429s were no failures, and the log got no line for each.
    std::size_t nLines = 0;
    for (const std::string& message : ReadLogMessages())
        nLines += message.find("wrong token") != std::string::npos ? 1 : 0;
    EXPECT_EQ(nLines, 2u);
}

TEST_F(WebAvailabilityTest, ShortTokensKeepTheDashboardOffOtherAddresses)
{
    SetKey("httpaddr", "0.0.0.0");
    SetKey("httptoken", "x");
    StartServer();
    EXPECT_TRUE(Control().IsRunning());
    EXPECT_TRUE(LogHas("Web dashboard not started: httpaddr 0.0.0.0 is reachable from other machines, so httptoken "
                       "must be at least 16 characters long"));
    EXPECT_FALSE(Server().Web().IsServing());
    Control().Stop();

    SetKey("httptoken", kToken);
    SetKey("footagetoken", "fifteen-chars-x");
    StartServer();
    EXPECT_TRUE(LogHas("Web dashboard not started: httpaddr 0.0.0.0 is reachable from other machines, so "
                       "footagetoken must be at least 16 characters long"));
    EXPECT_FALSE(Server().Web().IsServing());
    Control().Stop();

    // Sixteen will do; on a loopback address any length.
    SetKey("footagetoken", "sixteen-chars-xx");
    StartServer();
    EXPECT_TRUE(Server().Web().IsServing());
    Control().Stop();
    SetKey("httpaddr", "127.0.0.1");
    SetKey("httptoken", "x");
    StartServer();
    EXPECT_TRUE(Server().Web().IsServing());
}

TEST_F(WebAvailabilityTest, TokenOverPlainHttpFromAnotherAddressIsWarnedOfOnce)
{
    const std::string outside = NonLoopbackAddress();
    if (outside.empty())
        GTEST_SKIP() << "this machine has no address but loopback";
    SetKey("httpaddr", "0.0.0.0");
    SetKey("httptoken", kToken);
    StartServer();
    const httplib::Headers auth {{"Authorization", std::string("Bearer ") + kToken}};
    // From loopback the token never left the machine.
    httplib::Client local("127.0.0.1", m_nWebPort);
    auto res = local.Get("/api/v1/status", auth);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    const std::string warning = "Web dashboard: warning: a token came over plain HTTP from " + outside +
                                ", readable by anyone on the way (httpcert and httpkey turn on HTTPS)";
    EXPECT_EQ(CountLog(warning), 0u);
    httplib::Client client(outside, m_nWebPort);
    for (int i = 0; i < 3; ++i) {
        res = client.Get("/api/v1/status", auth);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
    }
    EXPECT_EQ(CountLog(warning), 1u);
}

// The transaction client against a fake datagram sender that loses, delays and
// duplicates: the resend must turn a lost datagram into one interval's delay, and a
// reply to any copy must complete the one request.
#include "control/TransactionClient.h"

#include "control/ControlMessage.h"
#include "control/DatagramSender.h"
#include "control/PendingReplyTable.h"
#include "control/TransactionCounter.h"
#include "platform/Event.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records every datagram; onSend decides what the "recorder" does with copy n (1-based).
class CFakeSender final : public CDatagramSender {
public:
    std::function<void(int nCopy, std::uint32_t nId)> onSend;
    int nFailFirst = 0;  // sends that fail outright

    int SendMsg(const char*, std::uint16_t, const void* pData, int nLen) override
    {
        ControlHeader header;
        EXPECT_TRUE(DecodeHeader(static_cast<const unsigned char*>(pData), static_cast<std::size_t>(nLen), &header));
        int nCopy = 0;
        {
            std::lock_guard guard(m_lock);
            if (m_nCalls++ < nFailFirst)
                return -1;
            m_ids.push_back(header.transactionId);
            nCopy = static_cast<int>(m_ids.size());
        }
        if (onSend)
            onSend(nCopy, header.transactionId);
        return 0;
    }

    std::vector<std::uint32_t> Ids()
    {
        std::lock_guard guard(m_lock);
        return m_ids;
    }

private:
    std::mutex m_lock;
    int m_nCalls = 0;
    std::vector<std::uint32_t> m_ids;
};

class TransactionClientTest : public Sandbox {
protected:
    CPendingReplyTable m_table;
    CTransactionCounter m_counter;
    CFakeSender m_sender;
    CEvent m_quit {CEvent::Mode::ManualReset};
    CTransactionClient m_client {"BUS7", m_quit, m_sender, m_table, m_counter};
    std::vector<std::jthread> m_late;  // replies sent later, joined before the table goes

    ~TransactionClientTest() override { m_late.clear(); }

    // The recorder's reply to id, as the receive thread would deliver it.
    bool Reply(std::uint32_t nId, std::uint16_t nStatus = kStatusOk)
    {
        unsigned char reply[kControlHeaderSize + 4] = {};
        ControlHeader header;
        header.isReply = 1;
        header.command = ZELP_QUERY_FILE_COUNT;
        header.transactionId = nId;
        header.payloadLength = 4;
        header.status = nStatus;
        EncodeHeader(header, reply);
        return m_table.PutReply(nId, reply, sizeof(reply));
    }

    void ReplyLater(std::uint32_t nId, int nMs)
    {
        m_late.emplace_back([this, nId, nMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
            Reply(nId);
        });
    }

    CTransactionClient::Outcome Run(int nWaitMs, int nResendMs, std::function<bool()> accepted = nullptr,
                                    std::uint32_t* pLen = nullptr)
    {
        static const unsigned char kPayload[20] = {};
        m_nReplyLen = sizeof(m_reply);
        Transaction request;
        request.szIp = "127.0.0.1";
        request.nPort = 5000;
        request.nCommand = ZELP_QUERY_FILE_COUNT;
        request.pPayload = kPayload;
        request.nPayloadLen = sizeof(kPayload);
        request.pReply = m_reply;
        request.pReplyLen = &m_nReplyLen;
        request.nWaitMs = nWaitMs;
        request.nResendMs = nResendMs;
        request.accepted = std::move(accepted);
        CTransactionClient::Outcome eOutcome = m_client.Transact(request);
        if (pLen)
            *pLen = m_nReplyLen;
        return eOutcome;
    }

    unsigned char m_reply[kReplyBufferSize] = {};
    std::uint32_t m_nReplyLen = 0;
};

} // namespace

TEST_F(TransactionClientTest, ALostRequestOrALostReplyCostsOneResendWithTheSameId)
{
    // The first copy never reaches the recorder; the second is answered.
    m_sender.onSend = [this](int nCopy, std::uint32_t nId) {
        if (nCopy == 2)
            Reply(nId);
    };
    std::uint32_t nLen = 0;
    EXPECT_EQ(Run(5000, 20, nullptr, &nLen), CTransactionClient::Outcome::Reply);
    EXPECT_EQ(nLen, kControlHeaderSize + 4);
    std::vector<std::uint32_t> ids = m_sender.Ids();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0], ids[1]);

    // The recorder answered the first copy, but that reply was lost: it answers the
    // repeat again (as a recorder that knows the id does), and that one arrives.
    m_sender.onSend = [this](int nCopy, std::uint32_t nId) {
        if (nCopy == 4)
            Reply(nId);
    };
    EXPECT_EQ(Run(5000, 20), CTransactionClient::Outcome::Reply);
    ids = m_sender.Ids();
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[2], ids[3]);
    EXPECT_NE(ids[2], ids[0]);  // a new request gets a new id
    EXPECT_TRUE(ReadLogMessages().empty());
}

TEST_F(TransactionClientTest, ALateReplyToTheFirstCopyCompletesAndDuplicatesAreNoFault)
{
    // The reply to copy 1 comes after copy 2 went out; then the reply to copy 2.
    m_sender.onSend = [this](int nCopy, std::uint32_t nId) {
        if (nCopy == 1)
            ReplyLater(nId, 60);
    };
    EXPECT_EQ(Run(5000, 20), CTransactionClient::Outcome::Reply);
    std::vector<std::uint32_t> ids = m_sender.Ids();
    ASSERT_GE(ids.size(), 2u);
    m_late.clear();
    // A duplicate reply after the request ended finds no waiter, but is known as one
    // of a resent request that was answered.
    EXPECT_FALSE(Reply(ids[0]));
    EXPECT_TRUE(m_table.IsSettled(ids[0]));
    EXPECT_FALSE(m_table.IsSettled(ids[0] + 1000));
    // Two replies to a waiting request: the first completes it, the second overwrites
    // nothing the requester has already read.
    m_sender.onSend = [this](int, std::uint32_t nId) {
        Reply(nId);
        Reply(nId);
    };
    EXPECT_EQ(Run(5000, 20), CTransactionClient::Outcome::Reply);
    EXPECT_TRUE(ReadLogMessages().empty());
}

TEST_F(TransactionClientTest, SilenceTimesOutAfterResendingEveryIntervalAndSendsOnceWithoutResend)
{
    EXPECT_EQ(Run(300, 50), CTransactionClient::Outcome::TimedOut);
    std::size_t nCopies = m_sender.Ids().size();
    EXPECT_GE(nCopies, 2u);
    EXPECT_LE(nCopies, 7u);
    std::uint32_t nId = m_sender.Ids().front();
    EXPECT_EQ(ReadLogMessages(),
              std::vector<std::string> {"wait for response " + std::to_string(nId) + " for cmd 2 too long"});
    // A timed-out request is not settled: a reply after it is still worth a log line.
    EXPECT_FALSE(m_table.IsSettled(nId));

    EXPECT_EQ(Run(100, 0), CTransactionClient::Outcome::TimedOut);
    EXPECT_EQ(m_sender.Ids().size(), nCopies + 1);
}

TEST_F(TransactionClientTest, QuitAcceptanceAndSendFailureEndTheWait)
{
    // The request took effect without a reply (the recorder connected back).
    int nPolls = 0;
    EXPECT_EQ(Run(5000, 1000, [&nPolls] { return ++nPolls == 3; }), CTransactionClient::Outcome::Accepted);
    EXPECT_EQ(m_sender.Ids().size(), 1u);

    m_sender.onSend = [this](int, std::uint32_t) { m_quit.Set(); };
    EXPECT_EQ(Run(5000, 20), CTransactionClient::Outcome::Quit);
    ASSERT_FALSE(ReadLogMessages().empty());
    EXPECT_EQ(ReadLogMessages().back().rfind("QuitThread Event Return when waitting response ", 0), 0u);
    m_quit.Reset();

    // The first send fails outright: nothing is waited for.
    CFakeSender failing;
    failing.nFailFirst = 1;
    CTransactionClient client("BUS7", m_quit, failing, m_table, m_counter);
    unsigned char reply[64];
    std::uint32_t nLen = sizeof(reply);
    Transaction request;
    request.pReply = reply;
    request.pReplyLen = &nLen;
    request.nWaitMs = 5000;
    request.nResendMs = 10;
    EXPECT_EQ(client.Transact(request), CTransactionClient::Outcome::SendFailed);
    EXPECT_EQ(ReadLogMessages().back(), "SendCmdWithReply:SendMsg Error!");
    EXPECT_TRUE(failing.Ids().empty());
}

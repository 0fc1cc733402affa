#include "control/TransactionClient.h"

#include "control/ControlMessage.h"
#include "control/DatagramSender.h"
#include "control/PendingReplyTable.h"
#include "control/TransactionCounter.h"
#include "core/Logger.h"
#include "core/ServerCounters.h"
#include "platform/Event.h"
#include "platform/Format.h"
#include "platform/System.h"
#include "platform/Timing.h"

#include <algorithm>
#include <cstring>

namespace {

// The request's datagram for transaction nId in sendBuf; its length.
int EncodeRequest(const Transaction& request, std::uint32_t nId, unsigned char* sendBuf)
{
    ControlHeader header;
    header.command = request.nCommand;
    header.transactionId = nId;
    header.payloadLength = request.nPayloadLen;
    EncodeHeader(header, sendBuf);
    if (request.nPayloadLen > 0)
        std::memcpy(sendBuf + kControlHeaderSize, request.pPayload, request.nPayloadLen);
    return static_cast<int>(request.nPayloadLen + kControlHeaderSize);
}

// Logs (and counts) a wait that ended without a reply.
void LogWaitEnd(CTransactionClient::Outcome eOutcome, std::uint32_t nId, const Transaction& request,
                const char* szOwner, CServerCounters* pCounters)
{
    switch (eOutcome) {
    case CTransactionClient::Outcome::Quit:
        WriteLog(Format("QuitThread Event Return when waitting response %u for cmd %d", nId, request.nCommand),
                 szOwner);
        break;
    case CTransactionClient::Outcome::TimedOut:
        if (!request.bQuiet)
            WriteLog(Format("wait for response %u for cmd %d too long", nId, request.nCommand), szOwner);
        if (pCounters)
            CServerCounters::Bump(pCounters->nReplyTimeouts);
        break;
    default:
        break;
    }
}

}  // namespace

CTransactionClient::CTransactionClient(std::string strOwner, CEvent& quit, CDatagramSender& sender,
                                       CPendingReplyTable& table, CTransactionCounter& counter,
                                       CServerCounters* pCounters)
    : m_strOwner(std::move(strOwner)), m_quit(quit), m_sender(sender), m_table(table), m_counter(counter),
      m_pCounters(pCounters)
{
}

CTransactionClient::Outcome CTransactionClient::Transact(const Transaction& request)
{
    if (request.nPayloadLen > kMaxRequestPayload)
        return Outcome::TooLong;
    CEvent replyEvent(CEvent::Mode::AutoReset);
    // An id still waited for (after the counter wrapped) is skipped, so that no two
    // requests share a waiter.
    std::uint32_t nId = m_counter.Next();
    while (!m_table.AddWaiter(nId, &replyEvent, request.pReply, *request.pReplyLen))
        nId = m_counter.Next();

    unsigned char sendBuf[kSendBufferSize] = {};
    const int nLen = EncodeRequest(request, nId, sendBuf);
    const char* szOwner = m_strOwner.c_str();

    int nCopies = 0;
    Outcome eOutcome = Outcome::SendFailed;
    if (m_sender.SendMsg(request.szIp, request.nPort, sendBuf, nLen) != 0) {
        WriteLog("SendCmdWithReply:SendMsg Error!", szOwner);
    } else {
        nCopies = 1;
        eOutcome = x_Await(request, nId, replyEvent, sendBuf, nLen, nCopies);
    }
    LogWaitEnd(eOutcome, nId, request, szOwner, m_pCounters);
    // Replies to the other copies of an answered request may still come, and so may
    // the reply to a request that took effect without one.
    bool bSettled = (eOutcome == Outcome::Reply && nCopies > 1) || eOutcome == Outcome::Accepted;
    m_table.RemoveWaiter(nId, &replyEvent, bSettled);
    return eOutcome;
}

CTransactionClient::Outcome CTransactionClient::x_Await(const Transaction& request, std::uint32_t nId,
                                                        CEvent& replyEvent, const unsigned char* sendBuf, int nLen,
                                                        int& nCopies)
{
    const std::int64_t nDeadline = MonotonicMs() + request.nWaitMs;
    std::int64_t nNextResend = request.nResendMs > 0 ? MonotonicMs() + request.nResendMs : nDeadline;
    for (;;) {
        std::int64_t nNow = MonotonicMs();
        if (nNow >= nDeadline)
            return Outcome::TimedOut;
        std::int64_t nSlice = std::min(nDeadline, nNextResend) - nNow;
        if (request.accepted)
            nSlice = std::min<std::int64_t>(nSlice, Timing().nPollMs);
        int nWoken = CEvent::WaitForAny({&m_quit, &replyEvent}, static_cast<int>(std::max<std::int64_t>(nSlice, 0)));
        if (nWoken == 0)
            return Outcome::Quit;
        if (nWoken == 1) {
            if (auto waiter = m_table.GetWaiter(nId)) {
                *request.pReplyLen = waiter->nReceived;
                return Outcome::Reply;
            }
            continue;
        }
        if (request.accepted && request.accepted())
            return Outcome::Accepted;
        if (request.nResendMs > 0 && MonotonicMs() >= nNextResend) {
            // A copy that cannot go out now may go out at the next interval.
            if (m_sender.SendMsg(request.szIp, request.nPort, sendBuf, nLen) == 0)
                ++nCopies;
            nNextResend += request.nResendMs;
        }
    }
}

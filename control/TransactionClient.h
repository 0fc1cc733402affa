#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CDatagramSender;
class CEvent;
class CPendingReplyTable;
class CTransactionCounter;

// One request of a transaction and how to wait for its reply.
struct Transaction {
    const char* szIp = "";                // the recorder's address
    std::uint16_t nPort = 0;              // and UDP port
    std::uint8_t nCommand = 0;
    const void* pPayload = nullptr;
    std::uint32_t nPayloadLen = 0;        // at most kMaxRequestPayload
    unsigned char* pReply = nullptr;      // receives the whole reply datagram
    std::uint32_t* pReplyLen = nullptr;   // in: capacity; out: the reply's length
    int nWaitMs = 0;                      // the whole wait
    int nResendMs = 0;                    // the same datagram again this often; 0 sends once
    // Polled while waiting: true when the request took effect without its reply (a
    // recorder that connected back for a file request). Optional.
    std::function<bool()> accepted;
    bool bQuiet = false;                  // no log line when the wait runs out
};

// Request/reply transactions with one recorder: each request gets a fresh transaction
// id and a waiter in the pending-reply table before it is sent, then waits for the
// reply, the owner's quit event or the end of its wait. A request that is safe to
// repeat is sent again with the same id every nResendMs, and the one waiter takes a
// reply to any of its copies, so a lost datagram costs one resend interval, not the
// whole wait.
class CServerCounters;

class CTransactionClient {
public:
    enum class Outcome { Reply, Accepted, Quit, TimedOut, SendFailed, TooLong };

    // strOwner names the log lines (the vehicle's name); quit ends every wait at once.
    // The references must outlive the client; pCounters, when given, counts the
    // replies that never came. Any thread.
    CTransactionClient(std::string strOwner, CEvent& quit, CDatagramSender& sender, CPendingReplyTable& table,
                       CTransactionCounter& counter, CServerCounters* pCounters = nullptr);
    CTransactionClient(const CTransactionClient&) = delete;
    CTransactionClient& operator=(const CTransactionClient&) = delete;

    // Runs one transaction; Reply means *pReplyLen bytes of reply are in pReply. Any
    // thread; calls from several threads run side by side, each with its own id.
    Outcome Transact(const Transaction& request);

private:
    // Waits for the reply to the request sent as transaction nId (the datagram sendBuf
    // of nLen bytes, sent again every nResendMs, each copy counted in nCopies) until it
    // comes, the request is accepted, the quit event is set or the wait runs out.
    Outcome x_Await(const Transaction& request, std::uint32_t nId, CEvent& replyEvent, const unsigned char* sendBuf,
                    int nLen, int& nCopies);

    const std::string m_strOwner;
    CEvent& m_quit;
    CDatagramSender& m_sender;
    CPendingReplyTable& m_table;
    CTransactionCounter& m_counter;
    CServerCounters* m_pCounters;
};

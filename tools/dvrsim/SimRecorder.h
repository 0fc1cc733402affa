#pragma once

#include "control/ControlMessage.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "tools/dvrsim/SimLoss.h"
#include "tools/dvrsim/SimOptions.h"
#include "tools/dvrsim/SimRecordings.h"
#include "tools/dvrsim/SimRequestHistory.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What one recorder did with one of its recordings.
struct SimRecordingStats {
    std::uint8_t nChannel = 0;
    std::uint32_t nIndex = 0;
    std::string strFileName;
    std::uint32_t nRequests = 0;    // ZELP_GETFILE requests naming it, repeats of one aside
    std::uint32_t nRefused = 0;     // of those, refused by the fault
    std::uint32_t nWithheld = 0;    // of those, served without a reply by the fault
    std::uint32_t nUploads = 0;     // uploads started for it: one per accepted request
    std::uint32_t nTransfers = 0;   // connections made to the server for it, strays aside
    std::uint32_t nStrays = 0;      // stray first connections of the double-connect fault
    std::uint32_t nCompleted = 0;   // transfers that sent every byte to the end
    std::uint32_t nCut = 0;         // transfers cut by the fault
    std::uint32_t nFailed = 0;      // connect or send failures, stops included
    std::uint64_t nBytes = 0;       // file bytes sent, extra bytes and strays included
    std::vector<std::uint32_t> vecSeeks;  // seek offset of every request, in order
};

// Counts over recorders.
struct SimTotals {
    std::uint64_t nRegistrations = 0;  // registrations answered with 200
    std::uint64_t nKeepAlives = 0;     // keepalives sent
    std::uint64_t nQueries = 0;        // queries answered, repeats of one aside
    std::uint64_t nFileRequests = 0;   // repeats of one aside
    std::uint64_t nWrongAddress = 0;   // of those, refused by --check-address
    std::uint64_t nRepeatedRequests = 0;  // requests that came again with their id: answered again
    std::uint64_t nReusedIds = 0;      // requests whose id a different recent request had
    std::uint64_t nUploads = 0;        // uploads started
    std::uint64_t nRefused = 0;
    std::uint64_t nWithheld = 0;       // file requests served without a reply
    std::uint64_t nTransfers = 0;
    std::uint64_t nStrays = 0;         // stray duplicate connections
    std::uint64_t nCompleted = 0;
    std::uint64_t nCut = 0;
    std::uint64_t nFailed = 0;
    std::uint64_t nBytes = 0;
    std::uint64_t nDroppedIn = 0;      // datagrams lost on the way in by --loss
    std::uint64_t nDroppedOut = 0;     // datagrams lost on the way out by --loss
    SimTotals& operator+=(const SimTotals& other);
};

// Receives event lines: level 1 for events (registered, queries, file requests with
// the faults planned for them, stray connections, transfer done, cut, refused, failed,
// keepalives cut inside the name), 2 for chatter (registrations and keepalives sent).
// Called from the recorder's threads, so it must be thread-safe and must not call Stop.
using SimEventSink = std::function<void(int nLevel, const std::string& strVehicle, const std::string& strText)>;

// One simulated recorder: a UDP socket of its own from which it registers and keeps
// alive, a control thread that answers the server's requests on that socket, and a
// thread per accepted file request that connects back to the server and streams.
class CSimRecorder {
public:
    // Requests of each recorder remembered, so that one sent again is answered again.
    static constexpr std::size_t kRequestHistory = 256;

    // strName is the name registered (at most 32 bytes). Any thread.
    CSimRecorder(std::string strName, const SimOptions& options, SimEventSink sink = nullptr);
    // Stops first.
    ~CSimRecorder();
    CSimRecorder(const CSimRecorder&) = delete;
    CSimRecorder& operator=(const CSimRecorder&) = delete;

    // Opens the UDP socket and starts the control thread; 0, or -1 when the socket
    // cannot be opened. Once per object. Owner's thread.
    int Start();
    // Starts ending the recorder's threads without waiting for them (wakes every
    // wait, aborts every socket), so that a fleet winds down in parallel. Any thread.
    void RequestStop();
    // Ends every thread of the recorder (control and transfers) and closes every
    // socket; returns when they have ended. Idempotent. Owner's thread, never from
    // the sink.
    void Stop();

    // Any thread.
    const std::string& Name() const { return m_strName; }
    const CSimRecordings& Recordings() const { return m_recordings; }
    std::uint16_t LocalPort() const { return m_nLocalPort.load(); }
    bool IsRegistered() const { return m_bRegistered.load(); }
    std::vector<SimRecordingStats> Stats() const;   // in Recordings().All() order
    SimTotals Totals() const;
    int ActiveTransfers() const;
    // File bytes sent so far, updated as they go out.
    std::uint64_t LiveBytes() const { return m_nLiveBytes.load(); }

private:
    struct Transfer {
        const SimRecording* pRecording = nullptr;
        std::uint32_t nSeek = 0;
        std::string strIp;
        std::uint16_t nPort = 0;
        bool bCut = false;
        int nDelayMs = 0;           // before connecting
        bool bDouble = false;       // a stray connection goes first
        bool bForeign = false;      // the header names what the faults say
        CSocket sock;               // set and closed under m_transferLock
        std::atomic<bool> bDone {false};
        std::thread thread;
    };

    void ControlLoop();
    void SendRegistration();
    void SendKeepAlive();
    void OnDatagram(const unsigned char* pData, std::size_t nLen, const std::string& strIp, std::uint16_t nPort,
                    std::int64_t* pNextSendMs);
    void OnQuery(const ControlHeader& header, const unsigned char* pPayload, std::size_t nLen,
                 const std::string& strIp, std::uint16_t nPort);
    void OnGetFile(const ControlHeader& header, const unsigned char* pPayload, std::size_t nLen,
                   const std::string& strIp, std::uint16_t nPort);
    // Answers a request sent again with the reply of the first time, if there was one.
    void OnRepeat(const ControlHeader& header, const CSimRequestHistory::Entry& first, const std::string& strIp,
                  std::uint16_t nPort);
    // Sends the reply and remembers it for the request's repeats.
    void SendReply(const ControlHeader& request, std::uint16_t nStatus, const unsigned char* pPayload,
                   std::size_t nLen, const std::string& strIp, std::uint16_t nPort);
    // Sends a datagram unless the loss takes it; szWhat names it in the event line.
    void SendDatagram(const std::string& strIp, std::uint16_t nPort, const unsigned char* pData, std::size_t nLen,
                      const std::string& strWhat);
    void RunTransfer(Transfer* pTransfer);
    void BuildHeader(const Transfer& transfer, unsigned char* pOut) const;
    std::string ForeignFileName(const SimRecording& recording) const;
    // Connects pTransfer->sock; false with *pFailure set when that fails or a stop came.
    bool OpenConnection(Transfer* pTransfer, std::string* pFailure);
    // Sends the header in the fault's pieces; false with *pFailure set on a failure.
    bool SendHeader(Transfer* pTransfer, const unsigned char* pHeader, std::string* pFailure);
    void CloseConnection(Transfer* pTransfer);
    // Returns true when the whole buffer went out.
    bool SendContent(CSocket& sock, std::uint64_t nSeed, std::uint64_t nFrom, std::uint64_t nTo,
                     std::vector<unsigned char>& buf, std::uint64_t* pSent);
    CSocket ConnectBack(const std::string& strIp, std::uint16_t nPort, int* pErr);
    void ReapTransfers();
    void Emit(int nLevel, const std::string& strText);

    const std::string m_strName;
    const SimOptions m_options;
    const CSimRecordings m_recordings;
    const SimEventSink m_sink;

    CSocket m_udp;                      // read by the control thread only; Abort from Stop
    std::thread m_control;
    CEvent m_stopEvent {CEvent::Mode::ManualReset};
    std::atomic<bool> m_bStopping {false};
    std::atomic<bool> m_bStarted {false};
    std::atomic<bool> m_bRegistered {false};
    std::atomic<std::uint16_t> m_nLocalPort {0};
    std::atomic<std::uint64_t> m_nLiveBytes {0};

    // Control thread only.
    CSimLoss m_lossIn;
    CSimLoss m_lossOut;
    CSimRequestHistory m_history {kRequestHistory};
    std::uint32_t m_nNextTid = 1;
    std::uint32_t m_nRegisterTid = 0;
    bool m_bEverRegistered = false;
    std::uint64_t m_nKeepAlivesSent = 0;

    // Requests of one recording each fault has been planned for, so far.
    struct FaultTurns {
        std::uint32_t nCuts = 0;
        std::uint32_t nDelays = 0;
        std::uint32_t nDoubles = 0;
        std::uint32_t nForeign = 0;
    };

    mutable std::mutex m_statsLock;
    std::vector<SimRecordingStats> m_vecStats;     // guarded by m_statsLock
    std::vector<FaultTurns> m_vecTurns;            // guarded by m_statsLock
    SimTotals m_totals;                            // guarded by m_statsLock

    mutable std::mutex m_transferLock;
    std::list<std::unique_ptr<Transfer>> m_transfers;  // guarded by m_transferLock
};

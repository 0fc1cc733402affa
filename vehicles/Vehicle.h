#pragma once

#include "control/ControlMessage.h"
#include "control/TransactionClient.h"
#include "footage/FootageRequest.h"
#include "platform/Condition.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "vehicles/ServerParts.h"
#include "vehicles/VehicleInfo.h"

#include <array>
#include <atomic>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

class CTCPSrv;
class CNotifyCenter;

// One online recorder: its address, its download pass (one thread per channel),
// the figures the window shows, and the control transactions sent to it.
class CVehicle {
public:
    // Body of one channel's download; returns when the channel is done or the vehicle
    // quits. Runs on its own thread, one per listed channel.
    using TaskFunction = std::function<void(CVehicle& vehicle, std::uint8_t nChannel)>;

    // Window or receive thread. nNow is the creation time (the first "keepalive").
    CVehicle(const VehicleInfo& info, std::uint32_t nNow, TaskFunction task, const ServerParts& parts);
    virtual ~CVehicle();  // stops the vehicle if that was not done
    CVehicle(const CVehicle&) = delete;
    CVehicle& operator=(const CVehicle&) = delete;

    const char* Name() const { return m_info.szName; }
    // The server parts this vehicle and its tasks use. Any thread.
    const ServerParts& Parts() const { return m_parts; }
    const char* PeerIp() const { return m_info.szIP; }
    std::uint16_t PeerPort() const { return m_info.nPort; }
    std::uint8_t ChannelCount() const { return m_info.nChannels; }

    // The local address the recorder's datagrams arrive on, "" when unknown. Any thread.
    std::string LocalIp() const EXCLUDES(m_addrLock);
    // A datagram from the recorder's registered address arrived on szLocalIp.
    // Receive thread (keepalive).
    void SetLocalIp(const char* szLocalIp) EXCLUDES(m_addrLock);
    // Turns the IP setting in szIp into the address this recorder's file requests
    // name (see ChooseListenIp) and logs which it is, once per vehicle and again when
    // it changes. Channel task threads.
    void ChooseListenIp(char (&szIp)[16]) EXCLUDES(m_addrLock);

    // Any thread.
    void SetLastKeepalive(std::uint32_t nTime) { m_nLastKeepalive = nTime; }
    std::uint32_t GetLastKeepalive() const { return m_nLastKeepalive; }

    // Whether a download pass runs. Any thread.
    bool IsRunning() EXCLUDES(m_stateLock);
    // Starts a download pass on its own thread unless one runs or the vehicle quit;
    // returns at once. Receive thread (keepalive).
    void Start() EXCLUDES(m_stateLock);
    // Signals quit and aborts the channels' transfers; returns at once. Any thread.
    void SignalStop() EXCLUDES(m_listenerLock);
    // SignalStop, then waits until the pass ended. Any thread but the vehicle's own.
    void Stop() EXCLUDES(m_stateLock, m_listenerLock);

    // Bytes written by all channels since the last call. Window thread (timer).
    std::uint32_t GetRate() EXCLUDES(m_listenerLock);
    // The progress the last pass ended with. Any thread.
    int LastProgress() const { return m_nLastProgress; }
    // What the last GetRate returned. Any thread.
    std::uint32_t LastRate() const { return m_nLastRate; }
    // Average progress of the pass in percent, 0 to 100. Any thread.
    int GetProgress() EXCLUDES(m_progressLock);
    // Whether a transfer started during this pass. Any thread.
    bool IsDownloading() const { return m_bDownloading; }

    // One request/reply transaction with the recorder, waiting up to nWaitMs and
    // sending the request again every nResendMs (0: once); 0 when a reply arrived (its
    // length in *pReplyLen), -1 otherwise. Channel task and download threads.
    int SendCmdWithReply(const char* szIp, std::uint16_t nPort, std::uint8_t nCommand, const void* pPayload,
                         std::uint32_t nPayloadLen, unsigned char* pReply, std::uint32_t* pReplyLen,
                         int nWaitMs, int nResendMs = 0);
    // The three requests: 0 found / accepted, 1 none or refused, -1 no (valid) answer.
    // The two queries are reads and are resent every Timing().nResendMs while they wait.
    // Channel task threads.
    int SendQueryFileCmd(std::uint8_t nChannel, std::uint8_t nFileType, std::uint32_t nStart, std::uint32_t nEnd,
                         EarliestFileRecord* pRecord);
    // connected, when given, tells whether the recorder already connected back to the
    // request's own listener: that counts as acceptance at once (result 0), and until
    // then the request is resent every Timing().nResendMs.
    int SendGetFileCmd(std::uint8_t nChannel, const char* szFileName, std::uint32_t nSeek, const char* szListenIp,
                       std::uint16_t nListenPort, const std::function<bool()>& connected = nullptr);
    // nWaitMs < 0 waits Timing().nReplyWaitMs. bQuiet: one line only on failure,
    // "ZELP_QUERY_FILE_COUNT FAILED!" (the count only feeds the history). Download thread.
    int SendQueryFileCountCmd(std::uint8_t nChannel, std::uint8_t nFileType, std::uint32_t nStart,
                              std::uint32_t nEnd, FileCountRecord* pRecord, int nWaitMs = -1, bool bQuiet = false);

    // For channel tasks (their own channel only). Any thread.
    bool IsQuit() const { return m_bQuit; }
    // Set when the vehicle stops; waits on it end at once then.
    CEvent& QuitEvent() { return m_hQuit; }
    // Sleeps up to nMs; true when the vehicle quit (the wait ends at once then).
    bool WaitQuit(int nMs);
    void SetProgressSpan(std::uint8_t nChannel, std::uint32_t nStart, std::uint32_t nEnd) EXCLUDES(m_progressLock);
    void SetProgressCurrent(std::uint8_t nChannel, std::uint32_t nCurrent) EXCLUDES(m_progressLock);
    void SetProgressFinished(std::uint8_t nChannel) EXCLUDES(m_progressLock);  // current = end
    void SetDownloading() EXCLUDES(m_progressLock);
    // A channel task waits for a transfer slot between these two calls. Its own thread.
    void BeginSlotWait();
    void EndSlotWait();
    // Whether every running channel task waits for a transfer slot. Any thread.
    bool IsWaitingForSlot() const;
    // Swaps in what the window was last told of the waiting state; the old value.
    // Window thread (timer).
    bool ExchangeShownWaiting(bool bWaiting) { return std::exchange(m_bShownWaiting, bWaiting); }

    // Asks the download thread, not the caller, to learn how many recordings the
    // channel holds in [tStart, tEnd]: once per visit and channel, and not at all
    // after the recorder left one such question unanswered. Returns at once. The
    // channel's own task.
    void RequestPendingCount(std::uint8_t nChannel, std::uint8_t nFileType, std::uint32_t tStart,
                             std::uint32_t tEnd) EXCLUDES(m_countLock, m_progressLock);
    // Recordings a pass of this visit skipped (channel, recorder's name, start): later
    // passes give each one try instead of kFailuresBeforeSkip, so a recording that
    // never arrives costs little while the rest is fetched. Channel task threads.
    void NoteSkipped(std::uint8_t nChannel, const std::string& fileName, std::uint32_t tStart)
        EXCLUDES(m_skipLock);
    bool WasSkipped(std::uint8_t nChannel, const std::string& fileName, std::uint32_t tStart) const
        EXCLUDES(m_skipLock);
    static constexpr std::size_t kSkippedKept = 10000;

    // The channel's recordings still on the recorder (-1 unknown). Download thread.
    void SetChannelPending(std::uint8_t nChannel, std::int64_t nPending) EXCLUDES(m_progressLock);
    // One recording of the channel was stored whole. Its own task.
    void ChannelFileStored(std::uint8_t nChannel) EXCLUDES(m_progressLock);

    // Registers the channel's listener while it awaits or receives a file, so that
    // Stop can abort it and GetRate can count it; a null listener clears the slot,
    // keeping the bytes it counted for the next GetRate.
    void SetListener(std::uint8_t nChannel, CTCPSrv* pListener) EXCLUDES(m_listenerLock);

    // The open footage requests of this pass, read once as it starts (none without a
    // request store). Channel task threads.
    std::vector<FootageRequest> PassRequests() const EXCLUDES(m_requestLock);
    // What the channel did for a request of this pass. Its own task.
    void NoteRequestResult(std::int64_t nId, const FootageChannelResult& result) EXCLUDES(m_requestLock);

    // The channels a pass downloads: 1..count (at most 63), or the one channel of the
    // vehicle's special configuration entry. Any thread.
    std::vector<std::uint8_t> ChannelList() const;

private:
    void RunPass() EXCLUDES(m_stateLock, m_progressLock, m_countLock);
    // Answers the tasks' count requests until every task of the pass has ended.
    // Download thread.
    void ServePendingCounts() EXCLUDES(m_countLock, m_progressLock);
    // A channel task ended. Its own thread.
    void TaskEnded() EXCLUDES(m_countLock);
    // Takes up the vehicle's open footage requests for the pass, and tells the store
    // how each went once every channel has ended. Download thread.
    void BeginRequests() EXCLUDES(m_requestLock);
    void EndRequests(const std::vector<std::uint8_t>& channels) EXCLUDES(m_requestLock);
    // Tells the fleet history how the pass ended. Download thread.
    void ReportPass(const std::vector<std::uint8_t>& channels) EXCLUDES(m_progressLock);

    VehicleInfo m_info;
    const ServerParts m_parts;
    TaskFunction m_task;
    CNotifyCenter* m_pCenter;
    std::atomic<std::uint32_t> m_nLastKeepalive;
    CEvent m_hQuit {CEvent::Mode::ManualReset};
    std::atomic<bool> m_bQuit {false};
    CTransactionClient m_client;

    mutable CMutex m_addrLock;  // guards m_localIp and m_loggedListenIp
    std::string m_localIp GUARDED_BY(m_addrLock);
    std::string m_loggedListenIp GUARDED_BY(m_addrLock);  // the choice logged last, "" none

    CMutex m_stateLock;   // guards m_bRunning and m_thread
    bool m_bRunning GUARDED_BY(m_stateLock) = false;
    std::thread m_thread GUARDED_BY(m_stateLock);

    CMutex m_listenerLock;  // guards m_listeners, m_nUntakenBytes and every use of a listed listener
    std::array<CTCPSrv*, kChannelSlots> m_listeners GUARDED_BY(m_listenerLock) {};
    // Counted by listeners since taken off their slots.
    std::uint32_t m_nUntakenBytes GUARDED_BY(m_listenerLock) = 0;

    // A count the download thread is asked for.
    struct CountJob {
        std::uint8_t nChannel;
        std::uint8_t nFileType;
        std::uint32_t tStart;
        std::uint32_t tEnd;
    };
    CMutex m_countLock ACQUIRED_BEFORE(m_progressLock);
    CCondition m_countWake;  // a job came, or a task ended
    std::deque<CountJob> m_countJobs GUARDED_BY(m_countLock);
    std::array<bool, kChannelSlots> m_countAsked GUARDED_BY(m_countLock) {};  // this visit
    bool m_bCountUnanswered GUARDED_BY(m_countLock) = false;  // this visit
    int m_nTasksLeft GUARDED_BY(m_countLock) = 0;  // tasks of this pass still running

    mutable CMutex m_skipLock;
    std::set<std::tuple<std::uint8_t, std::string, std::uint32_t>> m_skipped GUARDED_BY(m_skipLock);

    mutable CMutex m_requestLock;  // guards the footage requests of the current pass
    std::vector<FootageRequest> m_passRequests GUARDED_BY(m_requestLock);
    std::map<std::int64_t, std::vector<FootageChannelResult>> m_requestResults GUARDED_BY(m_requestLock);

    mutable CMutex m_progressLock;  // guards m_progress, m_finished and m_pending
    std::array<std::unique_ptr<ChannelProgress>, kChannelSlots> m_progress GUARDED_BY(m_progressLock);
    // Reached "download finished!" this pass.
    std::array<bool, kChannelSlots> m_finished GUARDED_BY(m_progressLock) {};
    // Per channel, for the whole visit; kNotCounted when not asked.
    std::array<std::int64_t, kChannelSlots> m_pending GUARDED_BY(m_progressLock);
    std::atomic<bool> m_bDownloading {false};
    std::atomic<std::uint32_t> m_nLastRate {0};
    std::atomic<int> m_nLastProgress {0};

    static constexpr std::int64_t kNotCounted = -2;
    std::atomic<int> m_nTasksRunning {0};
    std::atomic<int> m_nWaitingForSlot {0};
    bool m_bShownWaiting = false;         // window thread only
};

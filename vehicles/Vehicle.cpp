#include "vehicles/Vehicle.h"

#include "central/CentralStore.h"
#include "control/ByteOrder.h"
#include "control/DatagramSender.h"
#include "control/PendingReplyTable.h"
#include "control/TransactionCounter.h"
#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "core/ServerCounters.h"
#include "depot/FleetHistory.h"
#include "footage/FootageRequests.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/MutexUniqueLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "transfer/TCPSrv.h"
#include "vehicles/ListenAddress.h"

#include <cstdio>
#include <cstring>
#include <system_error>

CVehicle::CVehicle(const VehicleInfo& info, std::uint32_t nNow, TaskFunction task, const ServerParts& parts)
    : m_info(info), m_parts(parts), m_task(std::move(task)), m_pCenter(&parts.center),
      m_nLastKeepalive(nNow),
      m_client(std::string(info.szName, strnlen(info.szName, sizeof(info.szName) - 1)), m_hQuit, parts.sender,
               parts.replies, parts.transactions, &parts.counters)
{
    m_pending.fill(kNotCounted);
    m_info.szIP[sizeof(m_info.szIP) - 1] = '\0';
    m_info.szName[sizeof(m_info.szName) - 1] = '\0';
    m_info.szLocalIP[sizeof(m_info.szLocalIP) - 1] = '\0';
    CMutexLock guard(m_addrLock);
    m_localIp = m_info.szLocalIP;
}

std::string CVehicle::LocalIp() const
{
    CMutexLock guard(m_addrLock);
    return m_localIp;
}

void CVehicle::SetLocalIp(const char* szLocalIp)
{
    CMutexLock guard(m_addrLock);
    m_localIp.assign(szLocalIp, strnlen(szLocalIp, sizeof(m_info.szLocalIP) - 1));
}

void CVehicle::ChooseListenIp(char (&szIp)[16])
{
    szIp[sizeof(szIp) - 1] = '\0';
    const std::string setting = szIp;
    ListenIpChoice choice;
    bool bNews = false;
    {
        CMutexLock guard(m_addrLock);
        choice = ::ChooseListenIp(setting.c_str(), m_info.szIP, m_localIp.c_str());
        // The source is part of what is logged: the same text may come from elsewhere.
        std::string logged = choice.ip + '/' + std::to_string(static_cast<int>(choice.eSource));
        bNews = logged != m_loggedListenIp;
        if (bNews)
            m_loggedListenIp = logged;
    }
    if (bNews)
        WriteLog(ListenIpLogText(m_info.szName, setting.c_str(), choice), m_info.szName);
    std::snprintf(szIp, sizeof(szIp), "%.15s", choice.ip.c_str());
}

CVehicle::~CVehicle()
{
    Stop();
}

bool CVehicle::IsRunning()
{
    CMutexLock guard(m_stateLock);
    return m_bRunning;
}

void CVehicle::Start()
{
    CMutexLock guard(m_stateLock);
    if (m_bRunning || m_bQuit)
        return;
    // The previous pass has ended (it cleared m_bRunning last); collect its thread.
    if (m_thread.joinable())
        m_thread.join();
    try {
        m_thread = std::thread([this] { RunPass(); });
        m_bRunning = true;
    } catch (const std::system_error&) {
        WriteLog(Format("Create download thread for %s failed", m_info.szName), m_info.szName);
    }
}

void CVehicle::SignalStop()
{
    m_hQuit.Set();
    m_bQuit = true;
    CMutexLock guard(m_listenerLock);
    for (CTCPSrv* pListener : m_listeners) {
        if (pListener)
            pListener->CloseSockets();
    }
}

void CVehicle::Stop()
{
    SignalStop();
    std::thread pass;
    {
        CMutexLock guard(m_stateLock);
        pass = std::move(m_thread);
    }
    if (pass.joinable())
        pass.join();
}

bool CVehicle::WaitQuit(int nMs)
{
    return m_hQuit.Wait(nMs);
}

std::vector<std::uint8_t> CVehicle::ChannelList() const
{
    std::vector<std::uint8_t> channels;
    SpecialConfigEntry entry;
    if (m_parts.Config().FindSpecial(m_info.szName, entry) && entry.nChan != 0) {
        if (entry.nChan <= kMaxChannel)
            channels.push_back(entry.nChan);
        return channels;
    }
    // Channels beyond the slot tables are never downloaded.
    int nCount = m_info.nChannels < kMaxChannel ? m_info.nChannels : kMaxChannel;
    for (int nChannel = 1; nChannel <= nCount; ++nChannel)
        channels.push_back(static_cast<std::uint8_t>(nChannel));
    return channels;
}

void CVehicle::RunPass()
{
    std::vector<std::uint8_t> channels = ChannelList();
    {
        CMutexLock guard(m_progressLock);
        for (std::uint8_t nChannel : channels) {
            m_progress[nChannel] = std::make_unique<ChannelProgress>();
            m_finished[nChannel] = false;
        }
    }
    m_bDownloading = false;
    BeginRequests();

    std::vector<std::thread> tasks;
    for (std::uint8_t nChannel : m_task ? channels : std::vector<std::uint8_t> {}) {
        {
            CMutexLock guard(m_countLock);
            ++m_nTasksLeft;
        }
        try {
            ++m_nTasksRunning;
            tasks.emplace_back([this, nChannel] {
                m_task(*this, nChannel);
                --m_nTasksRunning;
                TaskEnded();
            });
        } catch (const std::system_error&) {
            --m_nTasksRunning;
            TaskEnded();
            WriteLog(Format("vehname=%s, chan=%d, create download thread failed", m_info.szName, nChannel),
                     m_info.szName);
        }
    }
    ServePendingCounts();
    for (std::thread& task : tasks)
        task.join();

    EndRequests(channels);
    ReportPass(channels);
    m_nLastProgress = GetProgress();
    VehicleEvent ev = MakeVehicleEvent(m_info.szName, static_cast<std::uint32_t>(m_nLastProgress.load()));
    m_pCenter->Post(0, NOTIFY_PROGRESS, &ev, sizeof(ev));
    m_bDownloading = false;
    {
        CMutexLock guard(m_progressLock);
        for (std::uint8_t nChannel : channels)
            m_progress[nChannel].reset();
    }
    CMutexLock guard(m_stateLock);
    m_bRunning = false;
}

void CVehicle::BeginRequests()
{
    std::vector<FootageRequest> requests;
    // Requests another depot may take are taken through the shared database, in time
    // for this vehicle's next pass.
    if (m_parts.pCentral)
        m_parts.pCentral->VehicleSeen(m_info.szName);
    if (m_parts.pRequests)
        requests = m_parts.pRequests->OpenRequests(m_info.szName);
    for (const FootageRequest& request : requests)
        m_parts.pRequests->OnTakenUp(request.nId, WallClockNow());
    CMutexLock guard(m_requestLock);
    m_passRequests = std::move(requests);
    m_requestResults.clear();
}

void CVehicle::EndRequests(const std::vector<std::uint8_t>& channels)
{
    std::vector<FootageRequest> requests;
    std::map<std::int64_t, std::vector<FootageChannelResult>> results;
    {
        CMutexLock guard(m_requestLock);
        requests.swap(m_passRequests);
        results.swap(m_requestResults);
    }
    for (const FootageRequest& request : requests)
        m_parts.pRequests->OnPassEnded(request.nId, channels, results[request.nId], WallClockNow());
}

std::vector<FootageRequest> CVehicle::PassRequests() const
{
    CMutexLock guard(m_requestLock);
    return m_passRequests;
}

void CVehicle::NoteRequestResult(std::int64_t nId, const FootageChannelResult& result)
{
    CMutexLock guard(m_requestLock);
    m_requestResults[nId].push_back(result);
}

void CVehicle::ReportPass(const std::vector<std::uint8_t>& channels)
{
    bool bAllFinished = !channels.empty();
    bool bCounted = true;
    std::int64_t nPending = 0;
    {
        CMutexLock guard(m_progressLock);
        for (std::uint8_t nChannel : channels) {
            bAllFinished = bAllFinished && m_finished[nChannel];
            // A finished channel has nothing left, asked or not.
            std::int64_t nChannelPending = m_finished[nChannel] ? 0 : m_pending[nChannel];
            if (nChannelPending == kNotCounted)
                bCounted = false;
            else if (nChannelPending < 0 || nPending < 0)
                nPending = -1;
            else
                nPending += nChannelPending;
        }
    }
    CFleetHistory& history = m_parts.history;
    if (bAllFinished)
        history.OnCompleteOffload(m_info.szName, WallClockNow());
    // Without a count this pass, the figure from the last one stands.
    if (bCounted && !channels.empty())
        history.OnPending(m_info.szName, nPending);
}

void CVehicle::BeginSlotWait()
{
    ++m_nWaitingForSlot;
}

void CVehicle::EndSlotWait()
{
    --m_nWaitingForSlot;
}

bool CVehicle::IsWaitingForSlot() const
{
    int nRunning = m_nTasksRunning;
    return nRunning > 0 && m_nWaitingForSlot >= nRunning;
}

void CVehicle::NoteSkipped(std::uint8_t nChannel, const std::string& fileName, std::uint32_t tStart)
{
    CMutexLock guard(m_skipLock);
    // Bounded by what a recorder can offer; past the bound a recording gets full tries.
    if (m_skipped.size() < kSkippedKept)
        m_skipped.emplace(nChannel, fileName, tStart);
}

bool CVehicle::WasSkipped(std::uint8_t nChannel, const std::string& fileName, std::uint32_t tStart) const
{
    CMutexLock guard(m_skipLock);
    return m_skipped.count({nChannel, fileName, tStart}) != 0;
}

void CVehicle::TaskEnded()
{
    CMutexLock guard(m_countLock);
    --m_nTasksLeft;
    m_countWake.NotifyAll();
}

void CVehicle::RequestPendingCount(std::uint8_t nChannel, std::uint8_t nFileType, std::uint32_t tStart,
                                   std::uint32_t tEnd)
{
    if (nChannel >= kChannelSlots)
        return;
    // A reversed span holds nothing; the recorder is not asked.
    if (static_cast<std::int32_t>(tStart) > static_cast<std::int32_t>(tEnd)) {
        SetChannelPending(nChannel, 0);
        return;
    }
    CMutexLock guard(m_countLock);
    if (m_bCountUnanswered || m_countAsked[nChannel])
        return;
    m_countAsked[nChannel] = true;
    m_countJobs.push_back(CountJob {nChannel, nFileType, tStart, tEnd});
    m_countWake.NotifyAll();
}

void CVehicle::ServePendingCounts()
{
    CMutexUniqueLock lock(m_countLock);
    for (;;) {
        while (m_countJobs.empty() && m_nTasksLeft > 0)
            m_countWake.Wait(m_countLock);
        if (m_countJobs.empty())
            return;
        CountJob job = m_countJobs.front();
        m_countJobs.pop_front();
        if (m_bCountUnanswered || m_bQuit) {
            lock.Unlock();
            SetChannelPending(job.nChannel, -1);
            lock.Lock();
            continue;
        }
        lock.Unlock();
        FileCountRecord count;
        // One quiet try with a short wait: a recorder that does not know the question
        // costs no channel anything, and one log line per visit.
        bool bAnswered = SendQueryFileCountCmd(job.nChannel, job.nFileType, job.tStart, job.tEnd, &count,
                                               Timing().nPendingReplyWaitMs, true) == 0;
        SetChannelPending(job.nChannel, bAnswered ? static_cast<std::int64_t>(count.nCount) : -1);
        lock.Lock();
        if (!bAnswered)
            m_bCountUnanswered = true;
    }
}

void CVehicle::SetChannelPending(std::uint8_t nChannel, std::int64_t nPending)
{
    CMutexLock guard(m_progressLock);
    if (nChannel < kChannelSlots)
        m_pending[nChannel] = nPending;
}

void CVehicle::ChannelFileStored(std::uint8_t nChannel)
{
    CMutexLock guard(m_progressLock);
    if (nChannel < kChannelSlots && m_pending[nChannel] > 0)
        --m_pending[nChannel];
}

std::uint32_t CVehicle::GetRate()
{
    CMutexLock guard(m_listenerLock);
    std::uint32_t nBytes = m_nUntakenBytes;
    m_nUntakenBytes = 0;
    for (CTCPSrv* pListener : m_listeners) {
        if (pListener)
            nBytes += pListener->TakeReceivedBytes();
    }
    m_nLastRate = nBytes;
    return nBytes;
}

int CVehicle::GetProgress()
{
    CMutexLock guard(m_progressLock);
    std::int64_t nSum = 0;
    int nRecords = 0;
    for (const auto& pProgress : m_progress) {
        if (!pProgress)
            continue;
        ++nRecords;
        auto nStart = static_cast<std::int32_t>(pProgress->start);
        auto nEnd = static_cast<std::int32_t>(pProgress->end);
        if (nEnd > nStart) {
            auto nDone = static_cast<std::int32_t>(pProgress->current - pProgress->start);
            auto nSpan = static_cast<std::int32_t>(pProgress->end - pProgress->start);
            nSum += static_cast<std::int64_t>(nDone) * 100 / nSpan;
        } else {
            nSum += 100;
        }
    }
    if (nRecords == 0)
        return 0;
    std::int64_t nResult = nSum / nRecords;
    return (nResult > 100 || nResult < 0) ? 100 : static_cast<int>(nResult);
}

void CVehicle::SetProgressSpan(std::uint8_t nChannel, std::uint32_t nStart, std::uint32_t nEnd)
{
    CMutexLock guard(m_progressLock);
    if (nChannel < kChannelSlots && m_progress[nChannel]) {
        m_progress[nChannel]->start = nStart;
        m_progress[nChannel]->end = nEnd;
    }
}

void CVehicle::SetProgressCurrent(std::uint8_t nChannel, std::uint32_t nCurrent)
{
    CMutexLock guard(m_progressLock);
    if (nChannel < kChannelSlots && m_progress[nChannel])
        m_progress[nChannel]->current = nCurrent;
}

void CVehicle::SetProgressFinished(std::uint8_t nChannel)
{
    CMutexLock guard(m_progressLock);
    if (nChannel < kChannelSlots && m_progress[nChannel]) {
        m_progress[nChannel]->current = m_progress[nChannel]->end;
        m_finished[nChannel] = true;
    }
}

void CVehicle::SetDownloading()
{
    CMutexLock guard(m_progressLock);
    m_bDownloading = true;
}

void CVehicle::SetListener(std::uint8_t nChannel, CTCPSrv* pListener)
{
    CMutexLock guard(m_listenerLock);
    if (nChannel >= kChannelSlots)
        return;
    // A transfer that ended between two ticks still shows in the speed.
    if (m_listeners[nChannel] && m_listeners[nChannel] != pListener)
        m_nUntakenBytes += m_listeners[nChannel]->TakeReceivedBytes();
    m_listeners[nChannel] = pListener;
    // A stop that came before the listener was listed must still abort it.
    if (pListener && m_bQuit)
        pListener->CloseSockets();
}

int CVehicle::SendCmdWithReply(const char* szIp, std::uint16_t nPort, std::uint8_t nCommand, const void* pPayload,
                               std::uint32_t nPayloadLen, unsigned char* pReply, std::uint32_t* pReplyLen,
                               int nWaitMs, int nResendMs)
{
    Transaction request;
    request.szIp = szIp;
    request.nPort = nPort;
    request.nCommand = nCommand;
    request.pPayload = pPayload;
    request.nPayloadLen = nPayloadLen;
    request.pReply = pReply;
    request.pReplyLen = pReplyLen;
    request.nWaitMs = nWaitMs;
    request.nResendMs = nResendMs;
    return m_client.Transact(request) == CTransactionClient::Outcome::Reply ? 0 : -1;
}

namespace {

std::uint16_t ReplyStatus(const unsigned char* pReply)
{
    return ReadBe16(pReply + 6);
}

} // namespace

int CVehicle::SendQueryFileCmd(std::uint8_t nChannel, std::uint8_t nFileType, std::uint32_t nStart,
                               std::uint32_t nEnd, EarliestFileRecord* pRecord)
{
    if (static_cast<std::int32_t>(nStart) > static_cast<std::int32_t>(nEnd)) {
        WriteLog("ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN no files in the Invalid time span", m_info.szName);
        return 1;
    }
    QueryPayload query {kQueryKindEarliest, nChannel, nFileType, nStart, nEnd};
    unsigned char payload[kQueryPayloadSize];
    EncodeQuery(query, payload);
    unsigned char reply[kReplyBufferSize];
    std::uint32_t nReplyLen = sizeof(reply);
    if (SendCmdWithReply(m_info.szIP, m_info.nPort, ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN, payload, sizeof(payload),
                         reply, &nReplyLen, Timing().nReplyWaitMs, Timing().nResendMs) != 0) {
        WriteLog("ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN FAILED!", m_info.szName);
        return -1;
    }
    if (nReplyLen < kControlHeaderSize || ReplyStatus(reply) != kStatusOk) {
        WriteLog("ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN no files in the time span", m_info.szName);
        return 1;
    }
    if (!DecodeEarliestFileRecord(reply + kControlHeaderSize, nReplyLen - kControlHeaderSize, pRecord)) {
        WriteLog(Format("ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN reply of %u bytes is too short!", nReplyLen),
                 m_info.szName);
        return -1;
    }
    return 0;
}

int CVehicle::SendGetFileCmd(std::uint8_t nChannel, const char* szFileName, std::uint32_t nSeek,
                             const char* szListenIp, std::uint16_t nListenPort, const std::function<bool()>& connected)
{
    std::string tag = Format("ch%02d", nChannel);
    if (std::strstr(szFileName, tag.c_str()) == nullptr)
        DebugOutput(tag + ":" + szFileName);

    GetFileRequest request;
    if (std::strlen(szFileName) >= sizeof(request.szFileName)) {
        // The request's field would cut the name, and the recorder would be asked for
        // a file it does not have.
        WriteLog(Format("ZELP_GETFILE chan %d: %s, file name too long for the request", nChannel, szFileName),
                 m_info.szName);
        return 1;
    }
    std::strcpy(request.szFileName, szFileName);
    request.nSeek = nSeek;
    std::strncpy(request.szListenIp, szListenIp, sizeof(request.szListenIp) - 1);
    request.nListenPort = nListenPort;
    request.nChannel = nChannel;
    unsigned char payload[kGetFileRequestSize];
    EncodeGetFileRequest(request, payload);

    unsigned char reply[kReplyBufferSize];
    std::uint32_t nReplyLen = sizeof(reply);
    Transaction get;
    get.szIp = m_info.szIP;
    get.nPort = m_info.nPort;
    get.nCommand = ZELP_GETFILE;
    get.pPayload = payload;
    get.nPayloadLen = sizeof(payload);
    get.pReply = reply;
    get.pReplyLen = &nReplyLen;
    get.nWaitMs = Timing().nReplyWaitMs;
    // Without a way to see the recorder connect, a repeated request could start a
    // second upload, so it is sent once.
    get.nResendMs = connected ? Timing().nResendMs : 0;
    get.accepted = connected;
    CTransactionClient::Outcome eOutcome = m_client.Transact(get);
    if (eOutcome == CTransactionClient::Outcome::Accepted) {
        WriteLog(Format("vehname=%s, chan=%d, no reply to the request of %s, but the recorder connected: "
                        "transfer taken",
                        m_info.szName, nChannel, szFileName),
                 m_info.szName);
        return 0;
    }
    if (eOutcome != CTransactionClient::Outcome::Reply) {
        WriteLog("ZELP_GETFILE FAILED!", m_info.szName);
        return -1;
    }
    std::uint16_t nStatus = nReplyLen >= kControlHeaderSize ? ReplyStatus(reply) : 0;
    if (nStatus != kStatusOk) {
        WriteLog(Format("ZELP_GETFILE chan %d: %s, seek=%d, get response: %d\r\n", nChannel, szFileName,
                        static_cast<int>(nSeek), nStatus),
                 m_info.szName);
        return 1;
    }
    return 0;
}

int CVehicle::SendQueryFileCountCmd(std::uint8_t nChannel, std::uint8_t nFileType, std::uint32_t nStart,
                                    std::uint32_t nEnd, FileCountRecord* pRecord, int nWaitMs, bool bQuiet)
{
    QueryPayload query {kQueryKindCount, nChannel, nFileType, nStart, nEnd};
    unsigned char payload[kQueryPayloadSize];
    EncodeQuery(query, payload);
    unsigned char reply[kReplyBufferSize];
    std::uint32_t nReplyLen = sizeof(reply);
    Transaction count;
    count.szIp = m_info.szIP;
    count.nPort = m_info.nPort;
    count.nCommand = ZELP_QUERY_FILE_COUNT;
    count.pPayload = payload;
    count.nPayloadLen = sizeof(payload);
    count.pReply = reply;
    count.pReplyLen = &nReplyLen;
    count.nWaitMs = nWaitMs < 0 ? Timing().nReplyWaitMs : nWaitMs;
    count.nResendMs = Timing().nResendMs;
    count.bQuiet = bQuiet;
    if (m_client.Transact(count) != CTransactionClient::Outcome::Reply) {
        WriteLog("ZELP_QUERY_FILE_COUNT FAILED!", m_info.szName);
        return -1;
    }
    if (nReplyLen < kControlHeaderSize || ReplyStatus(reply) != kStatusOk) {
        WriteLog("ZELP_QUERY_FILE_COUNT return status is not OK", m_info.szName);
        return -1;
    }
    if (!DecodeFileCountRecord(reply + kControlHeaderSize, nReplyLen - kControlHeaderSize, pRecord)) {
        WriteLog(Format("ZELP_QUERY_FILE_COUNT reply of %u bytes is too short!", nReplyLen), m_info.szName);
        return -1;
    }
    return 0;
}

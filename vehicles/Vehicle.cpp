#include "vehicles/Vehicle.h"

#include "control/ByteOrder.h"
#include "control/PendingReplyTable.h"
#include "control/TransactionCounter.h"
#include "control/UDPSrv.h"
#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "core/ServerCounters.h"
#include "depot/FleetHistory.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "transfer/TCPSrv.h"

#include <cstring>
#include <system_error>

CVehicle::CVehicle(const VehicleInfo& info, std::uint32_t nNow, TaskFunction task, CNotifyCenter* pCenter)
    : m_info(info), m_task(std::move(task)), m_pCenter(pCenter ? pCenter : &CNotifyCenter::Instance()),
      m_nLastKeepalive(nNow)
{
    m_info.szIP[sizeof(m_info.szIP) - 1] = '\0';
    m_info.szName[sizeof(m_info.szName) - 1] = '\0';
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
    if (FindSpecialConfig(m_info.szName, entry) && entry.nChan != 0) {
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
            m_pending[nChannel] = kNotCounted;
        }
    }
    m_bDownloading = false;
    std::int64_t nNowMs = MonotonicMs();
    bool bCount = m_nLastCountMs < 0 || nNowMs - m_nLastCountMs >= Timing().nPendingQueryMs;
    if (bCount)
        m_nLastCountMs = nNowMs;
    m_bCountPass = bCount;

    std::vector<std::thread> tasks;
    for (std::uint8_t nChannel : m_task ? channels : std::vector<std::uint8_t> {}) {
        try {
            ++m_nTasksRunning;
            tasks.emplace_back([this, nChannel] {
                m_task(*this, nChannel);
                --m_nTasksRunning;
            });
        } catch (const std::system_error&) {
            --m_nTasksRunning;
            WriteLog(Format("vehname=%s, chan=%d, create download thread failed", m_info.szName, nChannel),
                     m_info.szName);
        }
    }
    for (std::thread& task : tasks)
        task.join();

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
    CFleetHistory& history = CFleetHistory::Instance();
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
                               int nWaitMs)
{
    if (nPayloadLen > kMaxRequestPayload)
        return -1;
    CPendingReplyTable& table = CPendingReplyTable::Instance();
    CEvent replyEvent(CEvent::Mode::AutoReset);
    // An id still waited for (after the counter wrapped) is skipped, so that no two
    // requests share a waiter.
    std::uint32_t nId = NextTransactionId();
    while (!table.AddWaiter(nId, &replyEvent, pReply, *pReplyLen))
        nId = NextTransactionId();

    unsigned char sendBuf[kSendBufferSize] = {};
    ControlHeader header;
    header.command = nCommand;
    header.transactionId = nId;
    header.payloadLength = nPayloadLen;
    EncodeHeader(header, sendBuf);
    if (nPayloadLen > 0)
        std::memcpy(sendBuf + kControlHeaderSize, pPayload, nPayloadLen);

    int nResult = -1;
    if (UDPSendMsg(szIp, nPort, sendBuf, static_cast<int>(nPayloadLen + kControlHeaderSize)) != 0) {
        WriteLog("SendCmdWithReply:SendMsg Error!", m_info.szName);
    } else {
        switch (CEvent::WaitForAny({&m_hQuit, &replyEvent}, nWaitMs)) {
        case 0:
            WriteLog(Format("QuitThread Event Return when waitting response %u for cmd %d", nId, nCommand),
                     m_info.szName);
            break;
        case 1:
            if (auto waiter = table.GetWaiter(nId)) {
                *pReplyLen = waiter->nReceived;
                nResult = 0;
            }
            break;
        default:
            WriteLog(Format("wait for response %u for cmd %d too long", nId, nCommand), m_info.szName);
            CServerCounters::Bump(CServerCounters::Instance().nReplyTimeouts);
            break;
        }
    }
    table.RemoveWaiter(nId, &replyEvent);
    return nResult;
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
                         reply, &nReplyLen, Timing().nReplyWaitMs) != 0) {
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
                             const char* szListenIp, std::uint16_t nListenPort)
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
    if (SendCmdWithReply(m_info.szIP, m_info.nPort, ZELP_GETFILE, payload, sizeof(payload), reply, &nReplyLen,
                         Timing().nReplyWaitMs) != 0) {
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
                                    std::uint32_t nEnd, FileCountRecord* pRecord, int nWaitMs)
{
    QueryPayload query {kQueryKindCount, nChannel, nFileType, nStart, nEnd};
    unsigned char payload[kQueryPayloadSize];
    EncodeQuery(query, payload);
    unsigned char reply[kReplyBufferSize];
    std::uint32_t nReplyLen = sizeof(reply);
    if (SendCmdWithReply(m_info.szIP, m_info.nPort, ZELP_QUERY_FILE_COUNT, payload, sizeof(payload), reply,
                         &nReplyLen, nWaitMs < 0 ? Timing().nReplyWaitMs : nWaitMs) != 0) {
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

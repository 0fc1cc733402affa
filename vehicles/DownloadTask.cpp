#include "vehicles/DownloadTask.h"

#include "core/Logger.h"
#include "core/ServerCounters.h"
#include "depot/FleetHistory.h"
#include "depot/TransferScheduler.h"
#include "depot/TransferSlot.h"
#include "platform/Format.h"
#include "platform/PathName.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"
#include "transfer/TCPSrv.h"
#include "vehicles/Vehicle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

std::string BaseName(const std::string& path)
{
    auto nPos = path.rfind('/');
    return nPos == std::string::npos ? path : path.substr(nPos + 1);
}

std::string DirName(const std::string& path)
{
    auto nPos = path.rfind('/');
    return nPos == std::string::npos ? std::string(".") : path.substr(0, nPos);
}

std::uint32_t SignedMax(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a) >= static_cast<std::int32_t>(b) ? a : b;
}

} // namespace

CDownloadTask::CDownloadTask(CVehicle& vehicle, std::uint8_t nChannel) : m_vehicle(vehicle), m_nChannel(nChannel) {}

CDownloadTask::~CDownloadTask() = default;

void CDownloadTask::RunChannel(CVehicle& vehicle, std::uint8_t nChannel)
{
    CDownloadTask(vehicle, nChannel).Run();
}

std::uint8_t CDownloadTask::ToRecorderFileType(std::uint32_t nFileType)
{
    return WireFileType(nFileType);
}

void CDownloadTask::Log(const std::string& message) const
{
    WriteLog(Format("vehname=%s, chan=%d, ", m_vehicle.Name(), m_nChannel) + message, m_vehicle.Name());
}

void CDownloadTask::Run()
{
    Log(Format("Download THREADSTART(threadid:%d)", CurrentThreadId()));

    m_settings = GlobalSettings();
    m_depot = GlobalDepotSettings();
    m_nSpanStart = m_settings.tStart;
    m_nSpanEnd = m_settings.tStop;
    std::uint32_t nFileType = m_settings.nFileType;
    SpecialConfigEntry entry;
    if (FindSpecialConfig(m_vehicle.Name(), entry)) {
        m_nSpanStart = entry.tStart;
        m_nSpanEnd = entry.tStop;
        nFileType = entry.nFileType;
    } else if (m_depot.nRollingHours > 0) {
        // The last hours up to the start of this pass, so a server left running
        // keeps fetching what was recorded after it started.
        m_nSpanEnd = WallClockNow();
        m_nSpanStart = m_nSpanEnd - m_depot.nRollingHours * 3600u;
    }
    m_nFileType = ToRecorderFileType(nFileType);

    // A listener lives for one request only: a task waiting for a transfer slot holds
    // no port, and a late connection meant for an earlier request finds its port
    // closed instead of being taken for the next file.
    while (!m_vehicle.IsQuit()) {
        if (!RunPass())
            break;
    }
    EndRequest();
    std::string end = Format("download THREADEND(threadid:%d)", CurrentThreadId());
    Log(end);
    DebugOutput(Format("vehname=%s, chan=%d, ", m_vehicle.Name(), m_nChannel) + end);
}

bool CDownloadTask::RunPass()
{
    const std::string& root = m_settings.szDownDir;
    std::uint32_t nMp4Start = 0, nMp4End = 0, nTdStart = 0, nTdEnd = 0;
    std::string mp4Path, tdPath;
    bool bMp4 = FindLastMp4(root, m_vehicle.Name(), m_nChannel, nMp4Start, nMp4End, mp4Path) == 1;
    bool bTd = FindLastTd(root, m_vehicle.Name(), m_nChannel, nTdStart, nTdEnd, tdPath) == 1;
    if (!bMp4)
        nMp4Start = nMp4End = 0;
    if (!bTd)
        nTdStart = nTdEnd = 0;

    std::uint32_t nNextStart;
    bool bPartialNewest = false;
    if (!bMp4 && !bTd) {
        Log("no mp4 and td file");
        nNextStart = m_nSpanStart;
    } else if (SignedMax(nMp4End, nTdEnd) == nMp4End) {
        nNextStart = SignedMax(nMp4End, m_nSpanStart);
    } else {
        nNextStart = SignedMax(nTdStart, m_nSpanStart);
        bPartialNewest = true;
    }
    // A recording that could not be requested, or was skipped, is stepped over; a
    // partial file of it stays for the next pass.
    if (bPartialNewest && m_nSkipUntil != 0 &&
        static_cast<std::int32_t>(nTdStart) < static_cast<std::int32_t>(m_nSkipUntil)) {
        bPartialNewest = false;
        nNextStart = bMp4 ? SignedMax(nMp4End, m_nSpanStart) : m_nSpanStart;
    }
    if (!bPartialNewest && m_nSkipUntil != 0)
        nNextStart = SignedMax(nNextStart, m_nSkipUntil);
    std::uint32_t nQueryEnd = m_nSpanEnd;

    if (m_bFirstPass) {
        m_vehicle.SetProgressSpan(m_nChannel, nNextStart, nQueryEnd);
        m_bFirstPass = false;
        CountPending(nNextStart, nQueryEnd);
    }
    m_vehicle.SetProgressCurrent(m_nChannel, nNextStart);

    Request result = bPartialNewest ? Resume(tdPath, nNextStart, nQueryEnd)
                                    : FetchNext(bMp4, mp4Path, nNextStart, nQueryEnd);
    switch (result) {
    case Request::Accepted: {
        Log("Start download task");
        m_vehicle.SetDownloading();
        m_vehicle.SetListener(m_nChannel, m_pListener.get());
        TransferOutcome outcome = m_pListener->WaitForConnection();
        m_vehicle.SetListener(m_nChannel, nullptr);
        EndRequest();
        Log("Download task quits");
        ReportOutcome(outcome);
        return true;
    }
    case Request::Refused:
        EndRequest();
        m_vehicle.WaitQuit(Timing().nRefusedRetryMs);
        return true;
    case Request::None:
        EndRequest();
        break;
    }
    if (m_bFinished) {
        m_vehicle.SetProgressFinished(m_nChannel);
        std::string done = Format("vehname=%s, chan=%d, download finished!", m_vehicle.Name(), m_nChannel);
        DebugOutput(done);
        WriteLog(done, m_vehicle.Name());
        return false;
    }
    m_vehicle.WaitQuit(Timing().nNoAnswerRetryMs);
    return true;
}

bool CDownloadTask::UsableRecorderName(const EarliestFileRecord& record, std::uint32_t nNextStart)
{
    bool bSafe = IsSafePathComponent(record.szFileName);
    bool bFits = std::strlen(record.szFileName) < sizeof(GetFileRequest::szFileName);
    if (bSafe && bFits)
        return true;
    Log(Format("recorder's file name %s %s, recording skipped", record.szFileName,
               bSafe ? "too long for a request" : "unusable as a file name"));
    m_nSkipUntil = static_cast<std::int32_t>(record.nEnd) > static_cast<std::int32_t>(nNextStart) ? record.nEnd
                                                                                                 : nNextStart + 1;
    return false;
}

CDownloadTask::Request CDownloadTask::Resume(const std::string& tdPath, std::uint32_t nNextStart,
                                             std::uint32_t nQueryEnd)
{
    std::string dir = DirName(tdPath);
    std::string name = BaseName(tdPath);
    Log(Format("td file is the last one,filename: %s", name.c_str()));

    EarliestFileRecord record;
    int nAnswer = m_vehicle.SendQueryFileCmd(m_nChannel, m_nFileType, nNextStart, nQueryEnd, &record);
    std::error_code ec;
    if (nAnswer == 1) {
        Log(Format("delete the td file: %s ", name.c_str()));
        std::filesystem::remove(tdPath, ec);
        m_bFinished = true;
        return Request::None;
    }
    if (nAnswer != 0)
        return Request::None;

    auto nActual = static_cast<std::uint32_t>(std::filesystem::file_size(tdPath, ec));
    if (ec)
        nActual = 0;
    TdNameFields fields;
    bool bWellFormed = ParseTdName(name, fields) == 0;
    auto nExpected = static_cast<std::uint32_t>(std::strtoul(fields[4].c_str(), nullptr, 10));
    Log(Format("%s == %s %010d>%010d, filename: %s", FormatTimeString(nNextStart).c_str(),
               FormatTimeString(record.nStart).c_str(), static_cast<int>(nExpected), static_cast<int>(nActual),
               record.szFileName));

    if (!bWellFormed) {
        Log(Format("invalid name,delete the td file: %s ", name.c_str()));
        std::filesystem::remove(tdPath, ec);
        return Request::None;
    }
    if (fields[3] == record.szFileName && nExpected > nActual) {
        if (!UsableRecorderName(record, nNextStart))
            return Request::None;
        std::string newName =
            PartialFileName(record.nChannel, record.nStart, record.nEnd, record.szFileName, nExpected);
        std::filesystem::rename(tdPath, dir + "/" + newName, ec);
        if (ec) {
            Log("rename recording file failed");
            return Request::None;
        }
        return RequestFile(record, nActual, false);
    }
    Log(Format("unmatched size or filename,delete the td file: %s", name.c_str()));
    std::filesystem::remove(tdPath, ec);
    return Request::None;
}

CDownloadTask::Request CDownloadTask::FetchNext(bool bMp4Found, const std::string& mp4Path, std::uint32_t nNextStart,
                                                std::uint32_t nQueryEnd)
{
    if (bMp4Found)
        Log(Format("mp4 file is the last one,filename: %s", BaseName(mp4Path).c_str()));
    Log(Format("SendQueryFileCmd tStart: %s, tEnd: %s FileType: %d", FormatTimeString(nNextStart).c_str(),
               FormatTimeString(nQueryEnd).c_str(), m_nFileType));
    EarliestFileRecord record;
    int nAnswer = m_vehicle.SendQueryFileCmd(m_nChannel, m_nFileType, nNextStart, nQueryEnd, &record);
    if (nAnswer == 1) {
        m_bFinished = true;
        return Request::None;
    }
    if (nAnswer != 0 || !UsableRecorderName(record, nNextStart))
        return Request::None;
    return RequestFile(record, 0, true);
}

CDownloadTask::Request CDownloadTask::RequestFile(const EarliestFileRecord& record, std::uint32_t nSeek, bool bLog)
{
    m_vehicle.BeginSlotWait();
    m_pSlot = std::make_unique<CTransferSlot>(CTransferScheduler::Instance(), record.nStart, m_vehicle.QuitEvent());
    m_vehicle.EndSlotWait();
    if (!m_pSlot->Held())
        return Request::None;
    if (!m_pListener) {
        auto pListener = std::make_unique<CTCPSrv>();
        std::uint16_t nPort = NextListenPort();
        if (pListener->Listen(nullptr, nPort) != 0) {
            Log(Format("listen on port %d failed", nPort));
            return Request::None;
        }
        pListener->GetListenAddr(m_szListenIp, m_nListenPort);
        m_pListener = std::move(pListener);
    }
    if (bLog) {
        Log(Format("SendGetFileCmd FileName: %s(%s), szListenIP: %s,  nPort: %d", record.szFileName,
                   FormatTimeString(record.nStart).c_str(), m_szListenIp, m_nListenPort));
    }
    m_pListener->ExpectTransfer(m_vehicle.Name(), record.szFileName, m_nChannel);
    m_requested = record;
    int nGet = m_vehicle.SendGetFileCmd(m_nChannel, record.szFileName, nSeek, m_szListenIp, m_nListenPort);
    // The reply was lost but the recorder connected to this request's own listener:
    // the transfer is taken rather than asked for again.
    if (nGet < 0 && !m_vehicle.IsQuit() && m_pListener->HasWaitingConnection()) {
        Log(Format("no reply to the request of %s, but the recorder connected: transfer taken", record.szFileName));
        return Request::Accepted;
    }
    if (nGet != 0)
        CFleetHistory::Instance().OnFailure(m_vehicle.Name(),
                                            nGet < 0 ? "no answer to a file request" : "file request refused",
                                            WallClockNow());
    return static_cast<Request>(nGet);
}

void CDownloadTask::EndRequest()
{
    m_pListener.reset();
    m_pSlot.reset();
}

void CDownloadTask::ReportOutcome(const TransferOutcome& outcome)
{
    // The same recording failing the same hopeless way again and again is skipped
    // for the rest of this pass, so that it cannot hold up the rest of the channel.
    bool bHopeless = outcome.eResult == TransferResult::Oversize || outcome.eResult == TransferResult::Refused ||
                     (outcome.eResult == TransferResult::Incomplete && outcome.nBytes == 0);
    if (!bHopeless) {
        m_nFailures = 0;
    } else {
        bool bSame = m_nFailures > 0 && m_failedName == m_requested.szFileName && m_nFailedStart == m_requested.nStart;
        m_nFailures = bSame ? m_nFailures + 1 : 1;
        m_failedName = m_requested.szFileName;
        m_nFailedStart = m_requested.nStart;
        if (m_nFailures >= kFailuresBeforeSkip) {
            Log(Format("recording %s failed %d times in a row, skipped for this pass", m_requested.szFileName,
                       m_nFailures));
            m_nFailures = 0;
            m_nSkipUntil = static_cast<std::int32_t>(m_requested.nEnd) > static_cast<std::int32_t>(m_requested.nStart)
                               ? m_requested.nEnd
                               : m_requested.nStart + 1;
        }
    }
    CServerCounters& counters = CServerCounters::Instance();
    if (outcome.eResult == TransferResult::Stored) {
        CServerCounters::Bump(counters.nFilesDownloaded);
        m_vehicle.ChannelFileStored(m_nChannel);
        CFleetHistory::Instance().OnFileStored(m_vehicle.Name(), outcome.nBytes, WallClockNow());
    } else {
        CServerCounters::Bump(counters.nTransferFailures);
        CFleetHistory::Instance().OnFailure(m_vehicle.Name(),
                                            Format("ch%02d: %s", m_nChannel, TransferResultText(outcome.eResult)),
                                            WallClockNow());
    }
}

void CDownloadTask::CountPending(std::uint32_t nNextStart, std::uint32_t nQueryEnd)
{
    if (!m_vehicle.CountsPending())
        return;
    FileCountRecord count;
    // A reversed span holds nothing; the recorder is not asked.
    if (static_cast<std::int32_t>(nNextStart) > static_cast<std::int32_t>(nQueryEnd))
        m_vehicle.SetChannelPending(m_nChannel, 0);
    else if (m_vehicle.SendQueryFileCountCmd(m_nChannel, m_nFileType, nNextStart, nQueryEnd, &count,
                                                Timing().nPendingReplyWaitMs) == 0)
        m_vehicle.SetChannelPending(m_nChannel, count.nCount);
    else
        m_vehicle.SetChannelPending(m_nChannel, -1);
}

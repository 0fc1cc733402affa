#include "vehicles/DownloadTask.h"

#include "core/Logger.h"
#include "core/ServerCounters.h"
#include "depot/ChannelMark.h"
#include "depot/FleetHistory.h"
#include "depot/MissedRecording.h"
#include "depot/TransferScheduler.h"
#include "depot/TransferSlot.h"
#include "footage/FootageRequests.h"
#include "footage/RecordingCatalogue.h"
#include "platform/Format.h"
#include "platform/PathName.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"
#include "transfer/FileReceiver.h"
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

bool SignedLess(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a) < static_cast<std::int32_t>(b);
}

std::uint32_t SignedMax(std::uint32_t a, std::uint32_t b)
{
    return SignedLess(a, b) ? b : a;
}

// Where a query goes on after a recording: its end, or just past its start when the
// recorder reports no length, so that it is never asked for twice.
std::uint32_t PastRecording(std::uint32_t tStart, std::uint32_t tEnd)
{
    return SignedLess(tStart, tEnd) ? tEnd : tStart + 1;
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

    const ServerConfig& config = m_vehicle.Parts().Config();
    m_settings = config.settings;
    m_depot = config.depot;
    m_nSpanStart = m_settings.tStart;
    m_nSpanEnd = m_settings.tStop;
    std::uint32_t nFileType = m_settings.nFileType;
    SpecialConfigEntry entry;
    if (config.FindSpecial(m_vehicle.Name(), entry)) {
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
    FetchRequested();

    // A listener lives for one request only: a task waiting for a transfer slot holds
    // no port, and a late connection meant for an earlier request finds its port
    // closed instead of being taken for the next file.
    while (!m_vehicle.IsQuit()) {
        Step eStep = RunStep();
        if (eStep == Step::Done)
            break;
        if (eStep == Step::Wait)
            m_vehicle.WaitQuit(Timing().nNoAnswerRetryMs);
    }
    EndRequest();
    std::string end = Format("download THREADEND(threadid:%d)", CurrentThreadId());
    Log(end);
    DebugOutput(Format("vehname=%s, chan=%d, ", m_vehicle.Name(), m_nChannel) + end);
}

void CDownloadTask::StartCursor()
{
    const std::string& root = m_settings.szDownDir;
    std::uint32_t nStart = 0, nEnd = 0;
    std::string path;
    bool bMp4 = FindLastMp4(root, m_vehicle.Name(), m_nChannel, nStart, nEnd, path) == 1;
    bool bTd = FindLastTd(root, m_vehicle.Name(), m_nChannel, nStart, nEnd, path) == 1;
    if (!bMp4 && !bTd)
        Log("no mp4 and td file");

    // The mark counts only for the same kind of recordings and a span that does not
    // reach further back than it: anything else is walked from the span start.
    ChannelMark mark = m_vehicle.Parts().history.CompleteMark(m_vehicle.Name(), m_nChannel);
    bool bValid = mark.bSet && mark.nFileType == m_nFileType && !SignedLess(m_nSpanStart, mark.tFrom) &&
                  SignedLess(m_nSpanStart, mark.tUpTo);
    m_nMarkFrom = bValid ? mark.tFrom : m_nSpanStart;
    m_nMarkUpTo = bValid ? mark.tUpTo : m_nSpanStart;
    m_nCursor = SignedMax(m_nMarkUpTo, m_nSpanStart);
    m_bCursorSet = true;

    m_vehicle.SetProgressSpan(m_nChannel, m_nCursor, m_nSpanEnd);
    m_vehicle.RequestPendingCount(m_nChannel, m_nFileType, m_nCursor, m_nSpanEnd);
}

bool CDownloadTask::OldestPartial(StoredRecording& partial) const
{
    for (StoredRecording& candidate : FindPartials(m_settings.szDownDir, m_vehicle.Name(), m_nChannel)) {
        // A malformed name is still a candidate: resuming it deletes it with a log line.
        TdNameFields fields;
        (void)ParseTdName(BaseName(candidate.path), fields);
        // A partial file beside its own finished recording is left alone: that
        // recording is stored.
        if (HasFinished(m_settings.szDownDir, m_vehicle.Name(), m_nChannel, candidate.tStart, candidate.tEnd))
            continue;
        // A requested recording's partial file outside the span waits for the request.
        bool bInSpan = !SignedLess(candidate.tStart, m_nSpanStart) && SignedLess(candidate.tStart, m_nSpanEnd);
        if (!bInSpan && m_requestKept.count({fields[3], candidate.tStart}) != 0)
            continue;
        if (!IsSkipped(fields[3], candidate.tStart)) {
            partial = std::move(candidate);
            return true;
        }
    }
    return false;
}

CDownloadTask::Step CDownloadTask::RunStep()
{
    if (!m_bCursorSet)
        StartCursor();
    m_vehicle.SetProgressCurrent(m_nChannel, m_nCursor);

    // Partial files first, oldest first: each is a recording the cursor passed or is
    // at. Once the recorder has nothing more, every one left is checked once more.
    StoredRecording partial;
    if (OldestPartial(partial) && (m_bSpanExhausted || !SignedLess(m_nCursor, partial.tStart)))
        return Resume(partial);
    if (m_bSpanExhausted) {
        Finish();
        return Step::Done;
    }
    return FetchNext();
}

CDownloadTask::Step CDownloadTask::Act(Request eRequest)
{
    switch (eRequest) {
    case Request::Accepted:
        ReportOutcome(Transfer());
        return Step::Again;
    case Request::Refused:
        EndRequest();
        m_vehicle.WaitQuit(Timing().nRefusedRetryMs);
        return Step::Again;
    case Request::None:
        break;
    }
    EndRequest();
    return Step::Wait;
}

TransferOutcome CDownloadTask::Transfer()
{
    Log("Start download task");
    m_vehicle.SetDownloading();
    m_vehicle.SetListener(m_nChannel, m_pListener.get());
    TransferOutcome outcome = m_pListener->WaitForConnection();
    m_vehicle.SetListener(m_nChannel, nullptr);
    EndRequest();
    Log("Download task quits");
    return outcome;
}

void CDownloadTask::Finish()
{
    if (m_bGap) {
        // Something in the span is still missing: no "download finished!", so that
        // the offload is not counted complete and the next pass tries again.
        Log(Format("download incomplete: %zu recordings skipped, left for the next pass", m_skipped.size()));
        return;
    }
    m_vehicle.SetProgressFinished(m_nChannel);
    std::string done = Format("vehname=%s, chan=%d, download finished!", m_vehicle.Name(), m_nChannel);
    DebugOutput(done);
    WriteLog(done, m_vehicle.Name());
}

bool CDownloadTask::IsSkipped(const std::string& fileName, std::uint32_t tStart) const
{
    return m_skipped.count({fileName, tStart}) != 0;
}

void CDownloadTask::SaveMark()
{
    ChannelMark mark;
    mark.bSet = true;
    mark.tFrom = m_nMarkFrom;
    mark.tUpTo = m_nMarkUpTo;
    mark.nFileType = m_nFileType;
    m_vehicle.Parts().history.OnCompleteMark(m_vehicle.Name(), m_nChannel, mark);
}

void CDownloadTask::NothingBefore(std::uint32_t tStart)
{
    if (!SignedLess(m_nCursor, tStart))
        return;
    m_nCursor = tStart;
    if (!m_bGap && SignedLess(m_nMarkUpTo, tStart)) {
        m_nMarkUpTo = tStart;
        SaveMark();
    }
}

void CDownloadTask::StepOver(std::uint32_t tStart, std::uint32_t tEnd, bool bStored)
{
    NothingBefore(tStart);
    std::uint32_t tPast = PastRecording(tStart, tEnd);
    if (!bStored)
        m_bGap = true;
    if (SignedLess(m_nCursor, tPast))
        m_nCursor = tPast;
    if (!m_bGap && SignedLess(m_nMarkUpTo, m_nCursor)) {
        m_nMarkUpTo = m_nCursor;
        SaveMark();
    }
}

CDownloadTask::Step CDownloadTask::FetchNext()
{
    std::uint32_t nMp4Start = 0, nMp4End = 0;
    std::string mp4Path;
    if (FindLastMp4(m_settings.szDownDir, m_vehicle.Name(), m_nChannel, nMp4Start, nMp4End, mp4Path) == 1)
        Log(Format("mp4 file is the last one,filename: %s", BaseName(mp4Path).c_str()));
    Log(Format("SendQueryFileCmd tStart: %s, tEnd: %s FileType: %d", FormatTimeString(m_nCursor).c_str(),
               FormatTimeString(m_nSpanEnd).c_str(), m_nFileType));
    EarliestFileRecord record;
    int nAnswer = m_vehicle.SendQueryFileCmd(m_nChannel, m_nFileType, m_nCursor, m_nSpanEnd, &record);
    if (nAnswer == 1) {
        m_bSpanExhausted = true;
        return Step::Again;
    }
    if (nAnswer != 0)
        return Step::Wait;
    // The recorder has nothing between the cursor and this recording.
    NothingBefore(record.nStart);
    if (HasFinished(m_settings.szDownDir, m_vehicle.Name(), record.nChannel, record.nStart, record.nEnd)) {
        StepOver(record.nStart, record.nEnd, true);
        return Step::Again;
    }
    if (IsSkipped(record.szFileName, record.nStart)) {
        StepOver(record.nStart, record.nEnd, false);
        return Step::Again;
    }
    // A partial file of it: the next step resumes it (the cursor is at its start now).
    for (const StoredRecording& partial : FindPartials(m_settings.szDownDir, m_vehicle.Name(), m_nChannel)) {
        if (partial.tStart == record.nStart)
            return Step::Again;
    }
    if (!UsableRecorderName(record)) {
        StepOver(record.nStart, record.nEnd, false);
        return Step::Again;
    }
    return Act(RequestFile(record, 0, true));
}

bool CDownloadTask::UsableRecorderName(const EarliestFileRecord& record)
{
    bool bSafe = IsSafePathComponent(record.szFileName);
    bool bFits = std::strlen(record.szFileName) < sizeof(GetFileRequest::szFileName);
    if (bSafe && bFits)
        return true;
    std::string reason = bSafe ? "recorder's file name too long for a request" : "recorder's file name unusable";
    Log(Format("recorder's file name %s %s, recording skipped", record.szFileName,
               bSafe ? "too long for a request" : "unusable as a file name"));
    // No later try can do better: it is skipped at once, and reported.
    while (!IsSkipped(record.szFileName, record.nStart))
        NoteFailure(record.szFileName, record.nStart, record.nEnd, reason);
    return false;
}

CDownloadTask::Step CDownloadTask::Resume(const StoredRecording& partial)
{
    const std::string& tdPath = partial.path;
    std::string dir = DirName(tdPath);
    std::string name = BaseName(tdPath);
    std::uint32_t nNextStart = SignedMax(partial.tStart, m_nSpanStart);
    Log(Format("td file is the last one,filename: %s", name.c_str()));

    EarliestFileRecord record;
    int nAnswer = m_vehicle.SendQueryFileCmd(m_nChannel, m_nFileType, nNextStart, m_nSpanEnd, &record);
    std::error_code ec;
    if (nAnswer == 1) {
        ReportLeftBehind(name, "the recorder no longer offers it in the span");
        Log(Format("delete the td file: %s ", name.c_str()));
        DeletePartial(partial);
        m_bSpanExhausted = true;
        return Step::Again;
    }
    if (nAnswer != 0)
        return Step::Wait;

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
        DeletePartial(partial);
        return Step::Wait;
    }
    if (fields[3] == record.szFileName && nExpected > nActual) {
        if (!UsableRecorderName(record))
            return Step::Again;
        std::string newName =
            PartialFileName(record.nChannel, record.nStart, record.nEnd, record.szFileName, nExpected);
        std::filesystem::rename(tdPath, dir + "/" + newName, ec);
        if (ec) {
            Log("rename recording file failed");
            NoteFailure(record.szFileName, record.nStart, record.nEnd, "partial file could not be renamed");
            return Step::Wait;
        }
        return Act(RequestFile(record, nActual, false));
    }
    if (fields[3] != record.szFileName)
        ReportLeftBehind(name, SignedLess(partial.tStart, m_nSpanStart)
                                   ? "it fell out of the span before it was stored"
                                   : "the recorder no longer offers it");
    Log(Format("unmatched size or filename,delete the td file: %s", name.c_str()));
    DeletePartial(partial);
    return Step::Wait;
}

void CDownloadTask::DeletePartial(const StoredRecording& partial)
{
    std::error_code ec;
    if (std::filesystem::remove(partial.path, ec) || !ec)
        return;
    // Left in place it would be taken up again at once: after a few tries it is
    // skipped for the pass like a recording that keeps failing.
    std::string name = BaseName(partial.path);
    Log(Format("cannot delete the td file %s: %s", name.c_str(), ec.message().c_str()));
    TdNameFields fields;
    (void)ParseTdName(name, fields);
    NoteFailure(fields[3], partial.tStart, partial.tEnd, "partial file could not be deleted");
}

void CDownloadTask::ReportLeftBehind(const std::string& tdName, const std::string& reason)
{
    TdNameFields fields;
    bool bWellFormed = ParseTdName(tdName, fields) == 0;
    MissedRecording missed;
    missed.nChannel = m_nChannel;
    missed.strFileName = bWellFormed ? fields[3] : tdName;
    missed.tStart = ParseTimeString(fields[1]);
    missed.tEnd = ParseTimeString(fields[2]);
    missed.strReason = reason;
    Log(Format("recording %s left behind: %s", fields[3].c_str(), reason.c_str()));
    m_vehicle.Parts().history.OnRecordingLeftBehind(m_vehicle.Name(), missed, WallClockNow());
}

CDownloadTask::Request CDownloadTask::RequestFile(const EarliestFileRecord& record, std::uint32_t nSeek, bool bLog,
                                                 bool bRequested)
{
    m_vehicle.BeginSlotWait();
    m_pSlot = std::make_unique<CTransferSlot>(m_vehicle.Parts().scheduler, record.nStart, m_vehicle.QuitEvent(),
                                              bRequested);
    m_vehicle.EndSlotWait();
    if (!m_pSlot->Held())
        return Request::None;
    if (!m_pListener) {
        auto pListener = std::make_unique<CTCPSrv>(
            [&parts = m_vehicle.Parts()](CTCPSrv* pSrv) {
                const ServerSettings& settings = parts.Config().settings;
                return ReceiveFileStream(pSrv, settings.szDownDir, settings.bComponentMode != 0, parts.pIndex);
            },
            m_settings.szIP, &m_vehicle.Parts().counters);
        std::uint16_t nPort = 0;
        if (ListenOnNextPort(*pListener, nPort) != 0) {
            Log(Format("listen on port %d failed", nPort));
            return Request::None;
        }
        pListener->GetListenAddr(m_szListenIp, m_nListenPort);
        m_vehicle.ChooseListenIp(m_szListenIp);
        m_pListener = std::move(pListener);
    }
    if (bLog) {
        Log(Format("SendGetFileCmd FileName: %s(%s), szListenIP: %s,  nPort: %d", record.szFileName,
                   FormatTimeString(record.nStart).c_str(), m_szListenIp, m_nListenPort));
    }
    m_pListener->ExpectTransfer(m_vehicle.Name(), record.szFileName, m_nChannel);
    // The history notes the recording before it takes its name, so that it is counted
    // whenever the process ends.
    m_pListener->SetBeforeRename([this](const std::string& path, std::uint64_t nSize) {
        m_vehicle.Parts().history.OnStoring(m_vehicle.Name(), path, nSize, WallClockNow());
        m_strNotedPath = path;
    });
    m_requested = record;
    CTCPSrv* pListener = m_pListener.get();
    int nGet = m_vehicle.SendGetFileCmd(m_nChannel, record.szFileName, nSeek, m_szListenIp, m_nListenPort,
                                        [pListener] { return pListener->HasWaitingConnection(); });
    if (nGet != 0)
        m_vehicle.Parts().history.OnFailure(m_vehicle.Name(),
                                            nGet < 0 ? "no answer to a file request" : "file request refused",
                                            WallClockNow());
    return static_cast<Request>(nGet);
}

void CDownloadTask::EndRequest()
{
    m_pListener.reset();
    m_pSlot.reset();
}

void CDownloadTask::NoteFailure(const std::string& fileName, std::uint32_t tStart, std::uint32_t tEnd,
                                const std::string& reason)
{
    bool bSame = m_nFailures > 0 && m_failedName == fileName && m_nFailedStart == tStart;
    m_nFailures = bSame ? m_nFailures + 1 : 1;
    m_failedName = fileName;
    m_nFailedStart = tStart;
    bool bSkippedBefore = m_vehicle.WasSkipped(m_nChannel, fileName, tStart);
    if (m_nFailures < kFailuresBeforeSkip && !bSkippedBefore)
        return;
    Log(Format("recording %s failed %d times in a row, skipped for this pass", fileName.c_str(), m_nFailures));
    m_vehicle.NoteSkipped(m_nChannel, fileName, tStart);
    m_nFailures = 0;
    m_skipped.insert({fileName, tStart});
    m_bGap = true;
    MissedRecording missed;
    missed.nChannel = m_nChannel;
    missed.strFileName = fileName;
    missed.tStart = tStart;
    missed.tEnd = tEnd;
    missed.strReason = Format("failed %d times in a row: %s", kFailuresBeforeSkip, reason.c_str());
    m_vehicle.Parts().history.OnRecordingMissed(m_vehicle.Name(), missed, WallClockNow());
}

void CDownloadTask::ReportOutcome(const TransferOutcome& outcome)
{
    // The same recording failing the same hopeless way again and again is skipped
    // for the rest of this pass, so that it cannot hold up the rest of the channel.
    bool bHopeless = outcome.eResult == TransferResult::Oversize || outcome.eResult == TransferResult::Refused ||
                     outcome.eResult == TransferResult::Failed ||
                     (outcome.eResult == TransferResult::Incomplete && outcome.nBytes == 0);
    if (bHopeless)
        NoteFailure(m_requested.szFileName, m_requested.nStart, m_requested.nEnd,
                    TransferResultText(outcome.eResult));
    else
        m_nFailures = 0;
    RecordOutcome(outcome);
    // A recording the cursor reached is stepped over; one below it (a resumed
    // partial file) leaves the cursor where it is.
    if (outcome.eResult == TransferResult::Stored && !SignedLess(m_requested.nStart, m_nCursor))
        StepOver(m_requested.nStart, m_requested.nEnd, true);
}

void CDownloadTask::RecordOutcome(const TransferOutcome& outcome)
{
    CServerCounters& counters = m_vehicle.Parts().counters;
    CFleetHistory& history = m_vehicle.Parts().history;
    if (outcome.eResult == TransferResult::Stored) {
        CServerCounters::Bump(counters.nFilesDownloaded);
        m_vehicle.ChannelFileStored(m_nChannel);
        // The whole file: bytes a broken transfer brought before belong to it too.
        history.OnFileStored(m_vehicle.Name(), outcome.strPath, outcome.nFileBytes, WallClockNow());
        history.OnRecordingStored(m_vehicle.Name(), m_nChannel, m_requested.szFileName, m_requested.nStart);
        if (CRecordingCatalogue* pCatalogue = m_vehicle.Parts().pCatalogue) {
            CatalogueRow row;
            row.strPath = pCatalogue->RelativePath(outcome.strPath);
            row.nSize = outcome.nFileBytes;
            row.tStoredAt = WallClockNow();
            pCatalogue->Add(std::move(row));
        }
    } else {
        CServerCounters::Bump(counters.nTransferFailures);
        if (!m_strNotedPath.empty())
            history.OnStoreAbandoned(m_vehicle.Name(), m_strNotedPath);
        history.OnFailure(m_vehicle.Name(), Format("ch%02d: %s", m_nChannel, TransferResultText(outcome.eResult)),
                          WallClockNow());
    }
    m_strNotedPath.clear();
}

void CDownloadTask::FetchRequested()
{
    CFootageRequests* pRequests = m_vehicle.Parts().pRequests;
    if (!pRequests)
        return;
    for (const FootageRequest& request : m_vehicle.PassRequests()) {
        if (m_vehicle.IsQuit())
            break;
        if (!request.Covers(m_nChannel))
            continue;
        Log(Format("footage request %lld: window %s-%s first", static_cast<long long>(request.nId),
                   FormatTimeString(request.ask.tFrom).c_str(), FormatTimeString(request.ask.tTo).c_str()));
        m_vehicle.NoteRequestResult(request.nId, FetchWindow(request));
    }
}

FootageChannelResult CDownloadTask::FetchWindow(const FootageRequest& request)
{
    FootageChannelResult result;
    result.nChannel = m_nChannel;
    const std::uint32_t tFrom = request.ask.tFrom;
    const std::uint32_t tTo = request.ask.tTo;
    std::uint32_t tQuery = tFrom > kRequestLookBackS ? tFrom - kRequestLookBackS : 0;
    std::uint32_t tCovered = tFrom;  // the window has footage, or a small gap, up to here
    int nNoAnswer = 0;
    while (!m_vehicle.IsQuit() && m_vehicle.Parts().pRequests->StillOpen(request.nId)) {
        EarliestFileRecord record;
        int nAnswer = m_vehicle.SendQueryFileCmd(m_nChannel, m_nFileType, tQuery, tTo - 1, &record);
        if (nAnswer == 1) {
            result.bFinished = true;
            break;
        }
        if (nAnswer != 0) {
            if (++nNoAnswer >= kFailuresBeforeSkip)
                return result;
            m_vehicle.WaitQuit(Timing().nNoAnswerRetryMs);
            continue;
        }
        nNoAnswer = 0;
        // Always onwards, whatever the recorder answers.
        std::uint32_t tNext = PastRecording(record.nStart, record.nEnd);
        tQuery = SignedLess(tQuery, tNext) ? tNext : tQuery + 1;
        if (!SignedLess(record.nStart, tTo)) {
            result.bFinished = true;
            break;
        }
        bool bOverlaps = SignedLess(record.nStart, record.nEnd) ? SignedLess(tFrom, record.nEnd)
                                                                : !SignedLess(record.nStart, tFrom);
        if (!bOverlaps)
            continue;
        NoteLacking(tCovered, record.nStart, result);
        tCovered = SignedMax(tCovered, PastRecording(record.nStart, record.nEnd));
        if (!TakeRequested(request, record))
            result.failed.push_back(record.szFileName);
    }
    if (!m_vehicle.Parts().pRequests->StillOpen(request.nId))
        result.bFinished = true;  // cancelled: nothing more is owed
    else if (result.bFinished)
        NoteLacking(tCovered, tTo, result);
    return result;
}

void CDownloadTask::NoteLacking(std::uint32_t tFrom, std::uint32_t tTo, FootageChannelResult& result)
{
    if (SignedLess(tFrom, tTo) && tTo - tFrom > kRequestGapToleranceS)
        result.lacking.push_back(FormatTimeString(tFrom) + "-" + FormatTimeString(tTo));
}

bool CDownloadTask::TakeRequested(const FootageRequest& request, const EarliestFileRecord& record)
{
    const std::string& root = m_settings.szDownDir;
    bool bFetched = false;
    if (!HasFinished(root, m_vehicle.Name(), m_nChannel, record.nStart, record.nEnd)) {
        if (!IsSafePathComponent(record.szFileName) ||
            std::strlen(record.szFileName) >= sizeof(GetFileRequest::szFileName)) {
            Log(Format("footage request %lld: recorder's file name %s unusable, not fetched",
                       static_cast<long long>(request.nId), record.szFileName));
            return false;
        }
        if (!FetchRequestedFile(record))
            return false;
        bFetched = true;
    }
    FootageRecording rec;
    rec.nChannel = m_nChannel;
    rec.strFileName = record.szFileName;
    rec.tStart = record.nStart;
    rec.tEnd = record.nEnd;
    rec.strPath = std::string(m_vehicle.Name()) + "/" + DateDirName(record.nStart) + "/" + ChannelDirName(m_nChannel) +
                  "/" + FinalFileName(m_nChannel, record.nStart, record.nEnd);
    std::error_code ec;
    rec.nSize = std::filesystem::file_size(root + "/" + rec.strPath, ec);
    if (ec)
        rec.nSize = 0;
    rec.bFetched = bFetched;
    m_vehicle.Parts().pRequests->OnRecording(request.nId, m_vehicle.Name(), rec);
    return true;
}

bool CDownloadTask::FetchRequestedFile(const EarliestFileRecord& record)
{
    // Like the walk: a recording skipped earlier in this visit gets one try a pass.
    int nTries = m_vehicle.WasSkipped(m_nChannel, record.szFileName, record.nStart) ? 1 : kFailuresBeforeSkip;
    for (int nTry = 0; nTry < nTries && !m_vehicle.IsQuit(); ++nTry) {
        std::uint32_t nSeek = RequestedSeek(record);
        Request eRequest = RequestFile(record, nSeek, true, true);
        if (eRequest == Request::Accepted) {
            TransferOutcome outcome = Transfer();
            RecordOutcome(outcome);
            if (outcome.eResult == TransferResult::Stored)
                return true;
            continue;
        }
        EndRequest();
        m_vehicle.WaitQuit(eRequest == Request::Refused ? Timing().nRefusedRetryMs : Timing().nNoAnswerRetryMs);
    }
    if (!m_vehicle.IsQuit())
        m_vehicle.NoteSkipped(m_nChannel, record.szFileName, record.nStart);
    m_requestKept.insert({record.szFileName, record.nStart});
    return false;
}

std::uint32_t CDownloadTask::RequestedSeek(const EarliestFileRecord& record)
{
    for (const StoredRecording& partial : FindPartials(m_settings.szDownDir, m_vehicle.Name(), m_nChannel)) {
        TdNameFields fields;
        if (partial.tStart != record.nStart || ParseTdName(BaseName(partial.path), fields) != 0 ||
            fields[3] != record.szFileName)
            continue;
        std::error_code ec;
        auto nActual = static_cast<std::uint32_t>(std::filesystem::file_size(partial.path, ec));
        auto nExpected = static_cast<std::uint32_t>(std::strtoul(fields[4].c_str(), nullptr, 10));
        if (!ec && nActual < nExpected)
            return nActual;
    }
    return 0;
}

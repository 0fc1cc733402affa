#pragma once

#include "control/ControlMessage.h"
#include "footage/FootageRequest.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "transfer/TransferOutcome.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>

class CVehicle;
class CTCPSrv;
class CTransferSlot;
struct StoredRecording;

// Fetches the recordings of one channel of one vehicle, oldest first, one at a time.
// A pass starts where fetching stopped being complete (the channel's "complete up
// to" point in the fleet history), asks the recorder for the earliest recording from
// there on, steps over what is already stored, resumes partial files oldest first,
// requests the rest and waits while the receiver stores it. A recording that fails
// again and again is skipped for this pass only; the pass then ends without
// "download finished!", so the next one (and the next visit) tries it again.
// Before all that, the recordings of the channel that open footage requests cover are
// fetched (or found stored), whatever the span, without moving the cursor or the mark.
class CDownloadTask {
public:
    // Channel task thread.
    CDownloadTask(CVehicle& vehicle, std::uint8_t nChannel);

    // The whole task. Channel task thread.
    void Run();

    ~CDownloadTask();

    // Entry for a vehicle's download pass (CVehicle::TaskFunction).
    static void RunChannel(CVehicle& vehicle, std::uint8_t nChannel);

    // The recorder's code of a settings file type: 1 -> 0, 2 -> 2, else 0xFF.
    static std::uint8_t ToRecorderFileType(std::uint32_t nFileType);

    // Failures in a row after which a recording is skipped for the rest of a pass.
    static constexpr int kFailuresBeforeSkip = 3;
    // A recording running into a request's window began at most this long before it.
    static constexpr std::uint32_t kRequestLookBackS = 3600;
    // A gap between a window's recordings up to this long is no missing footage.
    static constexpr std::uint32_t kRequestGapToleranceS = 2;

private:
    enum class Request { None = -1, Accepted = 0, Refused = 1 };
    // What one step of the loop did.
    enum class Step { Again, Wait, Done };

    // The channel's share of each open footage request of the pass, in request order.
    // Channel task thread, as are all below.
    void FetchRequested();
    // Walks one request's window on this channel.
    FootageChannelResult FetchWindow(const FootageRequest& request);
    // A recording of a request's window: found stored, or fetched now. False when it
    // could not be had in this pass.
    bool TakeRequested(const FootageRequest& request, const EarliestFileRecord& record);
    // Requests a recording of a window, resuming its partial file, until it is stored
    // or has failed its tries.
    bool FetchRequestedFile(const EarliestFileRecord& record);
    // Where a request of the recording starts: the size of its partial file, or 0.
    std::uint32_t RequestedSeek(const EarliestFileRecord& record);
    // Adds [tFrom, tTo) to what the recorder lacks when it is more than a small gap.
    static void NoteLacking(std::uint32_t tFrom, std::uint32_t tTo, FootageChannelResult& result);
    // One step of the loop: a resume, a query, a step over a stored recording or a
    // request with its transfer. Channel task thread, as are all below.
    Step RunStep();
    // Sets the cursor from the fleet history's mark, once per task.
    void StartCursor();
    // The oldest partial file not skipped in this task; false when there is none.
    bool OldestPartial(StoredRecording& partial) const;
    // Asks for the earliest recording from the cursor on, and acts on it.
    Step FetchNext();
    // Checks a partial file against what the recorder reports and requests its rest.
    Step Resume(const StoredRecording& partial);
    // Runs what a request's answer calls for: the transfer, or the pause of a refusal.
    Step Act(Request eRequest);
    // Asks the recorder for the recording from nSeek on: waits for a transfer slot
    // (ahead of the others when bRequested) and opens the listener of this request.
    Request RequestFile(const EarliestFileRecord& record, std::uint32_t nSeek, bool bLog, bool bRequested = false);
    // Waits while an accepted request's transfer runs, and learns how it ended.
    TransferOutcome Transfer();
    // Closes the request's listener and gives back its slot.
    void EndRequest();
    // Tells the vehicle and the fleet history how a transfer of the walk ended, and
    // moves the cursor past a stored recording it reached.
    void ReportOutcome(const TransferOutcome& outcome);
    // The counters' and the fleet history's part of that, for every transfer.
    void RecordOutcome(const TransferOutcome& outcome);
    // One more failure of the recording; the third in a row skips it for this task.
    void NoteFailure(const std::string& fileName, std::uint32_t tStart, std::uint32_t tEnd,
                     const std::string& reason);
    bool IsSkipped(const std::string& fileName, std::uint32_t tStart) const;
    // Moves the cursor past a recording that is stored or skipped, and the mark with
    // it while nothing before it is missing.
    void StepOver(std::uint32_t tStart, std::uint32_t tEnd, bool bStored);
    // The recorder reports nothing before tStart: the cursor may move up to it.
    void NothingBefore(std::uint32_t tStart);
    void SaveMark();
    // Deletes a partial file that no longer matches; one that cannot be deleted counts
    // as a failure of its recording.
    void DeletePartial(const StoredRecording& partial);
    // A partial file whose recording the recorder no longer offers in the span.
    void ReportLeftBehind(const std::string& tdName, const std::string& reason);
    // Ends the task: "download finished!" only when nothing in the span is left.
    void Finish();
    // Whether the recorder's file name may be requested and stored; logs and counts a
    // failure when not.
    bool UsableRecorderName(const EarliestFileRecord& record);
    void Log(const std::string& message) const;

    CVehicle& m_vehicle;
    const std::uint8_t m_nChannel;
    ServerSettings m_settings;   // copied at start
    DepotSettings m_depot;       // copied at start
    std::unique_ptr<CTCPSrv> m_pListener;  // of the current request
    std::unique_ptr<CTransferSlot> m_pSlot;  // held from a request to the end of its transfer
    std::uint32_t m_nSpanStart = 0;
    std::uint32_t m_nSpanEnd = 0;
    std::uint8_t m_nFileType = 0xFF;
    char m_szListenIp[16] = {};
    std::uint16_t m_nListenPort = 0;
    bool m_bCursorSet = false;
    // Where the next query starts: everything the recorder offered before it is
    // stored, skipped in this task, or a partial file still to resume.
    std::uint32_t m_nCursor = 0;
    // The mark: everything offered in [m_nMarkFrom, m_nMarkUpTo) is stored. It moves
    // with the cursor until the first recording of this task that is not stored.
    std::uint32_t m_nMarkFrom = 0;
    std::uint32_t m_nMarkUpTo = 0;
    bool m_bGap = false;             // a recording before the cursor is missing
    bool m_bSpanExhausted = false;   // the recorder has nothing from the cursor on
    std::set<std::pair<std::string, std::uint32_t>> m_skipped;  // (file name, start), this task only
    // Partial files of requested recordings that failed in this task (file name,
    // start): outside the span the walk leaves them for the request's next try.
    std::set<std::pair<std::string, std::uint32_t>> m_requestKept;
    EarliestFileRecord m_requested;  // the recording of the last request
    bool m_bResumed = false;         // the last request resumed a partial file
    std::string m_strNotedPath;      // the fleet history holds a note of this finished path
    std::string m_failedName;        // the recording that failed last, and how often in a row
    std::uint32_t m_nFailedStart = 0;
    int m_nFailures = 0;
};

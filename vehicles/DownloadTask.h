#pragma once

#include "control/ControlMessage.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "transfer/TransferOutcome.h"

#include <cstdint>
#include <memory>
#include <string>

class CVehicle;
class CTCPSrv;
class CTransferSlot;

// Fetches the recordings of one channel of one vehicle, oldest first, one at a time:
// scans the store, asks the recorder for the earliest recording from there on,
// requests it (resuming a partial file) and waits while the receiver stores it.
// Ends when the recorder has nothing left in the span or the vehicle quits.
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

private:
    enum class Request { None = -1, Accepted = 0, Refused = 1 };

    // One pass of the loop; false when the task is finished.
    bool RunPass();
    // Asks the recorder for the recording from nSeek on: waits for a transfer slot
    // and opens the listener of this request.
    Request RequestFile(const EarliestFileRecord& record, std::uint32_t nSeek, bool bLog);
    // Closes the request's listener and gives back its slot.
    void EndRequest();
    // Tells the vehicle and the fleet history how a transfer ended.
    void ReportOutcome(const TransferOutcome& outcome);
    // Asks how many recordings the span still holds, when this pass counts them.
    void CountPending(std::uint32_t nNextStart, std::uint32_t nQueryEnd);
    Request Resume(const std::string& tdPath, std::uint32_t nNextStart, std::uint32_t nQueryEnd);
    Request FetchNext(bool bMp4Found, const std::string& mp4Path, std::uint32_t nNextStart,
                      std::uint32_t nQueryEnd);
    // Whether the recorder's file name may be requested and stored; logs when not and
    // moves the next start past the recording.
    bool UsableRecorderName(const EarliestFileRecord& record, std::uint32_t nNextStart);
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
    bool m_bFirstPass = true;
    bool m_bFinished = false;
    std::uint32_t m_nSkipUntil = 0;  // recordings before this are not requested again this pass
    static constexpr int kFailuresBeforeSkip = 3;
    EarliestFileRecord m_requested;  // the recording of the last request
    std::string m_failedName;        // the recording that failed last, and how often in a row
    std::uint32_t m_nFailedStart = 0;
    int m_nFailures = 0;
};

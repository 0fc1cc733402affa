#include "transfer/FileReceiver.h"

#include "control/ControlMessage.h"
#include "core/Logger.h"
#include "platform/File.h"
#include "platform/FileStatus.h"
#include "platform/Format.h"
#include "platform/PathName.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/RecordIndex.h"
#include "store/LocalStore.h"
#include "transfer/TCPSrv.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// While the stream arrives, every kWriteBackStep new bytes are handed to the disk at
// once and the step before them is waited for: one transfer then holds about two
// steps of dirty memory, and the sync before the rename finds little left to write
// instead of the whole file.
constexpr std::int64_t kWriteBackStep = 8 << 20;

// How far the write-back of the partial file has come; offsets in the file.
struct WriteBehind {
    std::int64_t nEnd = 0;      // the file's size as written so far
    std::int64_t nStarted = 0;  // bytes before this have been handed to the disk
    std::int64_t nWaited = 0;   // bytes before this have been written (not yet durable)
};

// Hands the bytes written since the last step to the disk once they make a step, and
// waits for the step before. 0, or the error of a failed write-back.
int AdvanceWriteBack(CFile& file, WriteBehind& wb)
{
    if (wb.nEnd - wb.nStarted < kWriteBackStep)
        return 0;
    int nErr = file.StartWriteBack(wb.nStarted, wb.nEnd - wb.nStarted);
    if (nErr == 0)
        nErr = file.WaitWriteBack(wb.nWaited, wb.nStarted - wb.nWaited);
    wb.nWaited = wb.nStarted;
    wb.nStarted = wb.nEnd;
    return nErr;
}

// A name from the network as it may appear in a log line: control characters
// would break the line, so they are shown as \xNN.
std::string Printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        auto uc = static_cast<unsigned char>(c);
        if (uc < 0x20 || uc == 0x7F)
            out += Format("\\x%02X", uc);
        else
            out += c;
    }
    return out;
}

// Reads the 80-byte header, which may come in several segments, within the header
// wait. 1 complete, 0 nothing arrived in time (or the wait failed), -1 incomplete.
int ReadHeader(CTCPSrv* pSrv, unsigned char (&buf)[kTransferHeaderSize])
{
    std::size_t nGot = 0;
    std::int64_t nDeadline = MonotonicMs() + Timing().nHeaderWaitMs;
    while (nGot < kTransferHeaderSize) {
        std::int64_t nLeft = nDeadline - MonotonicMs();
        int nReady = pSrv->WaitAccepted(nLeft > 0 ? static_cast<int>(nLeft) : 0);
        if (nReady != 1)
            return nGot == 0 ? 0 : -1;
        // Never more than the header: the file bytes stay in the socket.
        ssize_t n = pSrv->RecvAccepted(buf + nGot, kTransferHeaderSize - nGot);
        if (n <= 0)
            return -1;
        nGot += static_cast<std::size_t>(n);
    }
    return 1;
}

// Step 5 of a transfer: whether the recording may be received, given what the
// channel directory holds with the same start text. May adopt a lone partial file
// of an older header by renaming it to partialPath.
bool SameStartAllows(const std::string& chanDir, const std::string& startText, const std::string& partialName,
                     const std::string& partialPath, const char* szDevice)
{
    std::string pattern = chanDir + "/*_" + startText + "_*";
    std::vector<std::string> matched = FindFiles(pattern);
    if (matched.empty())
        return true;
    if (matched.size() >= 2) {
        WriteLog(Format("nMatched>=2 for half-identical files: %s", pattern.c_str()), szDevice);
        return false;
    }
    const std::string& name = matched.front();
    CFileStatus st;
    if (st.Query(partialPath) == 0)
        return true;  // the one match is our own partial file
    std::size_t nDot = name.rfind('.');
    if (nDot != std::string::npos && name.compare(nDot + 1, std::string::npos, "mp4") == 0) {
        WriteLog(Format("mp4 file with the same starttime is already exsit: %s\n", name.c_str()), szDevice);
        return false;
    }
    if (RenameNoReplace(chanDir + "/" + name, partialPath) == 0) {
        WriteLog(Format("matched file %s doesn't meet transfering file: %s, rename succ", name.c_str(),
                        partialName.c_str()),
                 szDevice);
        return true;
    }
    WriteLog(Format("matched file %s doesn't meet transfering file: %s, rename failed", name.c_str(),
                    partialName.c_str()),
             szDevice);
    return false;
}

// A partial file removed meanwhile takes writes without complaint; the rest of the
// stream would only fill an unnamed file. Checked whenever the stream pauses and every
// 16 chunks while it flows.
bool FileRemoved(const CFile& file, const std::string& partialName, const TransferHeader& hdr, const char* szDevice)
{
    if (!file.WasRemoved())
        return false;
    WriteLog(Format("file %s of channel %d of %s was removed while downloading", partialName.c_str(), hdr.nChan,
                    szDevice),
             szDevice);
    return true;
}

// Step 9: appends the stream to the file until the recorder closes, falls silent, or the
// file cannot take more. wb starts at the file's size when it was opened.
void ReceiveLoop(CTCPSrv* pSrv, CFile& file, WriteBehind& wb, const TransferHeader& hdr,
                 const std::string& partialName, const char* szDevice)
{
    std::vector<char> buf(kReceiveChunkSize);
    std::uint32_t nChunks = 0;
    for (;;) {
        // While the stream flows, bytes are waiting already: read them without a wait.
        ssize_t nResult = pSrv->TryRecvAccepted(buf.data(), buf.size());
        if (nResult < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (nChunks > 0 && FileRemoved(file, partialName, hdr, szDevice))
                return;
            if (pSrv->WaitAccepted(Timing().nReceiveSilenceMs) != 1) {
                DebugOutput("TCP select meets error or timeout");
                WriteLog("TCP select meets error or timeout\n", szDevice);
                return;
            }
            nResult = pSrv->RecvAccepted(buf.data(), buf.size());
        }
        if (nResult == 0) {
            DebugOutput("TCP recv returns zero\n");
            WriteLog("TCP recv returns zero", szDevice);
            return;
        }
        if (nResult < 0) {
            WriteLog(Format("TCP recv meets error when downloading channel %d of %s, nResult: %d", hdr.nChan,
                            szDevice, static_cast<int>(nResult)),
                     szDevice);
            return;
        }
        std::size_t nWritten = 0;
        int nErr = file.WriteAll(buf.data(), static_cast<std::size_t>(nResult), &nWritten);
        pSrv->AddReceivedBytes(static_cast<std::uint32_t>(nWritten));
        if (nWritten < static_cast<std::size_t>(nResult)) {
            // Disk full or the like: what is on disk stays, to be resumed later.
            WriteLog(Format("write file %s of channel %d of %s err, errno=%d", partialName.c_str(), hdr.nChan,
                            szDevice, nErr),
                     szDevice);
            return;
        }
        wb.nEnd += static_cast<std::int64_t>(nWritten);
        nErr = AdvanceWriteBack(file, wb);
        if (nErr != 0) {
            // The disk failed to take bytes already written: the file cannot be finished
            // by this transfer (its sync fails too), so the rest of the stream is not taken.
            WriteLog(Format("write-back of file %s of channel %d of %s failed: %s", partialName.c_str(), hdr.nChan,
                            szDevice, ErrnoText(nErr).c_str()),
                     szDevice);
            return;
        }
        if (++nChunks % 16 == 0 && FileRemoved(file, partialName, hdr, szDevice))
            return;
    }
}

// Gives the synced partial file its finished name once what must be kept before is
// kept (the fleet history's note): a process that ends in between still has the
// recording counted. 0, or -1 with errno.
int RenameNoted(const CTCPSrv* pSrv, const std::string& partialPath, const std::string& finalPath,
                std::uint64_t nSize)
{
    pSrv->NoteBeforeRename(finalPath, nSize);
    return RenameNoReplace(partialPath, finalPath);
}

} // namespace

std::string HeaderVehicleName(const TransferHeader& hdr)
{
    static_assert(sizeof(hdr.szDevice) == kNameFieldSize);
    std::string name = HeaderText(hdr.szDevice);
    if (name.size() > kNameFieldSize - 1)
        name.resize(kNameFieldSize - 1);
    return name;
}

std::string CheckHeaderNames(const TransferHeader& hdr)
{
    std::string device = HeaderVehicleName(hdr);
    if (!IsSafePathComponent(device))
        return Format("Error transfer header, unsafe szDevice: %s", Printable(device).c_str());
    std::string chan = HeaderText(hdr.szChan);
    if (!IsSafePathComponent(chan))
        return Format("Error transfer header, unsafe szChan: %s", Printable(chan).c_str());
    return {};
}

bool HasChannelTag(const TransferHeader& hdr)
{
    return HeaderText(hdr.szChan).find(Format("ch%02d_", hdr.nChan)) != std::string::npos;
}

int ReceiveFileStream(CTCPSrv* pSrv, const std::string& downRoot, bool bComponentMode, CRecordIndex* pIndex)
{
    if (pSrv == nullptr) {
        WriteLog("CTCPSrv::GetFileTask: Invalid Param");
        return 0;
    }

    // No device name is known before the header has arrived: those lines name none.
    unsigned char rawHeader[kTransferHeaderSize];
    int nHeader = ReadHeader(pSrv, rawHeader);
    if (nHeader != 1) {
        pSrv->SetOutcome(TransferResult::Refused);
        pSrv->CloseAccepted();
        WriteLog(nHeader == 0 ? "select err or timeout" : "Error transfer header size");
        return 0;
    }
    TransferHeader hdr {};
    DecodeTransferHeader(rawHeader, sizeof(rawHeader), hdr);
    // From here on the header names its vehicle as registration does, for the check
    // against the request, the store's directory and the record index alike.
    const std::string device = HeaderVehicleName(hdr);
    std::memset(hdr.szDevice, 0, sizeof(hdr.szDevice));
    std::memcpy(hdr.szDevice, device.data(), device.size());

    std::string refusal = CheckHeaderNames(hdr);
    if (!refusal.empty()) {
        bool bDeviceSafe = IsSafePathComponent(device);
        WriteLog(refusal, bDeviceSafe ? device.c_str() : nullptr);
        pSrv->SetOutcome(TransferResult::Refused);
        pSrv->CloseAccepted();
        return 0;
    }
    const std::string recorderName = HeaderText(hdr.szChan);
    const char* szDevice = device.c_str();

    // Checked before anything in the store is created or renamed, so that a header
    // that is refused anyway never renames a partial file to its wrong name.
    if (!HasChannelTag(hdr)) {
        WriteLog("Error transfer header, szChan not correct", szDevice);
        pSrv->SetOutcome(TransferResult::Refused);
        pSrv->CloseAccepted();
        return 0;
    }

    // A connection serves only the request it answers: a stray or late one from an
    // earlier request must not append another file's bytes, nor make a directory for
    // a device that never registered.
    if (!pSrv->ExpectedDevice().empty() &&
        (device != pSrv->ExpectedDevice() || recorderName != pSrv->ExpectedFile() ||
         hdr.nChan != pSrv->ExpectedChannel())) {
        WriteLog(Format("Error transfer header, not the file requested: device %s, file %s, channel %d",
                        Printable(device).c_str(), Printable(recorderName).c_str(), hdr.nChan),
                 pSrv->ExpectedDevice().c_str());
        pSrv->SetOutcome(TransferResult::Refused);
        pSrv->CloseAccepted();
        return 0;
    }

    const std::string startText = FormatTimeString(hdr.tStart);
    const std::string chanDir = ChannelDirPath(downRoot, device, hdr.tStart, hdr.nChan);
    if (!MakeDirectories(chanDir)) {
        int nErr = errno;
        WriteLog(Format("cannot create directory %s for channel %d of %s: %s", chanDir.c_str(), hdr.nChan, szDevice,
                        ErrnoText(nErr).c_str()),
                 szDevice);
        pSrv->SetOutcome(TransferResult::Failed);
        pSrv->CloseAccepted();
        return 0;
    }
    const std::string finalName = FinalFileName(hdr.nChan, hdr.tStart, hdr.tEnd);
    const std::string finalPath = chanDir + "/" + finalName;
    const std::string partialName = PartialFileName(hdr.nChan, hdr.tStart, hdr.tEnd, recorderName, hdr.nFileSize);
    const std::string partialPath = chanDir + "/" + partialName;

    if (!SameStartAllows(chanDir, startText, partialName, partialPath, szDevice)) {
        pSrv->SetOutcome(TransferResult::Refused);
        pSrv->CloseAccepted();
        return 0;
    }

    WriteLog(Format("Start Recv file stream for channel %d of %s\n", hdr.nChan, szDevice), szDevice);

    CFile file;
    int nOpenErr = file.Open(partialPath, CFile::Mode::Append);
    if (nOpenErr != 0) {
        WriteLog(Format("cannot open file %s of channel %d of %s: %s", partialName.c_str(), hdr.nChan, szDevice,
                        ErrnoText(nOpenErr).c_str()),
                 szDevice);
        pSrv->SetOutcome(TransferResult::Failed);
        pSrv->CloseAccepted();
        return 0;
    }
    // A resumed transfer appends: its write-back starts where the file ends.
    const std::int64_t nOpenSize = file.Size();
    const std::uint64_t nSizeBefore = nOpenSize > 0 ? static_cast<std::uint64_t>(nOpenSize) : 0;
    WriteBehind wb;
    wb.nEnd = wb.nStarted = wb.nWaited = static_cast<std::int64_t>(nSizeBefore);
    ReceiveLoop(pSrv, file, wb, hdr, partialName, szDevice);

    // A file about to take its finished name must be on disk first: after a power cut
    // a finished name with missing data would never be fetched again. Without the
    // sync the file keeps its partial name, and a later pass syncs and renames it.
    bool bSynced = false;
    bool bSyncLogged = false;
    const std::int64_t nReceivedSize = file.Size();
    if (nReceivedSize >= 0 && static_cast<std::uint32_t>(nReceivedSize) == hdr.nFileSize) {
        int nErr = file.SyncData();
        bSynced = nErr == 0;
        if (!bSynced) {
            WriteLog(Format("sync of file %s of channel %d of %s failed, kept as partial file: %s",
                            partialName.c_str(), hdr.nChan, szDevice, ErrnoText(nErr).c_str()),
                     szDevice);
            bSyncLogged = true;
        }
    }
    file.Close();

    TransferResult eResult = TransferResult::Failed;
    CFileStatus st;
    std::uint64_t nSizeAfter = nSizeBefore;
    if (st.Query(partialPath) != 0 || !st.IsRegular()) {
        WriteLog("find file err in tcp quits", szDevice);
    } else {
        nSizeAfter = static_cast<std::uint64_t>(st.Size());
        auto nSizeLow = static_cast<std::uint32_t>(st.Size());
        if (nSizeLow == hdr.nFileSize) {
            if (!bSynced) {
                // Only when the file at the partial path is not the one received: it
                // was replaced meanwhile, and nothing says its bytes are on disk.
                if (!bSyncLogged)
                    WriteLog(Format("file %s of channel %d of %s was replaced while downloading, kept as partial file",
                                    partialName.c_str(), hdr.nChan, szDevice),
                             szDevice);
            } else if (RenameNoted(pSrv, partialPath, finalPath, nSizeAfter) != 0) {
                int nErr = errno;
                WriteLog(Format("rename file %s of channel %d of %s err, errno=%d (%s)", partialName.c_str(),
                                hdr.nChan, szDevice, nErr, ErrnoText(nErr).c_str()),
                         szDevice);
            } else {
                WriteLog(Format("file %s of channel %d of %s is downloaded over!", finalName.c_str(), hdr.nChan,
                                szDevice),
                         szDevice);
                eResult = TransferResult::Stored;
                // The data is on disk already: should a power cut undo the rename, the
                // synced partial file is what the channel task finds at its next pass,
                // and nothing received is lost. So the file counts as stored.
                if (!SyncDirectory(chanDir)) {
                    int nErr = errno;
                    WriteLog(Format("sync of directory %s failed after file %s of channel %d of %s was stored: %s",
                                    chanDir.c_str(), finalName.c_str(), hdr.nChan, szDevice,
                                    ErrnoText(nErr).c_str()),
                             szDevice);
                }
                if (bComponentMode && pIndex)
                    pIndex->AddRecord(hdr);
            }
        } else if (nSizeLow > hdr.nFileSize) {
            DebugOutput("data.nFileSizeLow>transferHdr.nFileSize\n");
            WriteLog("data.nFileSizeLow>transferHdr.nFileSize", szDevice);
            eResult = TransferResult::Oversize;
        } else {
            // Smaller: the partial file waits for the next request.
            eResult = TransferResult::Incomplete;
        }
    }
    const std::uint64_t nAdded = nSizeAfter > nSizeBefore ? nSizeAfter - nSizeBefore : 0;
    if (eResult == TransferResult::Stored)
        pSrv->SetOutcome(eResult, nAdded, nSizeAfter, finalPath);
    else
        pSrv->SetOutcome(eResult, nAdded);

    pSrv->CloseAccepted();
    return 0;
}

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

// One recording arriving over the connection: its header and where it goes in the store.
struct Incoming {
    TransferHeader hdr {};
    std::string device;        // the header's vehicle, as registration names it
    std::string recorderName;  // the recorder's file name
    std::string chanDir;
    std::string finalName;
    std::string finalPath;
    std::string partialName;
    std::string partialPath;
};

// Ends a transfer that stored nothing before its stream was taken.
void CloseWith(CTCPSrv* pSrv, TransferResult eResult)
{
    pSrv->SetOutcome(eResult);
    pSrv->CloseAccepted();
}

// Reads and decodes the header; false (the connection closed) when none came whole.
bool ReadTransferHeader(CTCPSrv* pSrv, Incoming& in)
{
    // No device name is known before the header has arrived: those lines name none.
    unsigned char rawHeader[kTransferHeaderSize];
    int nHeader = ReadHeader(pSrv, rawHeader);
    if (nHeader != 1) {
        CloseWith(pSrv, TransferResult::Refused);
        WriteLog(nHeader == 0 ? "select err or timeout" : "Error transfer header size");
        return false;
    }
    TransferHeader& hdr = in.hdr;
    DecodeTransferHeader(rawHeader, sizeof(rawHeader), hdr);
    // From here on the header names its vehicle as registration does, for the check
    // against the request, the store's directory and the record index alike.
    in.device = HeaderVehicleName(hdr);
    std::memset(hdr.szDevice, 0, sizeof(hdr.szDevice));
    std::memcpy(hdr.szDevice, in.device.data(), in.device.size());
    in.recorderName = HeaderText(hdr.szChan);
    return true;
}

// Whether the header may be received at all; logs why not.
bool HeaderAccepted(const CTCPSrv* pSrv, const Incoming& in)
{
    const TransferHeader& hdr = in.hdr;
    std::string refusal = CheckHeaderNames(hdr);
    if (!refusal.empty()) {
        bool bDeviceSafe = IsSafePathComponent(in.device);
        WriteLog(refusal, bDeviceSafe ? in.device.c_str() : nullptr);
        return false;
    }
    const char* szDevice = in.device.c_str();

    // Checked before anything in the store is created or renamed, so that a header
    // that is refused anyway never renames a partial file to its wrong name.
    if (!HasChannelTag(hdr)) {
        WriteLog("Error transfer header, szChan not correct", szDevice);
        return false;
    }

    // A connection serves only the request it answers: a stray or late one from an
    // earlier request must not append another file's bytes, nor make a directory for
    // a device that never registered.
    if (!pSrv->ExpectedDevice().empty() &&
        (in.device != pSrv->ExpectedDevice() || in.recorderName != pSrv->ExpectedFile() ||
         hdr.nChan != pSrv->ExpectedChannel())) {
        WriteLog(Format("Error transfer header, not the file requested: device %s, file %s, channel %d",
                        Printable(in.device).c_str(), Printable(in.recorderName).c_str(), hdr.nChan),
                 pSrv->ExpectedDevice().c_str());
        return false;
    }
    return true;
}

// Makes the channel directory and names the recording's files in it. false, with the
// outcome to close with, when the recording cannot be received there.
bool PrepareStore(const std::string& downRoot, Incoming& in, TransferResult& eRefusal)
{
    const TransferHeader& hdr = in.hdr;
    const char* szDevice = in.device.c_str();
    const std::string startText = FormatTimeString(hdr.tStart);
    in.chanDir = ChannelDirPath(downRoot, in.device, hdr.tStart, hdr.nChan);
    if (!MakeDirectories(in.chanDir)) {
        int nErr = errno;
        WriteLog(Format("cannot create directory %s for channel %d of %s: %s", in.chanDir.c_str(), hdr.nChan,
                        szDevice, ErrnoText(nErr).c_str()),
                 szDevice);
        eRefusal = TransferResult::Failed;
        return false;
    }
    in.finalName = FinalFileName(hdr.nChan, hdr.tStart, hdr.tEnd);
    in.finalPath = in.chanDir + "/" + in.finalName;
    in.partialName = PartialFileName(hdr.nChan, hdr.tStart, hdr.tEnd, in.recorderName, hdr.nFileSize);
    in.partialPath = in.chanDir + "/" + in.partialName;

    if (!SameStartAllows(in.chanDir, startText, in.partialName, in.partialPath, szDevice)) {
        eRefusal = TransferResult::Refused;
        return false;
    }
    return true;
}

// Opens the partial file for appending; logs why not.
bool OpenPartial(CFile& file, const Incoming& in)
{
    int nOpenErr = file.Open(in.partialPath, CFile::Mode::Append);
    if (nOpenErr == 0)
        return true;
    const char* szDevice = in.device.c_str();
    WriteLog(Format("cannot open file %s of channel %d of %s: %s", in.partialName.c_str(), in.hdr.nChan, szDevice,
                    ErrnoText(nOpenErr).c_str()),
             szDevice);
    return false;
}

// A file about to take its finished name must be on disk first: after a power cut
// a finished name with missing data would never be fetched again. Without the
// sync the file keeps its partial name, and a later pass syncs and renames it.
// true when the file is whole and synced; bLogged when a failed sync was logged.
bool SyncIfWhole(CFile& file, const Incoming& in, bool& bLogged)
{
    const std::int64_t nReceivedSize = file.Size();
    if (nReceivedSize < 0 || static_cast<std::uint32_t>(nReceivedSize) != in.hdr.nFileSize)
        return false;
    int nErr = file.SyncData();
    if (nErr == 0)
        return true;
    const char* szDevice = in.device.c_str();
    WriteLog(Format("sync of file %s of channel %d of %s failed, kept as partial file: %s", in.partialName.c_str(),
                    in.hdr.nChan, szDevice, ErrnoText(nErr).c_str()),
             szDevice);
    bLogged = true;
    return false;
}

// Gives the synced, whole file its finished name and, with pIndex, its record.
TransferResult StoreFinished(const CTCPSrv* pSrv, const Incoming& in, std::uint64_t nSize, CRecordIndex* pIndex)
{
    const char* szDevice = in.device.c_str();
    if (RenameNoted(pSrv, in.partialPath, in.finalPath, nSize) != 0) {
        int nErr = errno;
        WriteLog(Format("rename file %s of channel %d of %s err, errno=%d (%s)", in.partialName.c_str(),
                        in.hdr.nChan, szDevice, nErr, ErrnoText(nErr).c_str()),
                 szDevice);
        return TransferResult::Failed;
    }
    WriteLog(Format("file %s of channel %d of %s is downloaded over!", in.finalName.c_str(), in.hdr.nChan, szDevice),
             szDevice);
    // The data is on disk already: should a power cut undo the rename, the
    // synced partial file is what the channel task finds at its next pass,
    // and nothing received is lost. So the file counts as stored.
    if (!SyncDirectory(in.chanDir)) {
        int nErr = errno;
        WriteLog(Format("sync of directory %s failed after file %s of channel %d of %s was stored: %s",
                        in.chanDir.c_str(), in.finalName.c_str(), in.hdr.nChan, szDevice, ErrnoText(nErr).c_str()),
                 szDevice);
    }
    if (pIndex)
        pIndex->AddRecord(in.hdr);
    return TransferResult::Stored;
}

// What became of the received file, by its size on disk (nSizeAfter, when it is
// there): stored, too big, or smaller and kept for the next request.
TransferResult Conclude(const CTCPSrv* pSrv, const Incoming& in, bool bSynced, bool bSyncLogged,
                        CRecordIndex* pIndex, std::uint64_t& nSizeAfter)
{
    const std::string& partialPath = in.partialPath;
    const char* szDevice = in.device.c_str();
    CFileStatus st;
    if (st.Query(partialPath) != 0 || !st.IsRegular()) {
        WriteLog("find file err in tcp quits", szDevice);
        return TransferResult::Failed;
    }
    nSizeAfter = static_cast<std::uint64_t>(st.Size());
    auto nSizeLow = static_cast<std::uint32_t>(st.Size());
    if (nSizeLow > in.hdr.nFileSize) {
        DebugOutput("data.nFileSizeLow>transferHdr.nFileSize\n");
        WriteLog("data.nFileSizeLow>transferHdr.nFileSize", szDevice);
        return TransferResult::Oversize;
    }
    if (nSizeLow < in.hdr.nFileSize)
        return TransferResult::Incomplete;  // the partial file waits for the next request
    if (!bSynced) {
        // Only when the file at the partial path is not the one received: it
        // was replaced meanwhile, and nothing says its bytes are on disk.
        if (!bSyncLogged)
            WriteLog(Format("file %s of channel %d of %s was replaced while downloading, kept as partial file",
                            in.partialName.c_str(), in.hdr.nChan, szDevice),
                     szDevice);
        return TransferResult::Failed;
    }
    return StoreFinished(pSrv, in, nSizeAfter, pIndex);
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
    Incoming in;
    if (!ReadTransferHeader(pSrv, in))
        return 0;
    if (!HeaderAccepted(pSrv, in)) {
        CloseWith(pSrv, TransferResult::Refused);
        return 0;
    }
    TransferResult eRefusal = TransferResult::Refused;
    if (!PrepareStore(downRoot, in, eRefusal)) {
        CloseWith(pSrv, eRefusal);
        return 0;
    }
    const char* szDevice = in.device.c_str();
    WriteLog(Format("Start Recv file stream for channel %d of %s\n", in.hdr.nChan, szDevice), szDevice);

    CFile file;
    if (!OpenPartial(file, in)) {
        CloseWith(pSrv, TransferResult::Failed);
        return 0;
    }
    // A resumed transfer appends: its write-back starts where the file ends.
    const std::int64_t nOpenSize = file.Size();
    const std::uint64_t nSizeBefore = nOpenSize > 0 ? static_cast<std::uint64_t>(nOpenSize) : 0;
    WriteBehind wb;
    wb.nEnd = wb.nStarted = wb.nWaited = static_cast<std::int64_t>(nSizeBefore);
    ReceiveLoop(pSrv, file, wb, in.hdr, in.partialName, szDevice);
    bool bSyncLogged = false;
    const bool bSynced = SyncIfWhole(file, in, bSyncLogged);
    file.Close();

    std::uint64_t nSizeAfter = nSizeBefore;
    TransferResult eResult =
        Conclude(pSrv, in, bSynced, bSyncLogged, bComponentMode ? pIndex : nullptr, nSizeAfter);
    const std::uint64_t nAdded = nSizeAfter > nSizeBefore ? nSizeAfter - nSizeBefore : 0;
    if (eResult == TransferResult::Stored)
        pSrv->SetOutcome(eResult, nAdded, nSizeAfter, in.finalPath);
    else
        pSrv->SetOutcome(eResult, nAdded);

    pSrv->CloseAccepted();
    return 0;
}

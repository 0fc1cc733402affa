#include "transfer/FileReceiver.h"

#include "core/Logger.h"
#include "core/ServerCounters.h"
#include "platform/File.h"
#include "platform/Format.h"
#include "platform/PathName.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/RecordIndex.h"
#include "settings/Settings.h"
#include "store/LocalStore.h"
#include "transfer/TCPSrv.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <vector>

namespace {

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
    struct stat st {};
    if (::stat(partialPath.c_str(), &st) == 0)
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
// file cannot take more.
void ReceiveLoop(CTCPSrv* pSrv, CFile& file, const TransferHeader& hdr, const std::string& partialName,
                 const char* szDevice)
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
        CServerCounters::Bump(CServerCounters::Instance().nReceivedBytes, nWritten);
        if (nWritten < static_cast<std::size_t>(nResult)) {
            // Disk full or the like: what is on disk stays, to be resumed later.
            WriteLog(Format("write file %s of channel %d of %s err, errno=%d", partialName.c_str(), hdr.nChan,
                            szDevice, nErr),
                     szDevice);
            return;
        }
        if (++nChunks % 16 == 0 && FileRemoved(file, partialName, hdr, szDevice))
            return;
    }
}

} // namespace

std::string CheckHeaderNames(const TransferHeader& hdr)
{
    std::string device = HeaderText(hdr.szDevice);
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

int GetFileTask(CTCPSrv* pSrv)
{
    const ServerSettings& settings = GlobalSettings();
    bool bComponentMode = settings.bComponentMode != 0;
    return ReceiveFileStream(pSrv, settings.szDownDir, bComponentMode,
                             bComponentMode ? CRecordIndex::GetInstance() : nullptr);
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

    std::string refusal = CheckHeaderNames(hdr);
    if (!refusal.empty()) {
        bool bDeviceSafe = IsSafePathComponent(HeaderText(hdr.szDevice));
        WriteLog(refusal, bDeviceSafe ? HeaderText(hdr.szDevice).c_str() : nullptr);
        pSrv->SetOutcome(TransferResult::Refused);
        pSrv->CloseAccepted();
        return 0;
    }
    const std::string device = HeaderText(hdr.szDevice);
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
    // Failure shows later as a file that cannot be opened.
    MakeDirectories(chanDir);
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

    struct stat before {};
    std::uint64_t nSizeBefore = ::stat(partialPath.c_str(), &before) == 0 ? static_cast<std::uint64_t>(before.st_size) : 0;
    TransferResult eResult = TransferResult::Failed;
    CFile file;
    if (file.Open(partialPath, CFile::Mode::Append) == 0) {
        ReceiveLoop(pSrv, file, hdr, partialName, szDevice);
        // A file about to take its finished name must be on disk first: after a power
        // cut a finished name with missing data would never be fetched again.
        if (static_cast<std::uint32_t>(file.Size()) == hdr.nFileSize)
            file.SyncData();
        file.Close();
    }

    struct stat st {};
    std::uint64_t nSizeAfter = nSizeBefore;
    if (::stat(partialPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        WriteLog("find file err in tcp quits", szDevice);
    } else {
        nSizeAfter = static_cast<std::uint64_t>(st.st_size);
        auto nSizeLow = static_cast<std::uint32_t>(st.st_size);
        if (nSizeLow == hdr.nFileSize) {
            if (RenameNoReplace(partialPath, finalPath) != 0) {
                int nErr = errno;
                WriteLog(Format("rename file %s of channel %d of %s err, errno=%d", partialName.c_str(), hdr.nChan,
                                szDevice, nErr),
                         szDevice);
            } else {
                WriteLog(Format("file %s of channel %d of %s is downloaded over!", finalName.c_str(), hdr.nChan,
                                szDevice),
                         szDevice);
                eResult = TransferResult::Stored;
                SyncDirectory(chanDir);
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
    pSrv->SetOutcome(eResult, nSizeAfter > nSizeBefore ? nSizeAfter - nSizeBefore : 0);

    pSrv->CloseAccepted();
    return 0;
}

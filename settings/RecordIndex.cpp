#include "settings/RecordIndex.h"

#include "control/TransferHeader.h"
#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/FileBackup.h"
#include "settings/WallClock.h"
#include "settings/XmlDoc.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <chrono>
#include <memory>
#include <string_view>

namespace {

constexpr const char* kNewIndex = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Data></Data>";
constexpr std::string_view kRootEnd = "</Data>";
constexpr std::string_view kRecordEnd = "</record>\r\n";
// An append reads no more than this from the end of the index: the closing tag and
// the end of the last record are always within it.
constexpr std::int64_t kTailBytes = 4096;

using Clock = std::chrono::steady_clock;

Clock::time_point GiveUpTime()
{
    return Clock::now() + std::chrono::milliseconds(Timing().nIndexGiveUpMs);
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Offset of the root's closing tag when text ends with it and optional whitespace,
// npos otherwise.
std::size_t ClosingTagAt(std::string_view text)
{
    std::size_t nEnd = text.size();
    while (nEnd > 0 && IsSpace(text[nEnd - 1]))
        --nEnd;
    if (!text.substr(0, nEnd).ends_with(kRootEnd))
        return std::string_view::npos;
    return nEnd - kRootEnd.size();
}

// Adds a record holding strContent as the last child of doc's Data root, as appends
// always have. False when there is no Data root.
bool SpliceRecord(CXmlDoc& doc, const std::string& strContent)
{
    if (!doc.FindSibling("Data") || !doc.AddChild("record", std::string(), CXmlDoc::XML_CHILD))
        return false;
    doc.EnterElement();
    doc.InsertChildMarkup(strContent, CXmlDoc::XML_CHILD | CXmlDoc::XML_BEFORE);
    doc.LeaveElement();
    return true;
}

// The bytes an append puts in front of the closing tag when what precedes it (before)
// has one of the two shapes appends leave: the empty root, or a record's end tag and
// whitespace. They come from splicing a miniature of the same shape, so they are the
// bytes a splice of the whole document would insert. Empty for any other shape.
std::string InsertionBeforeEnd(std::string_view before, const std::string& strContent)
{
    std::string strMini;
    if (before.ends_with("<Data>")) {
        strMini = "<Data></Data>";
    } else {
        while (!before.empty() && IsSpace(before.back()))
            before.remove_suffix(1);
        if (!before.ends_with("</record>"))
            return {};
        strMini = "<Data><record/></Data>";
    }
    CXmlDoc mini(strMini);
    if (!SpliceRecord(mini, strContent))
        return {};
    const std::string& strNew = mini.GetText();
    const std::size_t nAt = strMini.size() - kRootEnd.size();
    if (strNew.size() <= strMini.size() || strNew.compare(0, nAt, strMini, 0, nAt) != 0 ||
        !std::string_view(strNew).ends_with(kRootEnd))
        return {};
    return strNew.substr(nAt, strNew.size() - strMini.size());
}

// Where a malformed text that lacks its closing tag is cut so that it ends with its
// last whole record (or its empty root) again; npos when it does not look like an
// index whose last append was cut short.
std::size_t TornTailCut(const std::string& strText)
{
    if (ClosingTagAt(strText) != std::string_view::npos)
        return std::string::npos;
    std::size_t nAt = strText.rfind(kRecordEnd);
    if (nAt != std::string::npos)
        return nAt + kRecordEnd.size();
    nAt = strText.find("<Data>");
    return nAt == std::string::npos ? nAt : nAt + 6;
}

// Writes strNew at nOff, where the file held strOld up to its end, and makes it
// durable. When that fails midway (disk full), the old size and bytes are put
// back so the index stays whole. The first failure, 0 on success; bRestored false
// when even the old bytes could not be put back.
int Overwrite(CFile& file, std::int64_t nOff, const std::string& strNew, const std::string& strOld,
              bool& bRestored)
{
    bRestored = true;
    int nErr = file.WriteAt(nOff, strNew);
    if (nErr == 0)
        nErr = file.SyncData();
    if (nErr != 0) {
        // Cut first: that frees whatever the failed write allocated.
        bRestored = file.Truncate(nOff + static_cast<std::int64_t>(strOld.size())) == 0 &&
                    file.WriteAt(nOff, strOld) == 0;
    }
    return nErr;
}

// Gives an empty locked index its declaration and empty root. False (errno set) when
// that fails; the file is then left empty, which the next append starts afresh.
bool InitialiseIfEmpty(CFile& file)
{
    std::int64_t nSize = file.Size();
    if (nSize != 0)
        return nSize > 0;
    bool bRestored = false;
    int nErr = Overwrite(file, 0, kNewIndex, std::string(), bRestored);
    if (nErr != 0) {
        errno = nErr;
        return false;
    }
    // The file may have just been created: without its entry on disk it may vanish in
    // a crash, so it does not count as created.
    nErr = file.SyncEntry();
    if (nErr != 0) {
        errno = nErr;
        return false;
    }
    return true;
}

std::mutex g_instanceLock;
std::unique_ptr<CRecordIndex> g_pInstance;
std::string g_instanceDir;  // guarded by g_instanceLock; empty: beside the executable

}  // namespace

CRecordIndex* CRecordIndex::GetInstance()
{
    std::lock_guard guard(g_instanceLock);
    if (!g_pInstance) {
        std::string strDir = g_instanceDir;
        if (strDir.empty()) {
            // Beside the executable, where the outside platform looks for it; an
            // installed program's directory (/usr/sbin) cannot be written, and then
            // the working directory holds it, with the program's other files.
            strDir = ExecutableDir();
            if (!IsWritableDirectory(strDir)) {
                std::error_code ec;
                std::string cwd = std::filesystem::current_path(ec).string();
                WriteLog(Format("record index kept in %s: %s cannot be written", cwd.c_str(), strDir.c_str()));
                strDir = cwd;
            }
        }
        g_pInstance = std::make_unique<CRecordIndex>(strDir.empty() ? "." : strDir);
    }
    return g_pInstance.get();
}

void CRecordIndex::SetInstanceDirectory(const std::string& strDir)
{
    std::lock_guard guard(g_instanceLock);
    g_instanceDir = strDir;
}

void CRecordIndex::ReleaseInstance()
{
    std::lock_guard guard(g_instanceLock);
    g_pInstance.reset();
}

CRecordIndex::CRecordIndex(const std::string& strDir)
    : m_strPath((strDir.empty() ? std::string(".") : strDir) + "/" + kFileName)
{
    // Start-up must not stall when the program's directory is not writable: only a
    // lock held by another writer is waited for.
    CFile file;
    int nErr = file.OpenLocked(m_strPath, GiveUpTime(), Timing().nIndexRetryMs);
    if (nErr != 0) {
        WriteLog(Format("Record index %s cannot be opened: %s", m_strPath.c_str(), ErrnoText(nErr).c_str()));
        return;
    }
    std::int64_t nSize = file.Size();
    if (nSize == 0) {
        if (!InitialiseIfEmpty(file))
            WriteLog(Format("Record index %s cannot be created: %s", m_strPath.c_str(), ErrnoText(errno).c_str()));
        return;
    }
    CXmlDoc doc;
    if (doc.LoadFile(m_strPath))
        return;
    if (nSize < 0 || doc.GetText().size() != static_cast<std::uint64_t>(nSize)) {
        // Not read whole (too large for the parser, or a read error): it cannot be
        // judged, so it is left as it is.
        WriteLog(Format("Record index %s cannot be checked: %s", m_strPath.c_str(), doc.GetResult().c_str()));
        return;
    }

    // The last append was cut short (a killed process, a power cut): cut back to the
    // last whole record, which keeps every record that was reported added.
    std::size_t nCut = TornTailCut(doc.GetText());
    if (nCut != std::string::npos) {
        CXmlDoc repaired(doc.GetText().substr(0, nCut) + std::string(kRootEnd));
        if (repaired.IsWellFormed() && repaired.FindSibling("Data")) {
            nErr = file.Truncate(static_cast<std::int64_t>(nCut));
            if (nErr == 0)
                nErr = file.WriteAt(static_cast<std::int64_t>(nCut), std::string(kRootEnd));
            if (nErr == 0)
                nErr = file.SyncData();
            if (nErr != 0)
                WriteLog(Format("Record index %s had a torn tail that cannot be cut back: %s", m_strPath.c_str(),
                                ErrnoText(nErr).c_str()));
            else
                WriteLog(Format("record index %s had a torn tail, cut back to its last whole record",
                                m_strPath.c_str()));
            return;
        }
    }

    // Malformed in some other way: kept aside, and a new index started in its place.
    // The new file is made through the lock like any other, so an append of another
    // process that got there first is kept.
    if (!KeepAsBackup(m_strPath))
        return;
    file.Close();
    nErr = file.OpenLocked(m_strPath, GiveUpTime(), Timing().nIndexRetryMs);
    if (nErr != 0 || !InitialiseIfEmpty(file))
        WriteLog(Format("Record index %s cannot be created: %s", m_strPath.c_str(),
                        ErrnoText(nErr != 0 ? nErr : errno).c_str()));
}

bool CRecordIndex::AddRecord(const TransferHeader& hdr)
{
    std::string strDevice = HeaderText(hdr.szDevice);

    // The record is built before any lock is taken.
    CXmlDoc record;
    record.AddSibling("record");
    record.AddChild("puid", strDevice, CXmlDoc::XML_CHILD);
    record.AddChild("username", "Admin", CXmlDoc::XML_CHILD);
    record.AddChild("chan", static_cast<int>(hdr.nChan), CXmlDoc::XML_CHILD);
    record.AddChild("starttime", WallClockText(hdr.tStart), CXmlDoc::XML_CHILD);
    record.AddChild("endtime", WallClockText(hdr.tEnd), CXmlDoc::XML_CHILD);
    std::string strContent = record.GetRawContent();

    Clock::time_point tDeadline = GiveUpTime();
    // One append of this process at a time, waiting no longer than the deadline.
    bool bGate = false;
    {
        std::unique_lock gate(m_gateLock);
        bGate = m_gateFree.wait_until(gate, tDeadline, [this] { return !m_bAppending; });
        if (bGate)
            m_bAppending = true;
    }
    struct GateRelease {
        CRecordIndex* pIndex;
        bool bHeld;
        ~GateRelease()
        {
            if (!bHeld)
                return;
            {
                std::lock_guard gate(pIndex->m_gateLock);
                pIndex->m_bAppending = false;
            }
            pIndex->m_gateFree.notify_one();
        }
    } release {this, bGate};

    // Declared after the gate, so the file lock is released before the gate opens.
    CFile file;
    int nErr = bGate ? file.OpenLocked(m_strPath, tDeadline, Timing().nIndexRetryMs) : EWOULDBLOCK;
    if (nErr != 0) {
        WriteLog(Format("Record index %s cannot be opened (%s), record of channel %d dropped",
                        m_strPath.c_str(), ErrnoText(nErr).c_str(), hdr.nChan),
                 strDevice.c_str());
        return false;
    }

    // The new bytes go at nOff, over strOld, which runs to the end of the file.
    std::int64_t nOff = 0;
    std::string strNew;
    std::string strOld;
    std::int64_t nSize = file.Size();
    std::string strTail;
    if (nSize > 0)
        nErr = file.ReadAt(std::max<std::int64_t>(0, nSize - kTailBytes),
                           static_cast<std::size_t>(std::min(nSize, kTailBytes)), strTail);
    if (nSize < 0 || nErr != 0) {
        WriteLog(Format("Record index %s cannot be read (%s), record of channel %d dropped", m_strPath.c_str(),
                        ErrnoText(nSize < 0 ? errno : nErr).c_str(), hdr.nChan),
                 strDevice.c_str());
        return false;
    }
    const std::int64_t nTailOff = nSize - static_cast<std::int64_t>(strTail.size());
    std::size_t nEnd = ClosingTagAt(strTail);
    std::string strInsert;
    if (nEnd != std::string_view::npos)
        strInsert = InsertionBeforeEnd(std::string_view(strTail).substr(0, nEnd), strContent);

    if (nSize == 0) {
        // Removed by its reader (our open made it again) or emptied: start it again.
        CXmlDoc doc(kNewIndex);
        SpliceRecord(doc, strContent);
        strNew = doc.GetText();
    } else if (!strInsert.empty()) {
        nOff = nTailOff + static_cast<std::int64_t>(nEnd);
        strOld = strTail.substr(nEnd);
        strNew = strInsert + strOld;
    } else {
        // A shape appends do not leave (written by someone else): the whole document is
        // read and spliced, and only what changed from the first differing byte on is
        // written.
        CXmlDoc doc;
        if (!doc.LoadFile(m_strPath)) {
            // Possibly being rewritten by its reader; leave it alone.
            WriteLog(Format("Record index %s is not well-formed (%s), record of channel %d dropped",
                            m_strPath.c_str(), doc.GetResult().c_str(), hdr.nChan),
                     strDevice.c_str());
            return false;
        }
        std::string strWhole = doc.GetText();
        if (!SpliceRecord(doc, strContent)) {
            WriteLog(Format("Record index %s has no Data root, record of channel %d dropped", m_strPath.c_str(),
                            hdr.nChan),
                     strDevice.c_str());
            return false;
        }
        const std::string& strSpliced = doc.GetText();
        std::size_t nSame = static_cast<std::size_t>(
            std::mismatch(strWhole.begin(), strWhole.end(), strSpliced.begin(), strSpliced.end()).first -
            strWhole.begin());
        nOff = static_cast<std::int64_t>(nSame);
        strOld = strWhole.substr(nSame);
        strNew = strSpliced.substr(nSame);
    }

    bool bRestored = true;
    nErr = Overwrite(file, nOff, strNew, strOld, bRestored);
    if (nErr != 0) {
        DebugOutput("m_cIndexFile.Save failed!\r\n");
        WriteLog(Format("Record index %s cannot be written (%s), record of channel %d dropped%s",
                        m_strPath.c_str(), ErrnoText(nErr).c_str(), hdr.nChan,
                        bRestored ? "" : "; its torn tail is cut back at the next start"),
                 strDevice.c_str());
        return false;
    }
    // The file may have just been created: the record is written, but a crash may take
    // the whole new file with it while its entry is not on disk.
    if (nSize == 0) {
        nErr = file.SyncEntry();
        if (nErr != 0)
            WriteLog(Format("Record index %s may not survive a crash, its directory cannot be synced (%s)",
                            m_strPath.c_str(), ErrnoText(nErr).c_str()),
                     strDevice.c_str());
    }
    return true;
}

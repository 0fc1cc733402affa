#include "settings/RecordIndex.h"

#include "control/TransferHeader.h"
#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/File.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/FileBackup.h"
#include "settings/WallClock.h"
#include "settings/XmlDoc.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr const char* kNewIndex = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Data></Data>";
constexpr std::string_view kRootEnd = "</Data>";
constexpr std::string_view kRecordEnd = "</record>\r\n";
// An append reads no more than this from the end of the index: the closing tag and
// the end of the last record are always within it.
constexpr std::int64_t kTailBytes = 4096;
// Records at most in one write of the writer (some 170 bytes each).
constexpr std::size_t kBatchRecords = 256;

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

// The content of the record for a file received with header hdr.
std::string RecordContent(const TransferHeader& hdr)
{
    CXmlDoc record;
    record.AddSibling("record");
    record.AddChild("puid", HeaderText(hdr.szDevice), CXmlDoc::XML_CHILD);
    record.AddChild("username", "Admin", CXmlDoc::XML_CHILD);
    record.AddChild("chan", static_cast<int>(hdr.nChan), CXmlDoc::XML_CHILD);
    record.AddChild("starttime", WallClockText(hdr.tStart), CXmlDoc::XML_CHILD);
    record.AddChild("endtime", WallClockText(hdr.tEnd), CXmlDoc::XML_CHILD);
    return record.GetRawContent();
}

// One change of the index: strNew goes at nOff, over strOld, which runs to the end of
// the file.
struct IndexEdit {
    std::int64_t nOff = 0;
    std::string strNew;
    std::string strOld;
};

// Reads the index's size (negative when unknown) and at most its last kTailBytes.
// 0, or the error.
int ReadTail(CFile& file, std::int64_t& nSize, std::string& strTail)
{
    nSize = file.Size();
    if (nSize < 0)
        return errno;
    if (nSize == 0)
        return 0;
    return file.ReadAt(std::max<std::int64_t>(0, nSize - kTailBytes),
                       static_cast<std::size_t>(std::min(nSize, kTailBytes)), strTail);
}

// For a shape appends do not leave (written by someone else): the edit that adds
// strContent to the whole document at strPath, read and spliced, written only from
// the first byte that changes on. "", or why the record cannot be added.
std::string SpliceWhole(const std::string& strPath, const std::string& strContent, IndexEdit& edit)
{
    CXmlDoc doc;
    // Possibly being rewritten by its reader; leave it alone.
    if (!doc.LoadFile(strPath))
        return "is not well-formed (" + doc.GetResult() + ")";
    std::string strWhole = doc.GetText();
    if (!SpliceRecord(doc, strContent))
        return "has no Data root";
    const std::string& strSpliced = doc.GetText();
    std::size_t nSame = static_cast<std::size_t>(
        std::mismatch(strWhole.begin(), strWhole.end(), strSpliced.begin(), strSpliced.end()).first -
        strWhole.begin());
    edit.nOff = static_cast<std::int64_t>(nSame);
    edit.strOld = strWhole.substr(nSame);
    edit.strNew = strSpliced.substr(nSame);
    return {};
}

}  // namespace

std::string CRecordIndex::DefaultDirectory()
{
    std::string strDir = ExecutableDir();
    if (!IsWritableDirectory(strDir)) {
        std::error_code ec;
        std::string cwd = std::filesystem::current_path(ec).string();
        WriteLog(Format("record index kept in %s: %s cannot be written", cwd.c_str(), strDir.c_str()));
        strDir = cwd;
    }
    return strDir.empty() ? "." : strDir;
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

CRecordIndex::~CRecordIndex()
{
    Flush(Timing().nIndexFlushMs);
    std::thread writer;
    {
        CMutexLock lock(m_lock);
        m_bStopping = true;
        writer = std::move(m_writer);
    }
    m_wake.NotifyAll();
    // Waits at most for the one append under way, which holds the lock already.
    if (writer.joinable())
        writer.join();
    std::deque<Pending> left;
    {
        CMutexLock lock(m_lock);
        left.swap(m_queue);
    }
    for (const Pending& rec : left)
        WriteLog(x_GivenUpText(rec, "the index was closed"), HeaderText(rec.hdr.szDevice).c_str());
}

bool CRecordIndex::AddRecord(const TransferHeader& hdr)
{
    // The record is built before any lock is taken.
    Pending rec;
    rec.hdr = hdr;
    rec.strContent = RecordContent(hdr);

    std::string strRefused;
    bool bWake = false;
    {
        CMutexLock lock(m_lock);
        if (m_bStopping) {
            strRefused = "the index was closed";
        } else if (!m_writer.joinable()) {
            try {
                m_writer = std::thread([this] { x_WriterLoop(); });
            } catch (const std::system_error& e) {
                strRefused = std::string("its writer cannot start: ") + e.what();
            }
        }
        if (strRefused.empty()) {
            rec.nSeq = ++m_nLastSeq;
            // The writer sleeps only on an empty queue (or between tries for a held lock,
            // which it ends itself).
            bWake = m_queue.empty();
            m_queue.push_back(std::move(rec));
        }
    }
    if (!strRefused.empty()) {
        WriteLog(x_GivenUpText(rec, strRefused.c_str()), HeaderText(hdr.szDevice).c_str());
        return false;
    }
    if (bWake)
        m_wake.NotifyOne();
    return true;
}

bool CRecordIndex::Flush(int nTimeoutMs)
{
    const Clock::time_point tDeadline = Clock::now() + std::chrono::milliseconds(std::max(nTimeoutMs, 0));
    std::vector<Pending> givenUp;
    bool bHandled = false;
    {
        CMutexLock lock(m_lock);
        // Only what was queued before the call: a server started again may add more.
        const std::uint64_t nTarget = m_nLastSeq;
        for (;;) {
            bHandled = (m_queue.empty() || m_queue.front().nSeq > nTarget) &&
                       (m_nInFlight == 0 || m_nInFlight > nTarget);
            if (bHandled || !m_progress.WaitUntil(m_lock, tDeadline))
                break;
        }
        // Given up rather than left queued: a record the operator adds by hand must not
        // be written a second time once the lock is free.
        while (!bHandled && !m_queue.empty() && m_queue.front().nSeq <= nTarget) {
            givenUp.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
    }
    for (const Pending& rec : givenUp)
        WriteLog(x_GivenUpText(rec, "not written in time"), HeaderText(rec.hdr.szDevice).c_str());
    return bHandled;
}

std::string CRecordIndex::x_GivenUpText(const Pending& rec, const char* szWhy) const
{
    return Format("Record index %s: record not written (%s), add it by hand: vehicle %s, channel %d, file %s, "
                  "starttime %s, endtime %s",
                  m_strPath.c_str(), szWhy, HeaderText(rec.hdr.szDevice).c_str(), rec.hdr.nChan,
                  HeaderText(rec.hdr.szChan).c_str(), WallClockText(rec.hdr.tStart).c_str(),
                  WallClockText(rec.hdr.tEnd).c_str());
}

void CRecordIndex::x_WriterLoop()
{
    const std::chrono::milliseconds logPeriod(std::max(Timing().nIndexWaitLogMs, 1));
    const std::chrono::milliseconds retry(std::max(Timing().nIndexRetryMs, 1));
    bool bWaiting = false;  // the lock was found held, and not won since
    bool bLogged = false;   // that wait is in the log
    Clock::time_point tNextLog;
    for (;;) {
        std::size_t nWaiting = 0;
        {
            CMutexLock lock(m_lock);
            if (m_queue.empty())  // all written or given up: a later wait is a new one
                bWaiting = bLogged = false;
            while (m_queue.empty() && !m_bStopping)
                m_wake.Wait(m_lock);
            if (m_bStopping)
                return;  // the destructor logs what is left
            nWaiting = m_queue.size();
        }
        // One try at a time: between tries the wait is on m_wake, which a stop ends.
        CFile file;
        int nErr = file.OpenLocked(m_strPath, Clock::now(), Timing().nIndexRetryMs);
        if (nErr == EWOULDBLOCK || nErr == ESTALE) {
            const Clock::time_point tNow = Clock::now();
            if (!bWaiting) {
                bWaiting = true;
                tNextLog = tNow + logPeriod;
            } else if (tNow >= tNextLog) {
                WriteLog(Format("record index %s is locked by another process; %zu records waiting",
                                m_strPath.c_str(), nWaiting));
                bLogged = true;
                tNextLog = tNow + logPeriod;
            }
            CMutexLock lock(m_lock);
            if (!m_bStopping)
                m_wake.WaitFor(m_lock, retry);
            continue;
        }
        if (bLogged)
            WriteLog(Format("record index %s is no longer locked; %zu waiting records are written now",
                            m_strPath.c_str(), nWaiting));
        bWaiting = bLogged = false;
        x_WriteQueued(file, nErr);
    }
}

void CRecordIndex::x_WriteQueued(CFile& file, int nOpenErr)
{
    // Only the records queued when the lock was won: the lock is let go between rounds,
    // so that a reader waiting for it gets its turn.
    std::uint64_t nLast = 0;
    {
        CMutexLock lock(m_lock);
        nLast = m_nLastSeq;
    }
    for (;;) {
        std::vector<Pending> recs;
        {
            CMutexLock lock(m_lock);
            // Removed or replaced since it was opened (by someone who does not take the
            // lock): the next round opens the file now at the path.
            if (m_bStopping || (nOpenErr == 0 && file.WasRemoved()))
                return;
            while (recs.size() < kBatchRecords && !m_queue.empty() && m_queue.front().nSeq <= nLast) {
                recs.push_back(std::move(m_queue.front()));
                m_queue.pop_front();
            }
            if (recs.empty())
                return;
            m_nInFlight = recs.front().nSeq;
        }
        if (nOpenErr != 0) {
            for (const Pending& rec : recs)
                WriteLog(Format("Record index %s cannot be opened (%s), record of channel %d dropped",
                                m_strPath.c_str(), ErrnoText(nOpenErr).c_str(), rec.hdr.nChan),
                         HeaderText(rec.hdr.szDevice).c_str());
        } else {
            for (std::size_t nDone = 0; nDone < recs.size();)
                nDone += x_Append(file, recs, nDone);
        }
        {
            CMutexLock lock(m_lock);
            m_nInFlight = 0;
        }
        m_progress.NotifyAll();
    }
}

struct CRecordIndex::Edit : IndexEdit {};

std::size_t CRecordIndex::x_Append(CFile& file, const std::vector<Pending>& recs, std::size_t nFirst)
{
    std::int64_t nSize = 0;
    std::string strTail;
    int nErr = ReadTail(file, nSize, strTail);
    if (nSize < 0 || nErr != 0) {
        WriteLog(Format("Record index %s cannot be read (%s), record of channel %d dropped", m_strPath.c_str(),
                        ErrnoText(nErr).c_str(), recs[nFirst].hdr.nChan),
                 HeaderText(recs[nFirst].hdr.szDevice).c_str());
        return 1;
    }
    Edit edit;
    std::size_t nCount = x_MakeEdit(recs, nFirst, nSize, strTail, edit);
    if (nCount == 0)
        return 1;  // dropped, and logged
    x_WriteEdit(file, edit, recs, nFirst, nCount, nSize == 0);
    return nCount;
}

std::size_t CRecordIndex::x_MakeEdit(const std::vector<Pending>& recs, std::size_t nFirst, std::int64_t nSize,
                                     const std::string& strTail, Edit& edit) const
{
    const Pending& first = recs[nFirst];
    if (nSize == 0) {
        // Removed by its reader (our open made it again) or emptied: start it again.
        CXmlDoc doc(kNewIndex);
        SpliceRecord(doc, first.strContent);
        edit.strNew = doc.GetText();
        return 1;
    }
    const std::int64_t nTailOff = nSize - static_cast<std::int64_t>(strTail.size());
    std::size_t nEnd = ClosingTagAt(strTail);
    std::string strInsert;
    if (nEnd != std::string_view::npos)
        strInsert = InsertionBeforeEnd(std::string_view(strTail).substr(0, nEnd), first.strContent);
    if (strInsert.empty()) {
        // Not as appends leave it: the whole document is spliced.
        std::string strWhy = SpliceWhole(m_strPath, first.strContent, edit);
        if (strWhy.empty())
            return 1;
        WriteLog(Format("Record index %s %s, record of channel %d dropped", m_strPath.c_str(), strWhy.c_str(),
                        first.hdr.nChan),
                 HeaderText(first.hdr.szDevice).c_str());
        return 0;
    }
    // The records after it go in the same write: each one's bytes are those its own
    // append would put after the one before, so the file ends up byte for byte as
    // one append each would leave it, with one sync for all.
    std::size_t nCount = 1;
    for (std::size_t i = nFirst + 1; i < recs.size(); ++i) {
        std::string strMore = InsertionBeforeEnd(strInsert, recs[i].strContent);
        if (strMore.empty())
            break;
        strInsert += strMore;
        ++nCount;
    }
    edit.nOff = nTailOff + static_cast<std::int64_t>(nEnd);
    edit.strOld = strTail.substr(nEnd);
    edit.strNew = strInsert + edit.strOld;
    return nCount;
}

void CRecordIndex::x_WriteEdit(CFile& file, const Edit& edit, const std::vector<Pending>& recs, std::size_t nFirst,
                               std::size_t nCount, bool bNewFile) const
{
    bool bRestored = true;
    int nErr = Overwrite(file, edit.nOff, edit.strNew, edit.strOld, bRestored);
    if (nErr != 0) {
        DebugOutput("m_cIndexFile.Save failed!\r\n");
        for (std::size_t i = nFirst; i < nFirst + nCount; ++i)
            WriteLog(Format("Record index %s cannot be written (%s), record of channel %d dropped%s",
                            m_strPath.c_str(), ErrnoText(nErr).c_str(), recs[i].hdr.nChan,
                            bRestored ? "" : "; its torn tail is cut back at the next start"),
                     HeaderText(recs[i].hdr.szDevice).c_str());
        return;
    }
    // The file may have just been created: the records are written, but a crash may
    // take the whole new file with them while its entry is not on disk.
    if (bNewFile) {
        nErr = file.SyncEntry();
        if (nErr != 0)
            WriteLog(Format("Record index %s may not survive a crash, its directory cannot be synced (%s)",
                            m_strPath.c_str(), ErrnoText(nErr).c_str()),
                     HeaderText(recs[nFirst].hdr.szDevice).c_str());
    }
}

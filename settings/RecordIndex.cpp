#include "settings/RecordIndex.h"

#include "platform/Format.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/FileBackup.h"
#include "settings/WallClock.h"
#include "settings/XmlDoc.h"
#include "shell/Logger.h"
#include "transfer/TransferHeader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kNewIndex = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Data></Data>";

using Clock = std::chrono::steady_clock;

// An exclusive flock on a lock file, released when the descriptor closes.
class CFileLock {
public:
    CFileLock() = default;
    ~CFileLock()
    {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    // Tries every Timing().nIndexRetryMs until tDeadline. A lock file that cannot
    // even be opened is retried only when bRetryOpen. nErr holds the last failure.
    bool Acquire(const std::string& path, Clock::time_point tDeadline, bool bRetryOpen, int& nErr)
    {
        for (;;) {
            // Read-only is enough for flock and works on a lock file made by another user.
            int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                    m_nFd = fd;
                    return true;
                }
                nErr = errno;
                ::close(fd);
            } else {
                nErr = errno;
                if (!bRetryOpen)
                    return false;
            }
            Clock::time_point tNow = Clock::now();
            if (tNow >= tDeadline)
                return false;
            auto tWait = std::min<Clock::duration>(std::chrono::milliseconds(Timing().nIndexRetryMs),
                                                   tDeadline - tNow);
            std::this_thread::sleep_for(tWait);
        }
    }

private:
    int m_nFd = -1;
};

bool FileMissing(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::string DirOf(const std::string& path)
{
    auto pos = path.rfind('/');
    return pos == std::string::npos ? "." : pos == 0 ? "/" : path.substr(0, pos);
}

std::mutex g_instanceLock;
std::unique_ptr<CRecordIndex> g_pInstance;
std::string g_instanceDir;  // guarded by g_instanceLock; empty: beside the executable

}  // namespace

CRecordIndex* CRecordIndex::GetInstance()
{
    std::lock_guard guard(g_instanceLock);
    if (!g_pInstance) {
        std::string strDir = g_instanceDir.empty() ? ExecutableDir() : g_instanceDir;
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
    : m_strPath((strDir.empty() ? std::string(".") : strDir) + "/" + kFileName),
      m_strLockPath(m_strPath + ".lock")
{
    // Start-up must not stall when the program's directory is not writable: only a
    // lock held by another writer is waited for.
    CFileLock lock;
    int nErr = 0;
    if (!lock.Acquire(m_strLockPath, Clock::now() + std::chrono::milliseconds(Timing().nIndexGiveUpMs),
                      false, nErr)) {
        WriteLog(Format("Record index %s cannot be opened: %s", m_strPath.c_str(), ErrnoText(nErr).c_str()));
        return;
    }
    CXmlDoc doc;
    if (doc.LoadFile(m_strPath))
        return;
    if (!FileMissing(m_strPath) && !KeepAsBackup(m_strPath))
        return;
    doc.SetText(kNewIndex);
    if (!x_Replace(doc))
        WriteLog(Format("Record index %s cannot be created: %s", m_strPath.c_str(), ErrnoText(errno).c_str()));
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

    Clock::time_point tDeadline = Clock::now() + std::chrono::milliseconds(Timing().nIndexGiveUpMs);
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
    CFileLock lock;
    int nErr = EWOULDBLOCK;
    if (!bGate || !lock.Acquire(m_strLockPath, tDeadline, true, nErr)) {
        WriteLog(Format("Record index %s cannot be opened (%s), record of channel %d dropped",
                        m_strPath.c_str(), ErrnoText(nErr).c_str(), hdr.nChan),
                 strDevice.c_str());
        return false;
    }

    CXmlDoc doc;
    if (!doc.LoadFile(m_strPath)) {
        if (!FileMissing(m_strPath)) {
            // Possibly being rewritten by its reader; leave it alone.
            WriteLog(Format("Record index %s is not well-formed (%s), record of channel %d dropped",
                            m_strPath.c_str(), doc.GetResult().c_str(), hdr.nChan),
                     strDevice.c_str());
            return false;
        }
        doc.SetText(kNewIndex);  // removed by its reader: start it again
    }
    if (!doc.FindSibling("Data") || !doc.AddChild("record", std::string(), CXmlDoc::XML_CHILD)) {
        WriteLog(Format("Record index %s has no Data root, record of channel %d dropped", m_strPath.c_str(),
                        hdr.nChan),
                 strDevice.c_str());
        return false;
    }
    doc.EnterElement();
    doc.InsertChildMarkup(strContent, CXmlDoc::XML_CHILD | CXmlDoc::XML_BEFORE);
    doc.LeaveElement();

    if (!x_Replace(doc)) {
        nErr = errno;
        DebugOutput("m_cIndexFile.Save failed!\r\n");
        WriteLog(Format("Record index %s cannot be written (%s), record of channel %d dropped",
                        m_strPath.c_str(), ErrnoText(nErr).c_str(), hdr.nChan),
                 strDevice.c_str());
        return false;
    }
    return true;
}

bool CRecordIndex::x_Replace(CXmlDoc& doc)
{
    // The lock is held, so one fixed temporary name serves every writer.
    std::string strTemp = m_strPath + ".tmp";
    mode_t nMode = 0644;
    struct stat st {};
    if (::stat(m_strPath.c_str(), &st) == 0)
        nMode = st.st_mode & 07777;

    int fd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, nMode);
    if (fd < 0)
        return false;
    ::fchmod(fd, nMode);  // the reader must see the same rights as before
    bool bOk = doc.WriteToOpenFile(fd);
    int nErr = errno;
    if (bOk && ::fsync(fd) != 0) {
        nErr = errno;
        bOk = false;
    }
    if (::close(fd) != 0 && bOk) {
        nErr = errno;
        bOk = false;
    }
    if (bOk && ::rename(strTemp.c_str(), m_strPath.c_str()) != 0) {
        nErr = errno;
        bOk = false;
    }
    if (!bOk) {
        ::unlink(strTemp.c_str());
        errno = nErr;
        return false;
    }
    // Make the rename itself durable.
    int nDirFd = ::open(DirOf(m_strPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nDirFd >= 0) {
        ::fsync(nDirFd);
        ::close(nDirFd);
    }
    return true;
}

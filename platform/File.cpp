#include "platform/File.h"

#include "platform/System.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Whether fd is still the file at strPath: a reader may remove the file, or another
// program replace it, between our open and our lock.
bool StillAtPath(int fd, const std::string& strPath)
{
    struct stat stOpen {};
    struct stat stPath {};
    if (::fstat(fd, &stOpen) != 0 || ::stat(strPath.c_str(), &stPath) != 0)
        return false;
    return stOpen.st_nlink > 0 && stOpen.st_dev == stPath.st_dev && stOpen.st_ino == stPath.st_ino;
}

int OpenFlags(CFile::Mode mode)
{
    switch (mode) {
    case CFile::Mode::Read:
        return O_RDONLY;
    case CFile::Mode::Append:
        return O_WRONLY | O_APPEND | O_CREAT;
    case CFile::Mode::Truncate:
        return O_WRONLY | O_TRUNC | O_CREAT;
    case CFile::Mode::ReadWrite:
        break;
    }
    return O_RDWR | O_CREAT;
}

std::string DirectoryOf(const std::string& strPath)
{
    auto nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strPath.substr(0, nSlash);
}

}  // namespace

CFile::CFile(CFile&& other) noexcept
    : m_nFd(other.m_nFd), m_strPath(std::move(other.m_strPath)), m_nWriteBackErr(other.m_nWriteBackErr),
      m_bNoWriteBack(other.m_bNoWriteBack)
{
    other.m_nFd = -1;
    other.m_nWriteBackErr = 0;
    other.m_bNoWriteBack = false;
}

CFile& CFile::operator=(CFile&& other) noexcept
{
    if (this != &other) {
        Close();
        m_nFd = other.m_nFd;
        m_strPath = std::move(other.m_strPath);
        m_nWriteBackErr = other.m_nWriteBackErr;
        m_bNoWriteBack = other.m_bNoWriteBack;
        other.m_nFd = -1;
        other.m_nWriteBackErr = 0;
        other.m_bNoWriteBack = false;
    }
    return *this;
}

int CFile::Open(const std::string& strPath, Mode mode)
{
    Close();
    int fd = ::open(strPath.c_str(), OpenFlags(mode) | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    m_nFd = fd;
    m_strPath = strPath;
    return 0;
}

int CFile::OpenLocked(const std::string& strPath, Clock::time_point tDeadline, int nRetryMs)
{
    Close();
    for (;;) {
        int fd = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return errno;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (StillAtPath(fd, strPath)) {
                m_nFd = fd;
                m_strPath = strPath;
                return 0;
            }
            ::close(fd);
            // Replaced under us: the new file is tried at once, within the deadline.
            if (Clock::now() >= tDeadline)
                return ESTALE;
            continue;
        }
        int nErr = errno;
        ::close(fd);
        if (nErr != EWOULDBLOCK)
            return nErr;
        Clock::time_point tNow = Clock::now();
        if (tNow >= tDeadline)
            return EWOULDBLOCK;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds(std::max(nRetryMs, 1)), tDeadline - tNow));
    }
}

void CFile::Close()
{
    if (m_nFd >= 0)
        ::close(m_nFd);  // also lets go of a lock
    m_nFd = -1;
    m_nWriteBackErr = 0;
    m_bNoWriteBack = false;
}

int CFile::WriteAll(const void* pData, std::size_t nLen, std::size_t* pDone)
{
    return x_WriteLoop(static_cast<const char*>(pData), nLen, -1, pDone);
}

int CFile::WriteAt(std::int64_t nOff, const std::string& strData)
{
    return x_WriteLoop(strData.data(), strData.size(), nOff, nullptr);
}

int CFile::x_WriteLoop(const char* p, std::size_t nLen, std::int64_t nOff, std::size_t* pDone)
{
    std::size_t nDone = 0;
    int nErr = 0;
    while (nDone < nLen) {
        ssize_t n = nOff < 0 ? ::write(m_nFd, p + nDone, nLen - nDone)
                             : ::pwrite(m_nFd, p + nDone, nLen - nDone,
                                        static_cast<off_t>(nOff + static_cast<std::int64_t>(nDone)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            nErr = errno;
            break;
        }
        if (n == 0) {
            nErr = ENOSPC;
            break;
        }
        nDone += static_cast<std::size_t>(n);
    }
    if (pDone)
        *pDone = nDone;
    return nErr;
}

int CFile::ReadAt(std::int64_t nOff, std::size_t nLen, std::string& strOut) const
{
    strOut.resize(nLen);
    std::size_t nDone = 0;
    while (nDone < nLen) {
        ssize_t n = ::pread(m_nFd, strOut.data() + nDone, nLen - nDone,
                            static_cast<off_t>(nOff + static_cast<std::int64_t>(nDone)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int nErr = errno;
            strOut.clear();
            return nErr;
        }
        if (n == 0)
            break;
        nDone += static_cast<std::size_t>(n);
    }
    strOut.resize(nDone);
    return 0;
}

int CFile::ReadToEnd(std::string& strOut, std::size_t nMax)
{
    strOut.clear();
    char aBuf[65536];
    for (;;) {
        ssize_t n = ::read(m_nFd, aBuf, sizeof(aBuf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int nErr = errno;
            strOut.clear();
            return nErr;
        }
        if (n == 0)
            return 0;
        if (strOut.size() + static_cast<std::size_t>(n) > nMax) {
            strOut.clear();
            return EFBIG;
        }
        strOut.append(aBuf, static_cast<std::size_t>(n));
    }
}

bool CFile::WasRemoved() const
{
    struct stat st {};
    return m_nFd >= 0 && ::fstat(m_nFd, &st) == 0 && st.st_nlink == 0;
}

std::int64_t CFile::Size() const
{
    struct stat st {};
    if (m_nFd < 0) {
        errno = EBADF;
        return -1;
    }
    if (::fstat(m_nFd, &st) != 0)
        return -1;
    return st.st_size;
}

int CFile::Truncate(std::int64_t nSize)
{
    while (::ftruncate(m_nFd, static_cast<off_t>(nSize)) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int CFile::SyncData()
{
    if (int nFault = TakeSyncFault(SyncFault::Data); nFault != 0)
        return nFault;
    if (::fdatasync(m_nFd) != 0)
        return errno;
    // fdatasync says nothing of an error that a write-back wait has already taken.
    return m_nWriteBackErr;
}

int CFile::StartWriteBack(std::int64_t nOff, std::int64_t nLen)
{
    return x_WriteBack(nOff, nLen, SYNC_FILE_RANGE_WRITE);
}

int CFile::WaitWriteBack(std::int64_t nOff, std::int64_t nLen)
{
    return x_WriteBack(nOff, nLen, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

int CFile::x_WriteBack(std::int64_t nOff, std::int64_t nLen, unsigned int nFlags)
{
    if (m_bNoWriteBack || nLen <= 0)
        return 0;
    if (m_nFd < 0)
        return EBADF;
    int nErr = 0;
    while (::sync_file_range(m_nFd, nOff, nLen, nFlags) != 0) {
        nErr = errno;
        if (nErr != EINTR)
            break;
        nErr = 0;
    }
    switch (nErr) {
    case 0:
        return 0;
    case ENOSYS:  // no such call (or a sandbox that filters it): SyncData alone does the work
    case EPERM:
    case EINVAL:
    case ESPIPE:
    case EOPNOTSUPP:
        m_bNoWriteBack = true;
        return 0;
    case ENOMEM:  // nothing was lost: the pages stay dirty for a later write-back
        return 0;
    default:
        if (m_nWriteBackErr == 0)
            m_nWriteBackErr = nErr;
        return nErr;
    }
}

int CFile::SyncEntry()
{
    return SyncDirectory(DirectoryOf(m_strPath)) ? 0 : errno;
}

int CFile::Probe(const std::string& strPath)
{
    CFile file;
    return file.Open(strPath, Mode::Read);
}

int CFile::Rename(const std::string& strFrom, const std::string& strTo)
{
    return std::rename(strFrom.c_str(), strTo.c_str()) == 0 ? 0 : errno;
}

int CFile::ReplaceAtomically(const std::string& strPath, const std::string& strData)
{
    std::string strTemp = strPath + ".XXXXXX";
    int fd = ::mkostemp(strTemp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    CFile temp;
    temp.m_nFd = fd;
    temp.m_strPath = strTemp;
    // The new file keeps the old one's permissions: a settings file may hold a secret.
    struct stat stOld {};
    mode_t nMode = ::stat(strPath.c_str(), &stOld) == 0 ? (stOld.st_mode & 07777) : 0644;
    int nErr = ::fchmod(fd, nMode) == 0 ? 0 : errno;
    if (nErr == 0)
        nErr = temp.WriteAll(strData.data(), strData.size());
    if (nErr == 0 && ::fsync(fd) != 0)
        nErr = errno;
    temp.Close();
    if (nErr == 0 && ::rename(strTemp.c_str(), strPath.c_str()) != 0)
        nErr = errno;
    if (nErr != 0) {
        ::unlink(strTemp.c_str());
        return nErr;
    }
    // The new file is in place and whole; a failed directory sync only leaves it to
    // the system when the rename reaches the disk, and a crash before then still
    // leaves the old file whole, as promised.
    (void)SyncDirectory(DirectoryOf(strPath));
    return 0;
}

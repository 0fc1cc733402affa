#include "platform/LockedFile.h"

#include <algorithm>
#include <cerrno>
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

}  // namespace

int CLockedFile::Open(const std::string& strPath, Clock::time_point tDeadline, int nRetryMs)
{
    Close();
    for (;;) {
        int fd = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return errno;
        int nErr = 0;
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
        nErr = errno;
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

void CLockedFile::Close()
{
    if (m_nFd >= 0)
        ::close(m_nFd);
    m_nFd = -1;
}

std::int64_t CLockedFile::Size() const
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

int CLockedFile::ReadAt(std::int64_t nOff, std::size_t nLen, std::string& strOut) const
{
    strOut.resize(nLen);
    std::size_t nDone = 0;
    while (nDone < nLen) {
        ssize_t n = ::pread(m_nFd, strOut.data() + nDone, nLen - nDone, static_cast<off_t>(nOff + nDone));
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

int CLockedFile::WriteAt(std::int64_t nOff, const std::string& strData)
{
    std::size_t nDone = 0;
    while (nDone < strData.size()) {
        ssize_t n = ::pwrite(m_nFd, strData.data() + nDone, strData.size() - nDone,
                             static_cast<off_t>(nOff + nDone));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return ENOSPC;
        nDone += static_cast<std::size_t>(n);
    }
    return 0;
}

int CLockedFile::Truncate(std::int64_t nSize)
{
    while (::ftruncate(m_nFd, static_cast<off_t>(nSize)) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int CLockedFile::SyncData()
{
    return ::fdatasync(m_nFd) == 0 ? 0 : errno;
}

int CLockedFile::SyncEntry()
{
    auto nSlash = m_strPath.rfind('/');
    std::string strDir = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : m_strPath.substr(0, nSlash);
    int fd = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int nErr = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return nErr;
}

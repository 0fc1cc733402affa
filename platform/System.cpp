#include "platform/System.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <sched.h>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <vector>
#include <unistd.h>
#include <sys/statvfs.h>
#include <time.h>

void DebugOutput(const std::string& text)
{
    std::string line = text;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    // One write per line keeps lines of different threads apart.
    ssize_t nIgnored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)nIgnored;
}

std::string ExecutablePath()
{
    char szPath[4096];
    ssize_t n = ::readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (n <= 0)
        return {};
    szPath[n] = '\0';
    return szPath;
}

std::string ExecutableDir()
{
    std::string path = ExecutablePath();
    auto pos = path.rfind('/');
    if (pos == std::string::npos)
        return {};
    return pos == 0 ? "/" : path.substr(0, pos);
}

std::optional<std::uint64_t> FreeDiskSpace(const std::string& path)
{
    std::error_code ec;
    std::filesystem::path probe = std::filesystem::absolute(path.empty() ? "." : path, ec);
    if (ec)
        return std::nullopt;
    // A download root that does not exist yet is measured on its nearest parent.
    for (;;) {
        struct statvfs st {};
        if (::statvfs(probe.c_str(), &st) == 0)
            return static_cast<std::uint64_t>(st.f_bfree) * st.f_frsize;
        if (errno != ENOENT && errno != ENOTDIR)
            return std::nullopt;
        if (!probe.has_relative_path())
            return std::nullopt;
        probe = probe.parent_path();
    }
}

void KeepLargeBlocksMapped()
{
    // Setting the bound at all stops its adjustment; 128 KiB is the allocator's own default.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

void IgnoreSigPipe()
{
    static std::once_flag s_once;
    std::call_once(s_once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

std::int64_t MonotonicMs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int CurrentThreadId()
{
    return static_cast<int>(::gettid());
}

bool LowerThreadPriority()
{
    // Both calls act on the calling thread only (pid 0 / its own id).
    sched_param param {};
    bool bCpu = ::sched_setscheduler(0, SCHED_IDLE, &param) == 0 ||
                ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19) == 0;
    // ioprio_set(IOPRIO_WHO_PROCESS, tid, IOPRIO_CLASS_IDLE << 13): no glibc wrapper.
    constexpr int kWhoProcess = 1;
    constexpr int kClassIdle = 3;
    constexpr int kClassShift = 13;
    bool bIo = ::syscall(SYS_ioprio_set, kWhoProcess, ::gettid(), kClassIdle << kClassShift) == 0;
    return bCpu || bIo;
}

std::string ErrnoText(int nErr)
{
    char szBuf[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* psz = ::strerror_r(nErr, szBuf, sizeof(szBuf));
    return psz ? psz : "";
}

namespace {

struct InjectedFault {
    std::atomic<int> nCount {0};
    std::atomic<int> nErr {0};
};

InjectedFault g_aSyncFaults[2];

InjectedFault& FaultOf(SyncFault eKind)
{
    return g_aSyncFaults[eKind == SyncFault::Data ? 0 : 1];
}

} // namespace

void InjectSyncFault(SyncFault eKind, int nErr, int nCount)
{
    InjectedFault& fault = FaultOf(eKind);
    fault.nErr.store(nErr);
    fault.nCount.store(nCount > 0 ? nCount : 0);
}

int TakeSyncFault(SyncFault eKind)
{
    InjectedFault& fault = FaultOf(eKind);
    int nCount = fault.nCount.load(std::memory_order_relaxed);
    while (nCount > 0) {
        if (fault.nCount.compare_exchange_weak(nCount, nCount - 1))
            return fault.nErr.load();
    }
    return 0;
}

bool SyncDirectory(const std::string& path)
{
    if (int nFault = TakeSyncFault(SyncFault::Directory); nFault != 0) {
        errno = nFault;
        return false;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool bOk = ::fsync(fd) == 0;
    int nErr = errno;
    ::close(fd);
    errno = nErr;  // the caller reads the fsync's error, not the close's
    return bOk;
}

bool IsWritableDirectory(const std::string& path)
{
    return !path.empty() && ::access(path.c_str(), W_OK | X_OK) == 0;
}

int ProbeWritableDirectory(const std::string& path)
{
    namespace fs = std::filesystem;
    if (path.empty())
        return ENOENT;
    // The directories that do not exist yet, deepest first, to take away again.
    std::vector<fs::path> made;
    std::error_code ec;
    for (fs::path dir = fs::path(path).lexically_normal(); !dir.empty(); dir = dir.parent_path()) {
        // Anything but "not there" (a file, a dangling link, no permission) ends the
        // walk; the mkdir or the probe below then says what is wrong.
        if (fs::symlink_status(dir, ec).type() != fs::file_type::not_found)
            break;
        made.push_back(dir);
        if (dir == dir.parent_path())
            break;
    }
    int nErr = 0;
    for (auto it = made.rbegin(); it != made.rend() && nErr == 0; ++it) {
        if (::mkdir(it->c_str(), 0755) != 0 && errno != EEXIST)
            nErr = errno;
    }
    if (nErr == 0) {
        // O_EXCL with a name of our own: never touches a file someone else has there.
        std::string probe = (fs::path(path) / (".zelprobe-" + std::to_string(::getpid()))).string();
        int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            nErr = errno;
        } else {
            ::close(fd);
            if (::unlink(probe.c_str()) != 0)
                nErr = errno;
        }
    }
    for (const fs::path& dir : made)
        ::rmdir(dir.c_str());  // fails harmlessly for one never made or no longer empty
    return nErr;
}

int RenameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without RENAME_NOREPLACE: link fails when the target exists.
    if (::link(from.c_str(), to.c_str()) != 0)
        return -1;
    ::unlink(from.c_str());
    return 0;
}

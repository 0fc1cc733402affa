#pragma once

#include "platform/File.h"
#include "platform/Mutex.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CNotifyCenter;

// How the log file is kept from growing without bound.
struct LogRotation {
    // 0: no rotation, the file is emptied when opened. N > 0: before a line would
    // take the file past N bytes, path moves to path.1, path.1 to path.2, ... up to
    // path.nKeep (the oldest is dropped), and a fresh path begins; a file that is
    // opened with lines in it is moved the same way instead of being emptied.
    std::uint64_t nMaxBytes = 0;
    unsigned nKeep = 0;
};

// The event log: log.txt in the working directory plus a NOTIFY_LOG event for the
// window, for every entry that passes the vehicle filter. Never fails its caller.
class CLogger {
public:
    // The process-wide logger; the first call creates ./log.txt (or SetStartPath's
    // file), emptied or rotated as SetStartRotation said. Any thread.
    static CLogger& Instance();

    // The rotation the process-wide logger opens ./log.txt with; later calls of
    // SetRotation change it. Main thread, before the first Instance().
    static void SetStartRotation(const LogRotation& rotation);

    // The file the process-wide logger opens instead of ./log.txt, for a process that
    // must leave its working directory alone. Counts only before the first Instance().
    // Main thread.
    static void SetStartPath(const std::string& path);

    // Opens path, emptied, or rotated when rotation is on; posts to center. A file
    // that cannot be opened only disables the file output.
    CLogger(const std::string& path, CNotifyCenter& center, const LogRotation& rotation = {});
    ~CLogger();
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    // Writes one entry; szVehicle may be null. Messages are cut to 1023 characters.
    // Any thread.
    void Write(const char* szVehicle, const char* szMessage) EXCLUDES(m_lock, m_fileLock);

    // Whether an entry for szVehicle passes the filter. Any thread.
    bool IsLogged(const char* szVehicle) const EXCLUDES(m_lock);

    // Only the given names pass from now on (entries without a vehicle always do).
    // Window thread.
    void SetFilter(const std::vector<std::string>& names) EXCLUDES(m_lock);

    // The limits from the next line on; the open file is kept (a smaller limit
    // rotates it at the next line). Any thread.
    void SetRotation(const LogRotation& rotation) EXCLUDES(m_fileLock);

    // Sends the lines from now on to path, opened as the constructor does, and lets
    // every vehicle pass again: the state of a fresh process, for a test in its own
    // directory. Any thread.
    void Reset(const std::string& path, const LogRotation& rotation = {}) EXCLUDES(m_lock, m_fileLock);

private:
    // Opens m_strPath: emptied, or with rotation on rotated when it holds lines.
    void x_Open() REQUIRES(m_fileLock);
    // Moves the files one number up and starts a fresh one; on failure the current
    // file goes on growing, and the next try comes after another nMaxBytes.
    void x_Rotate() REQUIRES(m_fileLock);

    CNotifyCenter& m_center;
    mutable CMutex m_lock;  // also taken for writes of m_logAll
    std::vector<std::string> m_filterNames GUARDED_BY(m_lock);
    std::atomic<bool> m_logAll {true};
    CMutex m_fileLock;      // one line at a time in the file
    CFile m_file GUARDED_BY(m_fileLock);
    std::string m_strPath GUARDED_BY(m_fileLock);
    LogRotation m_rotation GUARDED_BY(m_fileLock);
    std::uint64_t m_nSize GUARDED_BY(m_fileLock) = 0;  // bytes in m_file, counted: no query per line
    bool m_bWriteFailed GUARDED_BY(m_fileLock) = false;  // the last write failed: said once
    bool m_bRotateFailed GUARDED_BY(m_fileLock) = false;  // the last rotation failed: said once
};

// The one logging call of the program. szVehicle names the vehicle the entry
// concerns, or is null. Any thread.
void WriteLog(const char* szMessage, const char* szVehicle = nullptr);
inline void WriteLog(const std::string& message, const char* szVehicle = nullptr)
{
    WriteLog(message.c_str(), szVehicle);
}

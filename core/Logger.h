#pragma once

#include "platform/File.h"
#include "platform/Mutex.h"

#include <atomic>
#include <string>
#include <vector>

class CNotifyCenter;

// The event log: log.txt in the working directory plus a NOTIFY_LOG event for the
// window, for every entry that passes the vehicle filter. Never fails its caller.
class CLogger {
public:
    // The process-wide logger; the first call creates (empties) ./log.txt.
    // Any thread.
    static CLogger& Instance();

    // Opens (truncates) path; posts to center. A file that cannot be opened only
    // disables the file output.
    CLogger(const std::string& path, CNotifyCenter& center);
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

    // Sends the lines from now on to path, emptied first, and lets every vehicle pass
    // again: the state of a fresh process, for a test in its own directory. Any thread.
    void Reset(const std::string& path) EXCLUDES(m_lock, m_fileLock);

private:
    CNotifyCenter& m_center;
    mutable CMutex m_lock;  // also taken for writes of m_logAll
    std::vector<std::string> m_filterNames GUARDED_BY(m_lock);
    std::atomic<bool> m_logAll {true};
    CMutex m_fileLock;      // one line at a time in the file
    CFile m_file GUARDED_BY(m_fileLock);
    bool m_bWriteFailed GUARDED_BY(m_fileLock) = false;  // the last write failed: said once
};

// The one logging call of the program. szVehicle names the vehicle the entry
// concerns, or is null. Any thread.
void WriteLog(const char* szMessage, const char* szVehicle = nullptr);
inline void WriteLog(const std::string& message, const char* szVehicle = nullptr)
{
    WriteLog(message.c_str(), szVehicle);
}

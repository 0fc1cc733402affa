#pragma once

#include "platform/File.h"

#include <atomic>
#include <mutex>
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
    void Write(const char* szVehicle, const char* szMessage);

    // Whether an entry for szVehicle passes the filter. Any thread.
    bool IsLogged(const char* szVehicle) const;

    // Only the given names pass from now on (entries without a vehicle always do).
    // Window thread.
    void SetFilter(const std::vector<std::string>& names);

    // Sends the lines from now on to path, emptied first, and lets every vehicle pass
    // again: the state of a fresh process, for a test in its own directory. Any thread.
    void Reset(const std::string& path);

private:
    CNotifyCenter& m_center;
    mutable std::mutex m_lock;  // guards m_filterNames and writes of m_logAll
    std::vector<std::string> m_filterNames;
    std::atomic<bool> m_logAll {true};
    std::mutex m_fileLock;      // one line at a time in the file; guards m_file
    CFile m_file;
};

// The one logging call of the program. szVehicle names the vehicle the entry
// concerns, or is null. Any thread.
void WriteLog(const char* szMessage, const char* szVehicle = nullptr);
inline void WriteLog(const std::string& message, const char* szVehicle = nullptr)
{
    WriteLog(message.c_str(), szVehicle);
}

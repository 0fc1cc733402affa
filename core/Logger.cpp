#include "core/Logger.h"

#include "core/NotifyCenter.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// A log file that cannot be opened leaves the window's list; why goes to standard
// error, where a terminal or the service journal shows it.
void OpenLogFile(CFile& file, const std::string& path, CFile::Mode mode)
{
    int nErr = file.Open(path, mode);
    if (nErr != 0)
        DebugOutput(Format("log file %s cannot be opened: %s", path.c_str(), ErrnoText(nErr).c_str()));
}

// Set by the program's main thread before the process-wide logger exists.
LogRotation& StartRotation()
{
    static LogRotation s_rotation;
    return s_rotation;
}

// Likewise; the programs keep the default, log.txt in the working directory.
std::string& StartPath()
{
    static std::string s_path = "log.txt";
    return s_path;
}

} // namespace

CLogger& CLogger::Instance()
{
    static CLogger s_logger(StartPath(), CNotifyCenter::Instance(), StartRotation());
    return s_logger;
}

void CLogger::SetStartRotation(const LogRotation& rotation)
{
    StartRotation() = rotation;
}

void CLogger::SetStartPath(const std::string& path)
{
    StartPath() = path;
}

CLogger::CLogger(const std::string& path, CNotifyCenter& center, const LogRotation& rotation) : m_center(center)
{
    CMutexLock guard(m_fileLock);
    m_strPath = path;
    m_rotation = rotation;
    x_Open();
}

CLogger::~CLogger() = default;

void CLogger::Reset(const std::string& path, const LogRotation& rotation)
{
    {
        CMutexLock guard(m_fileLock);
        m_strPath = path;
        m_rotation = rotation;
        m_bWriteFailed = false;
        m_bRotateFailed = false;
        x_Open();
    }
    CMutexLock guard(m_lock);
    m_filterNames.clear();
    m_logAll = true;
}

void CLogger::SetRotation(const LogRotation& rotation)
{
    CMutexLock guard(m_fileLock);
    m_rotation = rotation;
}

void CLogger::x_Open()
{
    m_nSize = 0;
    if (m_rotation.nMaxBytes == 0) {
        OpenLogFile(m_file, m_strPath, CFile::Mode::Truncate);
        return;
    }
    // The lines of the previous run, a crash's last words among them, are moved
    // aside, not emptied.
    OpenLogFile(m_file, m_strPath, CFile::Mode::Append);
    if (!m_file.IsOpen())
        return;
    const std::int64_t nSize = m_file.Size();
    if (nSize > 0) {
        m_nSize = static_cast<std::uint64_t>(nSize);
        x_Rotate();
    }
}

void CLogger::x_Rotate()
{
    int nErr = 0;
    if (m_rotation.nKeep > 0) {
        for (unsigned k = m_rotation.nKeep - 1; k >= 1 && nErr == 0; --k) {
            nErr = CFile::Rename(m_strPath + "." + std::to_string(k), m_strPath + "." + std::to_string(k + 1));
            if (nErr == ENOENT)
                nErr = 0;
        }
        if (nErr == 0)
            nErr = CFile::Rename(m_strPath, m_strPath + ".1");
    }
    if (nErr != 0) {
        if (!m_bRotateFailed)
            DebugOutput(Format("log file %s cannot be rotated, it goes on growing: %s", m_strPath.c_str(),
                               ErrnoText(nErr).c_str()));
        m_bRotateFailed = true;
        m_nSize = 0;
        return;
    }
    m_bRotateFailed = false;
    // Whatever stands at the path now is not ours (nKeep 0 drops the old lines).
    OpenLogFile(m_file, m_strPath, CFile::Mode::Truncate);
    m_nSize = 0;
}

bool CLogger::IsLogged(const char* szVehicle) const
{
    if (m_logAll || szVehicle == nullptr)
        return true;
    CMutexLock guard(m_lock);
    for (const std::string& name : m_filterNames) {
        if (name == szVehicle)
            return true;
    }
    return false;
}

void CLogger::SetFilter(const std::vector<std::string>& names)
{
    CMutexLock guard(m_lock);
    m_filterNames = names;
    m_logAll = false;
}

void CLogger::Write(const char* szVehicle, const char* szMessage)
{
    if (!IsLogged(szVehicle))
        return;

    char szBuf[1024] = {};
    if (szMessage)
        std::strncpy(szBuf, szMessage, sizeof(szBuf) - 1);
    // The vehicle's name rides behind the message's NUL, where the window does not
    // look, for observers that show it apart (the status page's log).
    std::size_t nText = std::strlen(szBuf);
    if (szVehicle && nText + 1 + std::strlen(szVehicle) < sizeof(szBuf))
        std::strcpy(szBuf + nText + 1, szVehicle);
    m_center.Post(0, NOTIFY_LOG, szBuf, sizeof(szBuf));

    std::time_t now = std::time(nullptr);
    std::tm tmNow {};
    localtime_r(&now, &tmNow);
    char szTime[32];
    std::strftime(szTime, sizeof(szTime), "%Y-%m-%d %H:%M:%S", &tmNow);

    char szLine[2048] = {};
    int nLen = std::snprintf(szLine, sizeof(szLine), "%s %s\r\n", szTime, szBuf);
    if (nLen <= 0)
        return;

    const std::size_t nBytes = std::min(static_cast<std::size_t>(nLen), sizeof(szLine) - 1);

    CMutexLock guard(m_fileLock);
    // Whole lines under the lock, so that lines never interleave and each is in the
    // kernel when Write returns. A failed write is not the caller's problem: standard
    // error hears of the first of a run of failures (a full disk fails every line).
    if (!m_file.IsOpen())
        return;
    // A line never straddles two files.
    if (m_rotation.nMaxBytes > 0 && m_nSize > 0 && m_nSize + nBytes > m_rotation.nMaxBytes) {
        x_Rotate();
        if (!m_file.IsOpen())
            return;
    }
    std::size_t nDone = 0;
    int nErr = m_file.WriteAll(szLine, nBytes, &nDone);
    m_nSize += nDone;
    if (nErr != 0 && !m_bWriteFailed)
        DebugOutput(Format("log file cannot be written, lines are lost until it can: %s", ErrnoText(nErr).c_str()));
    m_bWriteFailed = nErr != 0;
}

void WriteLog(const char* szMessage, const char* szVehicle)
{
    CLogger::Instance().Write(szVehicle, szMessage);
}

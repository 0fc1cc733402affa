#include "core/Logger.h"

#include "core/NotifyCenter.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace {

// A log file that cannot be opened leaves the window's list; why goes to standard
// error, where a terminal or the service journal shows it.
void OpenLogFile(CFile& file, const std::string& path)
{
    int nErr = file.Open(path, CFile::Mode::Truncate);
    if (nErr != 0)
        DebugOutput(Format("log file %s cannot be opened: %s", path.c_str(), ErrnoText(nErr).c_str()));
}

} // namespace

CLogger& CLogger::Instance()
{
    static CLogger s_logger("log.txt", CNotifyCenter::Instance());
    return s_logger;
}

CLogger::CLogger(const std::string& path, CNotifyCenter& center) : m_center(center)
{
    OpenLogFile(m_file, path);
}

CLogger::~CLogger() = default;

void CLogger::Reset(const std::string& path)
{
    {
        CMutexLock guard(m_fileLock);
        OpenLogFile(m_file, path);
        m_bWriteFailed = false;
    }
    CMutexLock guard(m_lock);
    m_filterNames.clear();
    m_logAll = true;
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

    CMutexLock guard(m_fileLock);
    // Whole lines under the lock, so that lines never interleave and each is in the
    // kernel when Write returns. A failed write is not the caller's problem: standard
    // error hears of the first of a run of failures (a full disk fails every line).
    if (!m_file.IsOpen())
        return;
    int nErr = m_file.WriteAll(szLine, std::min(static_cast<std::size_t>(nLen), sizeof(szLine) - 1));
    if (nErr != 0 && !m_bWriteFailed)
        DebugOutput(Format("log file cannot be written, lines are lost until it can: %s", ErrnoText(nErr).c_str()));
    m_bWriteFailed = nErr != 0;
}

void WriteLog(const char* szMessage, const char* szVehicle)
{
    CLogger::Instance().Write(szVehicle, szMessage);
}

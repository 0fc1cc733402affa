#include "core/Logger.h"

#include "core/NotifyCenter.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

CLogger& CLogger::Instance()
{
    static CLogger s_logger("log.txt", CNotifyCenter::Instance());
    return s_logger;
}

CLogger::CLogger(const std::string& path, CNotifyCenter& center) : m_center(center)
{
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

CLogger::~CLogger()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CLogger::IsLogged(const char* szVehicle) const
{
    if (m_logAll || szVehicle == nullptr)
        return true;
    std::lock_guard guard(m_lock);
    for (const std::string& name : m_filterNames) {
        if (name == szVehicle)
            return true;
    }
    return false;
}

void CLogger::SetFilter(const std::vector<std::string>& names)
{
    std::lock_guard guard(m_lock);
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

    std::lock_guard guard(m_fileLock);
    if (m_fd < 0)
        return;
    // One write per line, so that lines never interleave and each is on disk
    // (in the kernel) when Write returns. A failed write is not the caller's problem.
    const char* p = szLine;
    std::size_t nLeft = static_cast<std::size_t>(nLen);
    while (nLeft > 0) {
        ssize_t n = ::write(m_fd, p, nLeft);
        if (n <= 0)
            break;
        p += n;
        nLeft -= static_cast<std::size_t>(n);
    }
}

void WriteLog(const char* szMessage, const char* szVehicle)
{
    CLogger::Instance().Write(szVehicle, szMessage);
}

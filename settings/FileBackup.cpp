#include "settings/FileBackup.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "platform/System.h"

#include <cerrno>
#include <cstdio>

bool KeepAsBackup(const std::string& path)
{
    std::string backup = path + ".bak";
    if (std::rename(path.c_str(), backup.c_str()) != 0) {
        int nErr = errno;
        WriteLog(Format("%s is not well-formed and cannot be kept as %s: %s", path.c_str(),
                        backup.c_str(), ErrnoText(nErr).c_str()));
        errno = nErr;
        return false;
    }
    WriteLog(Format("%s is not well-formed, kept as %s", path.c_str(), backup.c_str()));
    return true;
}

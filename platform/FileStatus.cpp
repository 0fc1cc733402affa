#include "platform/FileStatus.h"

#include <cerrno>
#include <sys/stat.h>

int CFileStatus::Query(const std::string& strPath)
{
    *this = CFileStatus {};
    struct stat st {};
    if (::stat(strPath.c_str(), &st) != 0)
        return errno;
    m_bExists = true;
    m_bRegular = S_ISREG(st.st_mode);
    m_nSize = static_cast<std::int64_t>(st.st_size);
    return 0;
}

#include "platform/UniqueFd.h"

#include <unistd.h>

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& other) noexcept
{
    if (this != &other)
        Reset(other.Release());
    return *this;
}

void CUniqueFd::Reset(int fd)
{
    if (m_fd >= 0 && m_fd != fd)
        ::close(m_fd);
    m_fd = fd;
}

int CUniqueFd::Release()
{
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

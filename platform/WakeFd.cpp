#include "platform/WakeFd.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

int CWakeFd::Open()
{
    m_fd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return m_fd.IsValid() ? 0 : -1;
}

void CWakeFd::Signal()
{
    // Only a counter at its limit refuses, and that is readable already.
    std::uint64_t nOne = 1;
    [[maybe_unused]] ssize_t nWritten = ::write(m_fd.Get(), &nOne, sizeof(nOne));
}

void CWakeFd::Drain()
{
    std::uint64_t nCount = 0;
    [[maybe_unused]] ssize_t nRead = ::read(m_fd.Get(), &nCount, sizeof(nCount));
}

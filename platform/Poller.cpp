#include "platform/Poller.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>

namespace {

std::uint32_t EpollEvents(CPoller::Want eWant)
{
    switch (eWant) {
    case CPoller::Want::Read:
        return EPOLLIN | EPOLLONESHOT;
    case CPoller::Want::Write:
        return EPOLLOUT | EPOLLONESHOT;
    case CPoller::Want::Nothing:
        break;
    }
    return EPOLLONESHOT;
}

short PollEvents(CPoller::Want eWant)
{
    switch (eWant) {
    case CPoller::Want::Read:
        return POLLIN;
    case CPoller::Want::Write:
        return POLLOUT;
    case CPoller::Want::Nothing:
        break;
    }
    return 0;
}

} // namespace

int CPoller::Open()
{
    Close();
    m_epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event wake {};
    wake.events = EPOLLIN;  // level-triggered: signalled until Wait drains it
    wake.data.u64 = kReservedId;
    if (!m_epoll.IsValid() || m_wake.Open() != 0 ||
        ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_wake.Fd(), &wake) != 0) {
        int nErr = errno;
        Close();
        errno = nErr;
        return -1;
    }
    return 0;
}

void CPoller::Close()
{
    m_epoll.Reset();
    m_wake.Close();
}

bool CPoller::Add(int fd, std::uint64_t nId, Want eWant)
{
    return x_Control(EPOLL_CTL_ADD, fd, nId, eWant);
}

bool CPoller::Rearm(int fd, std::uint64_t nId, Want eWant)
{
    return x_Control(EPOLL_CTL_MOD, fd, nId, eWant);
}

bool CPoller::x_Control(int nOp, int fd, std::uint64_t nId, Want eWant)
{
    if (nId == kReservedId) {
        errno = EINVAL;
        return false;
    }
    epoll_event event {};
    event.events = EpollEvents(eWant);
    event.data.u64 = nId;
    return ::epoll_ctl(m_epoll.Get(), nOp, fd, &event) == 0;
}

int CPoller::Wait(std::uint64_t* pIds, int nMax, int nTimeoutMs)
{
    // A one-shot event taken from the kernel and not handed on would be lost: never
    // ask for more than the caller has room for.
    if (nMax <= 0) {
        errno = EINVAL;
        return -1;
    }
    epoll_event events[kMaxReady];
    int n = ::epoll_wait(m_epoll.Get(), events, std::min(nMax, kMaxReady), nTimeoutMs);
    if (n < 0)
        return -1;
    int nIds = 0;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kReservedId)
            m_wake.Drain();
        else
            pIds[nIds++] = events[i].data.u64;
    }
    return nIds;
}

void CPoller::Wake()
{
    m_wake.Signal();
}

CPoller::Outcome CPoller::WaitOne(int fd, Want eWant, int nTimeoutMs, const CWakeFd* pWake)
{
    pollfd fds[2] = {{fd, PollEvents(eWant), 0}, {-1, POLLIN, 0}};
    nfds_t nFds = 1;
    if (pWake != nullptr && pWake->Fd() >= 0) {
        fds[1].fd = pWake->Fd();
        nFds = 2;
    }
    int n = ::poll(fds, nFds, nTimeoutMs);
    if (n < 0)
        return Outcome::Failed;
    if (n == 0)
        return Outcome::TimedOut;
    if (nFds == 2 && fds[1].revents != 0)
        return Outcome::Woken;
    return Outcome::Ready;
}

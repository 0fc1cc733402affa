#include "platform/SignalWaiter.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

CSignalWaiter::CSignalWaiter()
{
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int CSignalWaiter::Wait(int nTimeoutMs)
{
    sigset_t set = StopSignals();
    timespec timeout {nTimeoutMs / 1000, static_cast<long>(nTimeoutMs % 1000) * 1000000L};
    for (;;) {
        int nSignal = sigtimedwait(&set, nullptr, &timeout);
        if (nSignal > 0)
            return nSignal;
        if (errno != EINTR)
            return 0;
    }
}

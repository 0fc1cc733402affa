#include "ListenPorts.h"

#include "transfer/TCPSrv.h"

#include <unistd.h>

void SpreadListenPorts()
{
    // Stretches of 64 from 10000, all below 32768, where the kernel's ephemeral ports
    // begin: another process's outgoing socket must not take a port a test listens on.
    for (int i = (::getpid() % 350) * 64; i > 0; --i)
        NextListenPort();
}

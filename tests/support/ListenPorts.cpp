#include "ListenPorts.h"

#include "transfer/TCPSrv.h"

#include <unistd.h>

void SpreadListenPorts()
{
    for (int i = (::getpid() % 400) * 64; i > 0; --i)
        NextListenPort();
}

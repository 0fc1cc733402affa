#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>

namespace ServiceManager {

void Ready()
{
    sd_notify(0, "READY=1");
}

void Alive()
{
    sd_notify(0, "WATCHDOG=1");
}

void Stopping()
{
    sd_notify(0, "STOPPING=1");
}

} // namespace ServiceManager

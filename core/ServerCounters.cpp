#include "core/ServerCounters.h"

CServerCounters& CServerCounters::Instance()
{
    static CServerCounters s_counters;
    return s_counters;
}

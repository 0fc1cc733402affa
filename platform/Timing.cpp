#include "platform/Timing.h"

ZelTiming& Timing()
{
    static ZelTiming s_timing;
    return s_timing;
}

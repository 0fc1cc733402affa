#include "platform/Mutex.h"

bool CMutex::TryLock()
{
    return m_mutex.try_lock();
}

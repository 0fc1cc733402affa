#include "platform/MutexLock.h"

// Everything is inline in the header: holding the lock costs what std::lock_guard
// costs.
